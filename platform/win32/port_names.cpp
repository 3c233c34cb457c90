// What port names mean on Windows (see platform/common/port_rules.h): a
// path starts with a drive ("C:\out.prn"), LPT and COM names and "\\.\"
// names are devices the system opens, and a share is opened by the system
// too, directly or through the LPT device redirected to it.
// Any thread: pure functions.
#include "platform/common/port_rules.h"

#include <cctype>

#include "platform/errors.h"

namespace plat::port_rules {
namespace {

bool IsSlash(char c) { return c == '\\' || c == '/'; }

PortTarget Device(const std::string& name) {
  PortTarget t;
  t.kind = PortKind::Path;
  t.path = name;
  t.mayCreate = false;  // devices exist or do not open
  return t;
}

}  // namespace

std::optional<PortTarget> PathTarget(const std::string& value) {
  if (value.size() >= 3 && std::isalpha(static_cast<unsigned char>(value[0])) &&
      value[1] == ':' && IsSlash(value[2])) {
    PortTarget t;
    t.kind = PortKind::Path;
    t.path = value;
    t.mayCreate = true;
    return t;
  }
  // "\\?\C:\long\path" is a file; "\\.\COM10" a device.
  if (value.size() > 4 && value.compare(0, 4, "\\\\?\\") == 0) {
    PortTarget t = Device(value);
    t.mayCreate = true;
    return t;
  }
  if (value.size() > 4 && value.compare(0, 4, "\\\\.\\") == 0) return Device(value);
  return std::nullopt;
}

PortTarget LptDevice(int n) { return Device("LPT" + std::to_string(n) + ":"); }

PortTarget UnmappedRedirection(const std::string& device, const std::string&) {
  // The system's redirector carries what the device gets to the share.
  return Device(device + ":");
}

std::optional<PortTarget> SystemDevice(const std::string& bare) {
  if (bare.size() > 2 && bare[0] == '\\' && bare[1] == '\\') {
    const std::size_t end = bare.find_first_of("\\/", 2);
    if (end == 2 || end == std::string::npos || end + 1 >= bare.size()) return std::nullopt;
    return Device(bare);  // \\host\printer
  }
  // A device name: "COM1", "PRN", "USB001". Anything with a dot or a slash
  // is a relative file name, most likely a typo, and must not become a file.
  if (bare.empty()) return std::nullopt;
  for (char c : bare) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return std::nullopt;
  }
  // Through the device namespace, so that COM10 and up open too.
  return Device("\\\\.\\" + bare);
}

}  // namespace plat::port_rules
