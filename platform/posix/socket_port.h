// A raw TCP printer (port 9100 style) as a port.
// Any thread; one thread at a time per port, except Close.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/posix/polled_port.h"

namespace plat {

inline constexpr DWORD kSocketConnectTimeoutMs = 2000;

// A raw TCP printer (port 9100 style). The open fails only when the host
// name does not resolve; a printer that refuses or does not answer within
// `connectTimeoutMs` gives a port that reports CE_IOE and tries to connect
// again at the next write; a connection that breaks after it carried bytes
// of the job is not replaced (DeliveryState::Lost).
std::shared_ptr<PortDevice> OpenSocketPort(
    const std::string& host, std::uint16_t port, DWORD& error,
    DWORD connectTimeoutMs = kSocketConnectTimeoutMs);

}  // namespace plat
