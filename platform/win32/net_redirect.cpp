// Network redirection of LPT1..LPT9 to printer shares through the system's
// network connection service. The system keeps the table; a device that
// another process redirected is refused by the system itself.
// Any thread.
#include "platform/net_redirect.h"

#include <vector>

#include "platform/port_names.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

bool ValidShare(const std::string& share) {
  return share.size() > 2 && share[0] == '\\' && share[1] == '\\';
}

}  // namespace

DWORD AddConnection(const std::string& localDevice, const std::string& remoteName) {
  // Only the printer devices are ours to redirect; a drive letter or a
  // COM port is not.
  if (LptNumber(localDevice) == 0 || !ValidShare(remoteName)) return ERROR_INVALID_PARAMETER;
  std::string device = CanonicalPortName(localDevice);
  std::string remote = remoteName;
  NETRESOURCEA resource{};
  resource.dwType = RESOURCETYPE_PRINT;
  resource.lpLocalName = device.data();
  resource.lpRemoteName = remote.data();
  return static_cast<DWORD>(::WNetAddConnection2A(&resource, nullptr, nullptr, 0));
}

DWORD CancelConnection(const std::string& localDevice, bool force) {
  if (LptNumber(localDevice) == 0) return ERROR_INVALID_PARAMETER;
  const std::string device = CanonicalPortName(localDevice);
  return static_cast<DWORD>(::WNetCancelConnection2A(device.c_str(), 0, force ? TRUE : FALSE));
}

std::optional<std::string> RedirectedShare(const std::string& localDevice) {
  if (LptNumber(localDevice) == 0) return std::nullopt;
  const std::string device = CanonicalPortName(localDevice);
  std::vector<char> buffer(260);
  for (int attempt = 0; attempt < 2; ++attempt) {
    W32_DWORD size = static_cast<W32_DWORD>(buffer.size());
    const W32_DWORD rc = ::WNetGetConnectionA(device.c_str(), buffer.data(), &size);
    if (rc == NO_ERROR) return std::string(buffer.data());
    if (rc != ERROR_MORE_DATA) return std::nullopt;
    buffer.resize(size + 1);
  }
  return std::nullopt;
}

}  // namespace plat
