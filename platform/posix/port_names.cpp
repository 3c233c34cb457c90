// What port names mean on POSIX (see platform/common/port_rules.h): paths
// start at the root, "LPT2" is the parallel printer /dev/lp1, and a share
// that [ports] does not map is its host's raw printer port, since no
// redirector of the system carries data to it.
// Any thread: pure functions.
#include "platform/common/port_rules.h"

#include <cerrno>

namespace plat::port_rules {

std::optional<PortTarget> PathTarget(const std::string& value) {
  if (value.empty() || value[0] != '/') return std::nullopt;
  PortTarget t;
  t.kind = PortKind::Path;
  t.path = value;
  // A device node is never created as a plain file.
  t.mayCreate = value.compare(0, 5, "/dev/") != 0;
  return t;
}

PortTarget LptDevice(int n) {
  PortTarget t;
  t.kind = PortKind::Path;
  t.path = "/dev/lp" + std::to_string(n - 1);
  return t;
}

PortTarget UnmappedRedirection(const std::string&, const std::string& share) {
  // "\\host\name" -> "host"
  std::string host = share.size() > 2 ? share.substr(2) : std::string();
  host = host.substr(0, host.find_first_of("\\/"));
  PortTarget t;
  if (host.empty()) {
    t.error = ENOENT;
    return t;
  }
  t.kind = PortKind::Socket;
  t.host = host;
  t.port = kRawPrinterPort;
  return t;
}

std::optional<PortTarget> SystemDevice(const std::string&) {
  // Devices are paths here; a share needs a [ports] entry or a redirection.
  return std::nullopt;
}

}  // namespace plat::port_rules
