// Installed printers. By default they are the system's own list: on
// Windows the printers the print spooler has installed, elsewhere the
// entries of the [devices] section of win.ini ("Printer Name=driver,PORT:"),
// so a user can list printers without a print system; other sources (a
// print service, tests) can be installed.
// Any thread.
#pragma once

#include <string>
#include <vector>

namespace plat {

struct InstalledPrinter {
  std::string printerName;
  std::string portName;
};

class PrinterSource {
 public:
  virtual ~PrinterSource() = default;
  // false when the enumeration itself fails.
  virtual bool List(std::vector<InstalledPrinter>& out) = 0;
};

bool ListInstalledPrinters(std::vector<InstalledPrinter>& out);
// nullptr restores the default (the system's own list).
void SetPrinterSource(PrinterSource* source);

// The system's own list, whatever source is installed; each system's body.
bool ListDefaultPrinters(std::vector<InstalledPrinter>& out);

// The [devices] source, for composing with others.
bool ListProfileDevices(std::vector<InstalledPrinter>& out);

// Whether [devices] of win.ini is this system's own printer list, which an
// installation may fill with the printers it brings: so on POSIX systems,
// which have no such list of their own. On Windows [devices] is the user's
// real printer list (it maps to the registry's Devices key), kept by the
// system's printer set-up; programs leave it alone.
bool IsPrinterListInProfile();

}  // namespace plat
