// Opening a resolved port name on Windows, and the no-sharing claim of a
// TCP printer, which the system cannot give a socket.
// Any thread.
#include "platform/port_device.h"

#include <cstdio>

#include "platform/common/port_dispatch.h"
#include "platform/errors.h"
#include "platform/port_names.h"
#include "platform/win32/win32_ports.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

// A TCP printer is claimed through a named object of the session: a
// second spooler that reaches the same printer finds it and stays out, as
// it would find a device opened with no sharing.
std::string ClaimName(const std::string& key) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "Local\\Kelvane.Port.%016llx",
                static_cast<unsigned long long>(HashPortKey(key)));
  return buf;
}

W32_HANDLE ClaimByName(const std::string& key, DWORD& error) {
  W32_HANDLE claim = ::CreateMutexA(nullptr, FALSE, ClaimName(key).c_str());
  if (!claim) {
    error = static_cast<DWORD>(::GetLastError());
    return nullptr;
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(claim);
    error = ERROR_SHARING_VIOLATION;
    return nullptr;
  }
  return claim;
}

}  // namespace

std::shared_ptr<PortDevice> OpenTargetDevice(const PortTarget& target, DWORD& error) {
  switch (target.kind) {
    case PortKind::None:
      error = target.error ? target.error : kErrorNotFound;
      return nullptr;
    case PortKind::Path:
      if (target.mayCreate) return OpenFilePort(target.path, true, error);
      return OpenDevicePort(target.path, error);
    case PortKind::Socket: {
      W32_HANDLE claim = ClaimByName(target.Key(), error);
      if (!claim) return nullptr;
      auto inner = OpenSocketPort(target.host, target.port, error);
      if (!inner) {
        ::CloseHandle(claim);
        return nullptr;
      }
      return MakeClaimedPort(std::move(inner), [claim] { ::CloseHandle(claim); });
    }
    case PortKind::Sim:
      // The virtual printer listens on TCP here: socket://127.0.0.1:PORT.
      error = ERROR_NOT_SUPPORTED;
      return nullptr;
  }
  error = kErrorNotFound;
  return nullptr;
}

// ----------------------------------------------------------- SelfTimedPort

bool SelfTimedPort::ClearCommError(DWORD& errors) {
  errors = TakePending();
  return true;
}

}  // namespace plat
