// What the files bodies of each system share with the portable half of the
// files layer (platform/common/files.cpp): the handle table's removal, the
// fault hook's question and the codes the portable half sets in the
// system's own numbers. Private to the platform layer. Any thread.
#pragma once

#include <memory>
#include <string>

#include "platform/files.h"

namespace plat {

// Takes `h` out of the handle table; nullptr when it names nothing.
std::shared_ptr<HandleObject> UnregisterHandle(HANDLE h);

// 0, or the platform error code a test wants this step to fail with.
DWORD InjectedFileFault(FileFault point, const std::string& path);

// Defined by each system's files body, in its own numbers.
extern const DWORD kErrorBadHandle;   // a handle that names nothing
extern const DWORD kErrorBadAddress;  // no buffer where bytes were promised

// The characters that end a folder's name in a path on this system.
#ifdef _WIN32
inline constexpr const char* kPathSeparators = "/\\";
#else
inline constexpr const char* kPathSeparators = "/";
#endif

}  // namespace plat
