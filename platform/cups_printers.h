// Installed printers from the system's print service (CUPS) beside the
// [devices] section of win.ini. A queue joins the list only when its device
// is one our port layer opens itself:
//   parallel:/dev/lp0             -> /dev/lp0
//   usb://Make/Model?serial=S     -> /dev/usb/lpN of the attached printer
//                                    whose IEEE 1284 id names Make/Model/S
//   socket://host:9100?opts       -> socket://host:9100
//   file:/path, file:///path      -> /path
// Everything else (ipp://, lpd://, backends of other makers) is skipped:
// only the print service can reach those, and we write raw bytes ourselves.
// When no server answers, or libcups is not installed, the list is exactly
// the [devices] one.
//
// The translation and the composition are pure functions so they can be
// tested without a print service or a printer.
// Any thread; the libcups query opens its own connection per call, and
// libcups itself is loaded by the first query, not at start.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/printers.h"

namespace plat {

// A queue as the print service reports it.
struct CupsQueue {
  std::string name;       // "printer-name"
  std::string deviceUri;  // "device-uri"; "" when the server hides it
};

// An attached USB printer with a kernel device node (usblp).
struct UsbPrinterNode {
  std::string devicePath;  // "/dev/usb/lp0"
  std::string deviceId;    // its IEEE 1284 device id ("MFG:..;MDL:..;SN:..;")
  std::string usbSerial;   // the USB descriptor's serial number, if any
};

// Longest port name we offer: the settings store keeps "Port" in 50 bytes
// with its terminating zero, and a longer one would read back as missing.
inline constexpr std::size_t kMaxOfferedPortChars = 49;

// The port name for a device URI, or nullopt when our port layer cannot
// open that device or the name would not survive being stored as "Port".
std::optional<std::string> PortNameFromDeviceUri(
    const std::string& uri, const std::vector<UsbPrinterNode>& usbNodes);

// True when a usb:// URI names the printer with this IEEE 1284 id (and, if
// the URI carries a serial number, that serial).
bool UsbUriMatchesNode(const std::string& uri, const UsbPrinterNode& node);

// The [devices] entries first, as the user wrote them, then each queue whose
// device translates; a queue named like a [devices] entry (case ignored) is
// left out, so the user's own entry wins.
std::vector<InstalledPrinter> ComposeInstalledPrinters(
    const std::vector<InstalledPrinter>& profileDevices,
    const std::vector<CupsQueue>& queues,
    const std::vector<UsbPrinterNode>& usbNodes);

// USB printer nodes from sysfs: <classDir>/lp*/device/ieee1284_id, device
// node /dev/usb/lp*. `classDir` is a parameter for tests.
std::vector<UsbPrinterNode> ListUsbPrinterNodes(
    const std::string& classDir = "/sys/class/usbmisc",
    const std::string& devDir = "/dev/usb");

// True when this process can talk to a print service: the print service's
// library (libcups) loads. It is loaded on this call or the first listing,
// never at start, so a program that does not list printers never pays for
// it (it brings some thirty libraries with it).
bool HaveCupsSupport();
// The server's queues (IPP CUPS-Get-Printers on the default server, as
// cupsServer() names it). false when no server answers within `timeoutMs`
// or libcups cannot be loaded; `out` is then empty.
bool ListCupsQueues(std::vector<CupsQueue>& out, unsigned timeoutMs = 3000);
// The same through the library file `library` (a soname) instead of
// libcups's own: tests name one that is not there to see a machine without
// the print service.
bool ListCupsQueuesFrom(const char* library, std::vector<CupsQueue>& out,
                        unsigned timeoutMs = 3000);

// [devices] + print service queues. The listers are replaceable for tests.
class SystemPrinterSource : public PrinterSource {
 public:
  using QueueLister = std::function<bool(std::vector<CupsQueue>&)>;
  using UsbLister = std::function<std::vector<UsbPrinterNode>()>;

  SystemPrinterSource();  // the real print service and sysfs
  SystemPrinterSource(QueueLister queues, UsbLister usb);
  bool List(std::vector<InstalledPrinter>& out) override;

 private:
  QueueLister queues_;
  UsbLister usb_;
};

// Installs one process-wide SystemPrinterSource with SetPrinterSource; the
// programs call it once at start-up. It loads nothing: libcups comes with
// the first listing. Harmless without libcups.
void UseSystemPrinters();

}  // namespace plat
