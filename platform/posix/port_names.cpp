// Port name resolution (see port_names.h). Pure apart from the overload that
// reads win.ini and the redirection table.
// Any thread.
#include "platform/port_names.h"

#include <cerrno>
#include <cctype>
#include <strings.h>

#include "platform/net_redirect.h"
#include "platform/profile.h"
#include "platform/common/text_util.h"

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

bool IsShareName(const std::string& name) {
  return name.size() > 2 && name[0] == '\\' && name[1] == '\\';
}

// "\\host\name" -> "host"; "" when there is no host part.
std::string ShareHost(const std::string& share) {
  std::string rest = share.substr(2);
  auto slash = rest.find_first_of("\\/");
  return slash == std::string::npos ? rest : rest.substr(0, slash);
}

PortTarget Fails(DWORD error) {
  PortTarget t;
  t.error = error;
  return t;
}

// A share reached directly or through a redirected LPT device: its own
// [ports] entry if it has one, otherwise the raw printer port of its host.
PortTarget ResolveShare(const std::string& share, const PortSection& ports) {
  if (auto mapped = LookUpPortMapping(share, ports)) return ParsePortDevice(*mapped);
  const std::string host = ShareHost(share);
  if (host.empty()) return Fails(ENOENT);
  PortTarget t;
  t.kind = PortKind::Socket;
  t.host = host;
  t.port = kRawPrinterPort;
  return t;
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
    if (Upper(StripColon(key)) == wanted) return value;
  }
  return std::nullopt;
}

PortTarget ParsePortDevice(const std::string& raw) {
  std::string value = raw;
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
    value.pop_back();
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())))
    value.erase(value.begin());

  PortTarget t;
  if (!value.empty() && value[0] == '/') {
    t.kind = PortKind::Path;
    t.path = value;
    t.mayCreate = value.compare(0, 5, "/dev/") != 0;
    return t;
  }
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
      if (close == std::string::npos) return Fails(EINVAL);
      host = hostPort.substr(1, close - 1);
      if (close + 1 < hostPort.size()) {
        if (hostPort[close + 1] != ':') return Fails(EINVAL);
        portText = hostPort.substr(close + 2);
      }
    } else {
      auto colon = hostPort.rfind(':');
      host = hostPort.substr(0, colon);
      if (colon != std::string::npos) portText = hostPort.substr(colon + 1);
    }
    if (host.empty()) return Fails(EINVAL);
    unsigned long port = kRawPrinterPort;
    if (!portText.empty()) {
      if (portText.size() > 5) return Fails(EINVAL);
      port = 0;
      for (char c : portText) {
        if (c < '0' || c > '9') return Fails(EINVAL);
        port = port * 10 + static_cast<unsigned long>(c - '0');
      }
      if (port == 0 || port > 65535) return Fails(EINVAL);
    }
    t.kind = PortKind::Socket;
    t.host = host;
    t.port = static_cast<std::uint16_t>(port);
    return t;
  }
  if (lower.compare(0, 4, "sim:") == 0 && value.size() > 4) {
    t.kind = PortKind::Sim;
    t.path = value.substr(4);
    return t;
  }
  return Fails(EINVAL);
}

PortTarget ResolvePortName(const std::string& name, const PortSection& ports,
                           const RedirectLookup& redirected) {
  const std::string bare = StripColon(name);
  if (bare.empty()) return Fails(ENOENT);

  if (const int n = LptNumber(bare)) {
    // A redirection wins over the local mapping: it is what the runner set
    // up to reach the job's share.
    if (redirected) {
      if (auto share = redirected(CanonicalPortName(bare))) {
        return ResolveShare(*share, ports);
      }
    }
    if (auto mapped = LookUpPortMapping(bare, ports)) return ParsePortDevice(*mapped);
    PortTarget t;
    t.kind = PortKind::Path;
    t.path = "/dev/lp" + std::to_string(n - 1);
    return t;
  }

  if (auto mapped = LookUpPortMapping(bare, ports)) return ParsePortDevice(*mapped);

  // A share opened by its own name is only reachable when [ports] maps it;
  // otherwise the caller redirects a free LPT device to it.
  if (IsShareName(bare)) return Fails(ENOENT);

  // A path is taken as written: its colon, if any, is part of the name.
  if (bare[0] == '/') return ParsePortDevice(name);

  // A network printer named by its address (as the print service lists
  // it) is reached directly, like a [ports] entry that maps to it.
  if (name.size() > 9 && strncasecmp(name.c_str(), "socket://", 9) == 0) {
    return ParsePortDevice(name);
  }

  // Anything else is most likely a typo; never let it become a stray file.
  return Fails(ENOENT);
}

PortTarget ResolvePortName(const std::string& name) {
  return ResolvePortName(name, GetProfileSection("ports"),
                         [](const std::string& device) { return RedirectedShare(device); });
}

}  // namespace plat
