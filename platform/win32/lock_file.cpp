// A lock file that one process at a time holds, on Windows
// (platform/lock_file.h): LockFileEx on the file's first byte. No signal
// cuts a wait short here, so the wait tries again every kLockPollMs and
// asks `stop` between tries.
// One thread at a time per object.
#include "platform/lock_file.h"

#include <cerrno>

#include "platform/win32/windows_api.h"

namespace plat {
namespace {

constexpr W32_DWORD kLockPollMs = 100;

W32_HANDLE HandleOf(std::intptr_t file) { return reinterpret_cast<W32_HANDLE>(file); }

bool LockFirstByte(W32_HANDLE h, W32_DWORD flags) {
  OVERLAPPED at{};
  return ::LockFileEx(h, flags | LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
}

}  // namespace

LockFile::~LockFile() {
  if (file_ >= 0) ::CloseHandle(HandleOf(file_));
}

bool LockFile::Open(const std::string& path) {
  const W32_HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == w32::InvalidHandle()) {
    errno = EACCES;
    return false;
  }
  if (file_ >= 0) ::CloseHandle(HandleOf(file_));
  file_ = reinterpret_cast<std::intptr_t>(h);
  return true;
}

bool LockFile::TryTake() {
  if (file_ < 0) {
    errno = EBADF;
    return false;
  }
  if (LockFirstByte(HandleOf(file_), LOCKFILE_FAIL_IMMEDIATELY)) return true;
  errno = EWOULDBLOCK;
  return false;
}

LockFile::Wait LockFile::WaitToTake(bool (*stop)()) {
  if (file_ < 0) {
    errno = EBADF;
    return Wait::Failed;
  }
  for (;;) {
    if (LockFirstByte(HandleOf(file_), LOCKFILE_FAIL_IMMEDIATELY)) return Wait::Taken;
    if (::GetLastError() != ERROR_LOCK_VIOLATION) {
      errno = EACCES;
      return Wait::Failed;
    }
    if (stop && stop()) return Wait::Stopped;
    ::Sleep(kLockPollMs);
  }
}

}  // namespace plat
