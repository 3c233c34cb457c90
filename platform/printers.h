// Installed printers, in place of the original printer enumeration. By
// default they are the entries of the [devices] section of win.ini
// ("Printer Name=driver,PORT:"), so a user can list printers without a print
// system; other sources (a print service, tests) can be installed.
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
// nullptr restores the default ([devices] of win.ini).
void SetPrinterSource(PrinterSource* source);

// The [devices] source, for composing with others.
bool ListProfileDevices(std::vector<InstalledPrinter>& out);

}  // namespace plat
