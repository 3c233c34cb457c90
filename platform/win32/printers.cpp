// The installed printers on Windows: the print spooler's local printers
// (EnumPrintersA at level 2), each with the port it prints to.
// Any thread: every call asks the system afresh.
#include "platform/printers.h"

#include <vector>

#include "platform/cups_printers.h"
#include "platform/win32/windows_api.h"

namespace plat {

bool ListDefaultPrinters(std::vector<InstalledPrinter>& out) {
  out.clear();
  W32_DWORD needed = 0;
  W32_DWORD count = 0;
  // The list can grow between the size query and the read: ask again then.
  std::vector<BYTE> buffer;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const bool ok = ::EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2,
                                    buffer.empty() ? nullptr : buffer.data(),
                                    static_cast<W32_DWORD>(buffer.size()), &needed,
                                    &count) != FALSE;
    if (ok) {
      const auto* entries = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.data());
      for (W32_DWORD i = 0; i < count; ++i) {
        if (!entries[i].pPrinterName) continue;
        out.push_back({entries[i].pPrinterName,
                       entries[i].pPortName ? entries[i].pPortName : ""});
      }
      return true;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return false;
    buffer.assign(needed, 0);
  }
  return false;
}

bool IsPrinterListInProfile() { return false; }

// The programs install the system's printers at start; here they are the
// default list already.
void UseSystemPrinters() { SetPrinterSource(nullptr); }

}  // namespace plat
