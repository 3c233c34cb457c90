// A plain file as a printer port: whatever is printed is appended to it.
// Any thread; one thread at a time per port, except Close.
#pragma once

#include <memory>
#include <string>

#include "platform/posix/polled_port.h"

namespace plat {

// A plain file that receives the data, opened for appending: always ready,
// no flags, nothing to read.
std::shared_ptr<PortDevice> OpenFilePort(const std::string& path,
                                         bool mayCreate, DWORD& error);

// The same port on a descriptor opened and claimed by the caller, which it
// takes over. Its drain syncs the descriptor (Delivered), or raises CE_IOE
// and says Lost when the sync fails.
std::shared_ptr<PortDevice> MakeFilePort(int fd);

}  // namespace plat
