// Port name resolution (see port_names.h), the same on every system; what
// a name means where the systems differ is asked of port_rules.h. Pure
// apart from the overload that reads win.ini and the redirection table.
// Any thread.
#include "platform/port_names.h"

#include <cctype>

#include "platform/common/port_rules.h"
#include "platform/common/text_util.h"
#include "platform/errors.h"
#include "platform/file_trust.h"
#include "platform/net_redirect.h"
#include "platform/profile.h"

namespace plat {
namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// "LPT1 :" and "lpt1" name the same port as "LPT1:".
std::string StripColon(const std::string& name) {
  std::string_view s = TrimBlanks(name);
  if (!s.empty() && s.back() == ':') s.remove_suffix(1);
  return std::string(TrimBlanks(s));
}

bool StartsWithNoCase(const std::string& s, std::string_view prefix) {
  return s.size() >= prefix.size() &&
         EqualNoCase(std::string_view(s).substr(0, prefix.size()), prefix);
}

PortTarget Fails(DWORD error) {
  PortTarget t;
  t.error = error;
  return t;
}

// A share reached through a redirected LPT device: its own [ports] entry
// if it has one, otherwise what the system makes of the redirection.
PortTarget ResolveShare(const std::string& device, const std::string& share,
                        const PortSection& ports) {
  if (auto mapped = LookUpPortMapping(share, ports)) return ParsePortDevice(*mapped);
  return port_rules::UnmappedRedirection(device, share);
}

}  // namespace

std::string PortTarget::Key() const {
  switch (kind) {
    case PortKind::Path: return "path:" + path;
    case PortKind::Socket: return "socket:" + Upper(host) + ":" + std::to_string(port);
    case PortKind::Sim: return "sim:" + path;
    case PortKind::None: break;
  }
  return "";
}

std::string CanonicalPortName(const std::string& name) {
  const std::string s = StripColon(name);
  if (LptNumber(s) != 0) return Upper(s);
  return s;
}

bool IsPortNameSpelling(const std::string& name) {
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  const std::string trimmed(TrimBlanks(name));
  if (trimmed.size() > 2 && trimmed[0] == '\\' && trimmed[1] == '\\') return true;
  if (IsAbsolutePath(trimmed)) return true;
  if (StartsWithNoCase(trimmed, "socket://") || StartsWithNoCase(trimmed, "sim:")) return true;
  const std::string bare = StripColon(trimmed);
  if (bare.empty()) return false;
  for (const char c : bare) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.' &&
        c != '$')
      return false;
  }
  return true;
}

int LptNumber(const std::string& name) {
  const std::string s = Upper(StripColon(name));
  if (s.size() != 4 || s.compare(0, 3, "LPT") != 0) return 0;
  if (s[3] < '1' || s[3] > '9') return 0;
  return s[3] - '0';
}

std::optional<std::string> LookUpPortMapping(const std::string& name,
                                             const PortSection& ports) {
  const std::string wanted = Upper(StripColon(name));
  if (wanted.empty()) return std::nullopt;
  for (const auto& [key, value] : ports) {
    // An entry with no value only lists the port, as the system's own port
    // list does for every port it has ("LPT1:="): it redirects nothing.
    if (Upper(StripColon(key)) == wanted && !TrimBlanks(value).empty()) return value;
  }
  return std::nullopt;
}

PortTarget ParsePortDevice(const std::string& raw) {
  std::string value = raw;
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
    value.pop_back();
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())))
    value.erase(value.begin());

  if (auto path = port_rules::PathTarget(value)) return *path;
  PortTarget t;
  const std::string lower = [&] {
    std::string s = value;
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }();
  if (lower.compare(0, 9, "socket://") == 0) {
    std::string hostPort = value.substr(9);
    while (!hostPort.empty() && hostPort.back() == '/') hostPort.pop_back();
    std::string host;
    std::string portText;
    if (!hostPort.empty() && hostPort[0] == '[') {  // [::1]:9100
      auto close = hostPort.find(']');
      if (close == std::string::npos) return Fails(kErrorInvalidParameter);
      host = hostPort.substr(1, close - 1);
      if (close + 1 < hostPort.size()) {
        if (hostPort[close + 1] != ':') return Fails(kErrorInvalidParameter);
        portText = hostPort.substr(close + 2);
      }
    } else {
      auto colon = hostPort.rfind(':');
      host = hostPort.substr(0, colon);
      if (colon != std::string::npos) portText = hostPort.substr(colon + 1);
    }
    if (host.empty()) return Fails(kErrorInvalidParameter);
    unsigned long port = kRawPrinterPort;
    if (!portText.empty()) {
      if (portText.size() > 5) return Fails(kErrorInvalidParameter);
      port = 0;
      for (char c : portText) {
        if (c < '0' || c > '9') return Fails(kErrorInvalidParameter);
        port = port * 10 + static_cast<unsigned long>(c - '0');
      }
      if (port == 0 || port > 65535) return Fails(kErrorInvalidParameter);
    }
    t.kind = PortKind::Socket;
    t.host = host;
    t.port = static_cast<std::uint16_t>(port);
    return t;
  }
  if (lower.compare(0, 4, "sim:") == 0) {
    // "sim:" alone names no socket (and no device of the system either).
    if (value.size() == 4) return Fails(kErrorInvalidParameter);
    t.kind = PortKind::Sim;
    t.path = value.substr(4);
    return t;
  }
  if (auto device = port_rules::SystemDevice(StripColon(value))) return *device;
  return Fails(kErrorInvalidParameter);
}

PortTarget ResolvePortName(const std::string& name, const PortSection& ports,
                           const RedirectLookup& redirected) {
  const std::string bare = StripColon(name);
  if (bare.empty()) return Fails(kErrorNotFound);

  if (const int n = LptNumber(bare)) {
    // A redirection wins over the local mapping: it is what the runner set
    // up to reach the job's share.
    if (redirected) {
      const std::string device = CanonicalPortName(bare);
      if (auto share = redirected(device)) return ResolveShare(device, *share, ports);
    }
    if (auto mapped = LookUpPortMapping(bare, ports)) return ParsePortDevice(*mapped);
    return port_rules::LptDevice(n);
  }

  if (auto mapped = LookUpPortMapping(bare, ports)) return ParsePortDevice(*mapped);

  // A path is taken as written: its colon, if any, is part of the name.
  if (auto path = port_rules::PathTarget(std::string(TrimBlanks(name)))) return *path;

  // A network printer named by its address (as the print service lists
  // it) is reached directly, like a [ports] entry that maps to it.
  if (name.size() > 9 && StartsWithNoCase(name, "socket://")) return ParsePortDevice(name);

  // A share opened by its own name is reachable only where the system opens
  // shares (otherwise the caller redirects a free LPT device to it), and so
  // are the system's other device names.
  if (auto device = port_rules::SystemDevice(bare)) return *device;

  // Anything else is most likely a typo; never let it become a stray file.
  return Fails(kErrorNotFound);
}

PortTarget ResolvePortName(const std::string& name) {
  return ResolvePortName(name, GetProfileSection("ports"),
                         [](const std::string& device) { return RedirectedShare(device); });
}

}  // namespace plat
