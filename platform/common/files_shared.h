// What the files bodies of each system share with the portable half of the
// files layer (platform/common/files.cpp): the handle table's removal, the
// fault hook's question and the codes the portable half sets in the
// system's own numbers. Private to the platform layer. Any thread.
#pragma once

#include <memory>
#include <string>

#include "platform/files.h"
#include "platform/files_test_support.h"

namespace plat {

// Takes `h` out of the handle table; nullptr when it names nothing.
std::shared_ptr<HandleObject> UnregisterHandle(HANDLE h);

// 0, or the platform error code a test wants this step to fail with.
DWORD InjectedFileFault(FileFault point, const std::string& path);

// Defined by each system's files body, in its own numbers.
extern const DWORD kErrorBadHandle;   // a handle that names nothing
extern const DWORD kErrorBadAddress;  // no buffer where bytes were promised
extern const DWORD kErrorDiskFull;    // a file that takes no more bytes

// Moves `size` bytes through as many system calls as it takes, counting
// what moved in *counted (also on failure). `step(done, left, moved)` makes
// one call: false with the thread's last error set on failure, else true
// with `moved` bytes. A call that moves nothing ends the transfer: a read
// at the end of the file succeeds short; a write fails (disk full) when
// `nothingIsFull`.
template <typename Step>
bool TransferAll(DWORD size, DWORD* counted, bool nothingIsFull, Step step) {
  DWORD done = 0;
  bool ok = true;
  while (done < size) {
    DWORD moved = 0;
    if (!step(done, size - done, moved)) {
      ok = false;
      break;
    }
    if (moved == 0) {
      if (nothingIsFull) {
        SetLastError(kErrorDiskFull);
        ok = false;
      }
      break;
    }
    done += moved;
  }
  if (counted) *counted = done;
  return ok;
}

// The characters that end a folder's name in a path on this system.
#ifdef _WIN32
inline constexpr const char* kPathSeparators = "/\\";
#else
inline constexpr const char* kPathSeparators = "/";
#endif

}  // namespace plat
