// What port names mean where the systems differ. The shared resolution
// (port_names.cpp) asks these; each system's port_names.cpp answers for its
// own: on POSIX, "LPT2" is /dev/lp1 and a share is its host's raw printer
// port; on Windows, LPT and COM names, "\\.\" names and shares are devices
// the system opens itself.
// Any thread: pure functions.
#pragma once

#include <optional>
#include <string>

#include "platform/port_names.h"

namespace plat::port_rules {

// A file or device path as written ("/var/out.prn", "C:\out.prn",
// "\\.\COM10"), else nullopt. `value` carries no surrounding blanks.
std::optional<PortTarget> PathTarget(const std::string& value);

// LPTn (1..9) when neither [ports] nor a redirection says where it goes.
PortTarget LptDevice(int n);

// LPTn ("LPT3") redirected to `share`, which has no [ports] entry.
PortTarget UnmappedRedirection(const std::string& device, const std::string& share);

// A name the system opens as a device by itself ("COM1", a share), else
// nullopt. `bare` carries no surrounding blanks and no trailing colon.
std::optional<PortTarget> SystemDevice(const std::string& bare);

}  // namespace plat::port_rules
