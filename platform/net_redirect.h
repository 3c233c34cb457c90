// Network redirection of local printer devices (LPT1 to LPT9) to printer
// shares (\\host\name), in place of the original network connection service.
// The redirections live in a table under $KELVANE_HOME/run/ shared by all
// processes, so a device redirected by another process counts as taken.
// Any thread.
#pragma once

#include <optional>
#include <string>

#include "platform/win_types.h"

namespace plat {

// Redirects `localDevice` ("LPT3") to `remoteName`. 0 on success, otherwise
// an error number (the device is taken, or the table cannot be written).
DWORD AddConnection(const std::string& localDevice, const std::string& remoteName);
// Cancels the redirection of `localDevice`; `force` cancels it even while the
// device is open. 0 on success.
DWORD CancelConnection(const std::string& localDevice, bool force);
// The share that `localDevice` is redirected to, if any.
std::optional<std::string> RedirectedShare(const std::string& localDevice);

}  // namespace plat
