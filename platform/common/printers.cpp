// Installed printers through the installed source; by default the system's
// own list (ListDefaultPrinters, one body per system).
// Any thread; the source pointer is atomic, the source itself must be
// callable from any thread.
#include "platform/printers.h"

#include <atomic>

#include "platform/profile.h"
#include "platform/common/text_util.h"

namespace plat {
namespace {

std::atomic<PrinterSource*> g_source{nullptr};

}  // namespace

bool ListProfileDevices(std::vector<InstalledPrinter>& out) {
  out.clear();
  // A missing profile simply lists no printers; the caller reports that.
  for (const auto& [name, value] : GetProfileSection("devices")) {
    std::size_t comma = value.find(',');
    if (comma == std::string::npos || name.empty()) continue;
    const std::string_view rest = TrimBlanks(std::string_view(value).substr(comma + 1));
    out.push_back({name, std::string(rest)});
  }
  return true;
}

bool ListInstalledPrinters(std::vector<InstalledPrinter>& out) {
  PrinterSource* source = g_source.load(std::memory_order_acquire);
  if (!source) return ListDefaultPrinters(out);
  out.clear();
  return source->List(out);
}

void SetPrinterSource(PrinterSource* source) {
  g_source.store(source, std::memory_order_release);
}

}  // namespace plat
