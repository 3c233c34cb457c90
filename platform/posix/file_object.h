// The file object behind a files-layer handle on POSIX systems, and the few
// pieces its bodies share: the object itself (platform/posix/files.cpp),
// copying out of it (descriptor_io.cpp), replacing it by a new file beside
// it (file_replacement.cpp) and editing it in place (in_place_edits.cpp).
// Private to the platform layer's POSIX files bodies.
// Any thread. Each object guards its descriptor with a reader/writer lock,
// so that CloseHandle from one thread never closes a descriptor under a
// read or write in another.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>

#include "platform/common/files_shared.h"
#include "platform/files.h"

namespace plat {

// Sets `error` (an errno) as the thread's last error; false, for a caller
// that reports its failure with it.
inline bool Fail(int error) {
  SetLastError(static_cast<DWORD>(error));
  return false;
}

// 0, or the errno a test wants this step to fail with.
inline int InjectedFault(FileFault point, const std::string& path) {
  return static_cast<int>(InjectedFileFault(point, path));
}

class FileObject final : public HandleObject {
 public:
  FileObject(int fd, Access access, ShareMode share, std::string path)
      : fd_(fd), access_(access), share_(share), path_(std::move(path)) {}
  ~FileObject() override { Close(); }

  bool Read(void* buffer, DWORD size, DWORD* bytesRead) override;
  bool Write(const void* data, DWORD size, DWORD* bytesWritten) override;
  void Close() override;
  DWORD Size();
  bool Seek(std::uint64_t offset);

  // Runs `fn(fd)` with the descriptor held exclusively (no read or write in
  // between); fn may hand back a new descriptor that replaces the old one.
  template <typename Fn>
  bool WithExclusiveFd(Fn fn) {
    std::unique_lock<std::shared_mutex> g(mutex_);
    if (fd_ < 0) return Fail(EBADF);
    return fn(fd_);
  }

  // Runs `fn(fd)` on a descriptor open for reading, held shared like a
  // read, so a close from another thread waits for it.
  template <typename Fn>
  bool WithReadableFd(Fn fn) {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (fd_ < 0 || access_ == Access::Write) return Fail(EBADF);
    return fn(fd_);
  }

  ShareMode share() const { return share_; }
  bool writable() const { return access_ != Access::Read; }
  // The path the file was opened with, for the fault hook.
  const std::string& path() const { return path_; }

 private:
  std::shared_mutex mutex_;  // guards fd_: shared for I/O, exclusive to close
  int fd_;
  const Access access_;
  const ShareMode share_;
  const std::string path_;
};

// The file object behind a handle's object, else nullptr with the last
// error set (EBADF for a handle that names nothing, EINVAL for another kind
// of object).
FileObject* AsFile(const std::shared_ptr<HandleObject>& object);

// AsFile, and only for a file held with no sharing (else EINVAL).
FileObject* HeldFile(const std::shared_ptr<HandleObject>& object);

inline bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Writes `data` over the start of the file that `fd` holds and cuts the file
// to its length, synced; `path` names the file for the fault hook. The
// caller makes sure `data` is no longer than the file. False with the last
// error set.
bool RewriteInPlace(int fd, const std::string& path, const void* data, std::size_t size);

}  // namespace plat
