// The Windows port devices behind plat::OpenPort: a device the system
// opens by name (LPT1:, COM1, a share), a plain file that receives the
// data, and a raw TCP printer over Winsock. Kept free of the system's
// headers, so only the bodies see <windows.h>.
// Any thread; one thread at a time per device, except Close.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/common/port_dispatch.h"
#include "platform/port_device.h"

namespace plat {

inline constexpr DWORD kSocketConnectTimeoutMs = 2000;

// A device whose time-outs we apply ourselves (a file, a socket), where the
// system has no such settings: its query reports the flags it raised.
class SelfTimedPort : public SettingsPort {
 public:
  bool ClearCommError(DWORD& errors) override;
};

// A device the system opens by name, with no sharing; every port call goes
// to the system. The system's handle is closed when the last user lets go.
std::shared_ptr<PortDevice> OpenDevicePort(const std::string& name, DWORD& error);

// A plain file opened with no sharing that receives the data at its end;
// a missing file is created only when `mayCreate`.
std::shared_ptr<PortDevice> OpenFilePort(const std::string& path, bool mayCreate,
                                         DWORD& error);

// A raw TCP printer. The open fails only when the host does not resolve; a
// printer that refuses or does not answer within `connectTimeoutMs` gives a
// port that reports CE_IOE and connects again at the next write; a
// connection that breaks after it carried bytes of the job is not replaced
// (DeliveryState::Lost).
std::shared_ptr<PortDevice> OpenSocketPort(const std::string& host, std::uint16_t port,
                                           DWORD& error,
                                           DWORD connectTimeoutMs = kSocketConnectTimeoutMs);

}  // namespace plat
