// Port names: how the name a job gives ("LPT1:", "lpt1", "\\host\share",
// "/dev/usb/lp0") becomes a device to open. The [ports] section of win.ini
// maps names to devices:
//   LPT1=/dev/usb/lp0            a printer device, or a plain file (appended)
//   LPT2=socket://printer:9100   a raw TCP printer
//   LPT3=sim:/run/vp.sock        the virtual printer
//   \\office\ribbon=socket://10.0.0.7:9100
// Keys match without regard to case, with or without a trailing colon; a
// key with an empty value maps nothing (the system's port list on Windows
// lists each port so).
// On Windows paths start with a drive ("C:\out.prn"), there is no sim:
// device, and what [ports] does not map is the system's own device: "LPT1:",
// "COM1", "\\.\name", a share (opened through the system's redirector).
// Resolution is a pure function of the name, the section and the network
// redirections, so it can be tested without devices.
// Any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/win_types.h"

namespace plat {

enum class PortKind {
  None,    // the name does not open; `error` says why
  Path,    // a printer device (on Windows any device the system names) or
           // a plain file
  Socket,  // raw TCP printer
  Sim,     // the virtual printer's socket
};

struct PortTarget {
  PortKind kind = PortKind::None;
  std::string path;       // Path and Sim
  std::string host;       // Socket
  std::uint16_t port = 0; // Socket
  // A Path target may be created as a plain file. Names we derive ourselves
  // (LPTn -> /dev/lp<n-1> or the device LPTn:) and devices (under /dev/, or
  // named by the system) must already exist.
  bool mayCreate = false;
  DWORD error = 0;        // None: the platform's error number to report
  // The same device spelled one way, for the no-sharing claim.
  std::string Key() const;
};

using PortSection = std::vector<std::pair<std::string, std::string>>;
// The share a local device ("LPT2") is redirected to, if any.
using RedirectLookup =
    std::function<std::optional<std::string>(const std::string& device)>;

inline constexpr std::uint16_t kRawPrinterPort = 9100;

// "lpt1:" -> "LPT1" for LPT names; other names only lose a trailing colon.
std::string CanonicalPortName(const std::string& name);
// 1..9 for "LPT1".."LPT9" (any case, optional colon), else 0.
int LptNumber(const std::string& name);
// Whether `name` is spelt as a port can be (a device name such as "LPT1:",
// a share or system device "\\host\name", a full path, "socket://..." or
// "sim:..."), whatever it resolves to on this machine today: what tells a
// queue record's port line from a line of some other text. No control
// characters anywhere.
bool IsPortNameSpelling(const std::string& name);
// The value of `ports` for `name`, matched as described above.
std::optional<std::string> LookUpPortMapping(const std::string& name,
                                             const PortSection& ports);
// Parses one [ports] value (absolute path, socket://HOST:PORT, sim:PATH, and
// on Windows a device or share name).
PortTarget ParsePortDevice(const std::string& value);

PortTarget ResolvePortName(const std::string& name, const PortSection& ports,
                           const RedirectLookup& redirected);
// With the user's [ports] section and the live redirection table.
PortTarget ResolvePortName(const std::string& name);

}  // namespace plat
