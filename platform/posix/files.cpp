// Files on POSIX systems and the thread's last error (errno numbers); the
// handle table and the retried open are the portable half's
// (platform/common/files.cpp).
//
// Sharing between processes rests on flock(): LOCK_EX for "no sharing",
// LOCK_SH for "sharing read and write", both non-blocking, so a refused
// open reports a sharing violation at once and the caller decides how long
// to retry. Because a writer replaces a file by renaming a new one over it,
// a lock taken on an inode that the path no longer names protects nothing;
// every open therefore checks the path after locking and starts over.
// Any thread. Each file object guards its descriptor with a reader/writer lock so that CloseHandle from
// one thread never closes a descriptor under a read or write in another.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <limits>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/common/files_shared.h"
#include "platform/errors.h"
#include "platform/posix/descriptor_io.h"
#include "platform/posix/file_locks.h"

namespace plat {
namespace {

thread_local DWORD t_lastError = 0;

bool Fail(int e) {
  t_lastError = static_cast<DWORD>(e);
  return false;
}

// 0, or the errno a test wants this step to fail with.
int InjectedFault(FileFault point, const std::string& path) {
  return static_cast<int>(InjectedFileFault(point, path));
}

// ------------------------------------------------------------ file object

// Starts writing [offset, offset + size) of `fd` to disk without waiting
// for it, so that the fsync that ends a big copy finds most of the file
// already written instead of starting on all of it then.
void StartWriteback(int fd, off_t offset, std::size_t size) {
  if (offset >= 0)
    ::sync_file_range(fd, offset, static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
}

// copy_file_range moves the pages inside the kernel; a pair of descriptors
// it cannot serve (another file system on an old kernel, a special file)
// says so before it has moved anything, and the buffer loop takes over.
// The copy goes in chunks so that the disk starts on each while the next
// one is copied.
bool CopyDescriptor(int in, int out, std::uint64_t& copied) {
  constexpr std::size_t kChunk = 8u << 20;
  off_t at = ::lseek(out, 0, SEEK_CUR);  // -1 for a pipe: no write-back to start
  bool kernelCopy = true;
  while (kernelCopy) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
    if (n > 0) {
      StartWriteback(out, at, static_cast<std::size_t>(n));
      if (at >= 0) at += n;
      copied += static_cast<std::uint64_t>(n);
      continue;
    }
    // Nothing at the first call may also be a file that does not tell its
    // size (/proc, /sys): the buffer loop reads what it really holds.
    if (n == 0 && copied != 0) return true;
    if (n == 0) break;
    if (errno == EINTR) continue;
    const bool unsupported = errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                             errno == EOPNOTSUPP || errno == EBADF;
    if (!unsupported || copied != 0) return Fail(errno);
    kernelCopy = false;
  }
  std::vector<char> buffer(1u << 20);
  for (;;) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    if (n == 0) return true;
    if (!WriteAllToDescriptor(out, buffer.data(), static_cast<std::size_t>(n)))
      return Fail(errno);
    StartWriteback(out, at, static_cast<std::size_t>(n));
    if (at >= 0) at += n;
    copied += static_cast<std::uint64_t>(n);
  }
}

class FileObject final : public HandleObject {
 public:
  FileObject(int fd, Access access, ShareMode share, std::string path)
      : fd_(fd), access_(access), share_(share), path_(std::move(path)) {}
  ~FileObject() override { Close(); }

  bool Read(void* buffer, DWORD size, DWORD* bytesRead) override {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (bytesRead) *bytesRead = 0;
    if (fd_ < 0) return Fail(EBADF);
    if (access_ == Access::Write) return Fail(EBADF);
    auto* p = static_cast<char*>(buffer);
    return TransferAll(size, bytesRead, false, [&](DWORD done, DWORD left, DWORD& moved) {
      ssize_t n;
      do {
        n = ::read(fd_, p + done, left);
      } while (n < 0 && errno == EINTR);
      if (n < 0) return Fail(errno);
      moved = static_cast<DWORD>(n);
      return true;
    });
  }

  bool Write(const void* data, DWORD size, DWORD* bytesWritten) override {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (bytesWritten) *bytesWritten = 0;
    if (fd_ < 0) return Fail(EBADF);
    if (access_ == Access::Read) return Fail(EBADF);
    const auto* p = static_cast<const char*>(data);
    return TransferAll(size, bytesWritten, true, [&](DWORD done, DWORD left, DWORD& moved) {
      ssize_t n;
      do {
        n = ::write(fd_, p + done, left);
      } while (n < 0 && errno == EINTR);
      if (n < 0) return Fail(errno);
      moved = static_cast<DWORD>(n);
      return true;
    });
  }

  void Close() override {
    std::unique_lock<std::shared_mutex> g(mutex_);
    if (fd_ >= 0) {
      ::close(fd_);  // releases the flock with the last descriptor
      fd_ = -1;
    }
  }

  DWORD Size() {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (fd_ < 0) {
      Fail(EBADF);
      return INVALID_FILE_SIZE;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
      Fail(errno);
      return INVALID_FILE_SIZE;
    }
    return static_cast<DWORD>(static_cast<unsigned long long>(st.st_size));
  }

  bool Seek(std::uint64_t offset) {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (fd_ < 0) return Fail(EBADF);
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return Fail(EINVAL);
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return Fail(errno);
    return true;
  }

  // Runs `fn(fd)` with the descriptor held exclusively (no read or write in
  // between); fn may hand back a new descriptor that replaces the old one.
  template <typename Fn>
  bool WithExclusiveFd(Fn fn) {
    std::unique_lock<std::shared_mutex> g(mutex_);
    if (fd_ < 0) return Fail(EBADF);
    return fn(fd_);
  }

  ShareMode share() const { return share_; }
  bool writable() const { return access_ != Access::Read; }
  // The path the file was opened with, for the fault hook.
  const std::string& path() const { return path_; }

  // Held shared like a read, so a close from another thread waits for it.
  bool CopyTo(int out, std::uint64_t& copied) {
    std::shared_lock<std::shared_mutex> g(mutex_);
    if (fd_ < 0 || access_ == Access::Write) return Fail(EBADF);
    return CopyDescriptor(fd_, out, copied);
  }

 private:
  std::shared_mutex mutex_;  // guards fd_: shared for I/O, exclusive to close
  int fd_;
  const Access access_;
  const ShareMode share_;
  const std::string path_;
};

bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Writes `data` to a new temporary file beside `path`, with `mode`, synced
// to disk. Returns its descriptor (and name) or -1 with errno set.
int WriteTemporaryBeside(const std::string& path, const void* data,
                         std::size_t size, mode_t mode, std::string& tempName) {
  if (int e = InjectedFault(FileFault::CreateTemporary, path)) {
    errno = e;
    return -1;
  }
  std::string tmpl = path + ".tmpXXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  int fd = ::mkostemp(buf.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  tempName = buf.data();
  auto abandon = [&](int e) {
    ::close(fd);
    ::unlink(tempName.c_str());
    errno = e;
    return -1;
  };
  if (::fchmod(fd, mode) != 0) return abandon(errno);
  if (int e = InjectedFault(FileFault::WriteTemporary, path)) return abandon(e);
  if (!WriteAllToDescriptor(fd, data, size)) return abandon(errno);
  if (int e = InjectedFault(FileFault::SyncTemporary, path)) return abandon(e);
  if (::fsync(fd) != 0) return abandon(errno);
  return fd;
}

// Failures that say a new file cannot live beside the old one (a folder we
// may not write, a read-only or full file system, a quota), where rewriting
// the old file in place still can succeed.
bool IsNoRoomBeside(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOSPC:
    case EDQUOT:
      return true;
    default:
      return false;
  }
}

// The file a path names, through any symbolic links: a replacement by
// rename must land on the file itself, or it would turn a link into a plain
// file and leave the linked file as it was.
std::string ResolveLinks(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

// Writes `data` over the start of the file that `fd` holds and cuts the file
// to its length. The caller makes sure `data` is no longer than the file,
// so this asks the disk for no new room.
// A kill between the write and the cut leaves the new contents followed by
// the old file's tail: fine for files whose readers take that, not for the
// queue file, which edits itself in place by OverwriteHeldRange instead.
bool RewriteInPlace(int fd, const std::string& path, const void* data,
                    std::size_t size) {
  auto injected = [&](FileFault point) {
    errno = InjectedFault(point, path);
    return errno != 0;
  };
  if (injected(FileFault::RewriteInPlace)) return false;
  if (::lseek(fd, 0, SEEK_SET) != 0 || !WriteAllToDescriptor(fd, data, size)) return false;
  if (injected(FileFault::TruncateInPlace)) return false;
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) return false;
  if (injected(FileFault::SyncInPlace)) return false;
  return ::fsync(fd) == 0;
}

// Replaces the file that `fd` holds (st: its status; target: the file its
// path names, links resolved) by a new one with `data`: a temporary beside
// it, synced, held with no sharing, renamed over it, the folder synced.
// `fd` then holds the new file at the position it had. 0, or the errno of
// the step that failed, with the old file untouched and no temporary left.
int ReplaceBeside(int& fd, const struct stat& st, const std::string& target,
                  const void* data, std::size_t size) {
  std::string tempName;
  int tfd = WriteTemporaryBeside(target, data, size, st.st_mode & 07777, tempName);
  if (tfd < 0) return errno;
  // The new file is held with no sharing before it appears under the
  // name, so nobody slips in between the rename and our close.
  int rc = LockDescriptor(tfd, LOCK_EX | LOCK_NB);
  if (rc == 0) {
    if (int e = InjectedFault(FileFault::RenameOver, target)) {
      errno = e;
      rc = -1;
    } else {
      rc = ::rename(tempName.c_str(), target.c_str());
    }
  }
  if (rc != 0) {
    int e = errno;
    ::close(tfd);
    ::unlink(tempName.c_str());
    return e;
  }
  if (InjectedFault(FileFault::SyncFolder, target) == 0) SyncDirectory(DirectoryOf(target));
  // The handle now holds the new file, at the position it had before.
  off_t pos = ::lseek(fd, 0, SEEK_CUR);
  if (pos > 0) ::lseek(tfd, pos, SEEK_SET);
  ::close(fd);
  fd = tfd;
  return 0;
}

// The file object behind `h` if it is held with no sharing, else nullptr
// with the last error set.
FileObject* HeldFile(const std::shared_ptr<HandleObject>& object) {
  auto* file = dynamic_cast<FileObject*>(object.get());
  if (!file) {
    Fail(object ? EINVAL : EBADF);
    return nullptr;
  }
  if (file->share() != ShareMode::None) {
    Fail(EINVAL);
    return nullptr;
  }
  return file;
}

// Whether `target` (links resolved) still names the file `fd` holds.
bool NamesHeldFile(int fd, const std::string& target, struct stat& st) {
  if (::fstat(fd, &st) != 0) return Fail(errno);
  struct stat named {};
  if (::stat(target.c_str(), &named) != 0 || !SameInode(st, named)) return Fail(EINVAL);
  return true;
}

}  // namespace

bool WriteAllToDescriptor(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, p + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string JoinPath(const std::string& folder, const std::string& below) {
  if (folder.empty()) return below;
  return folder.back() == '/' ? folder + below : folder + "/" + below;
}

// The rename is durable only once the directory entry is on disk; a failure
// here loses nothing that is not already visible, so it is not reported.
void SyncDirectory(const std::string& dir) {
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return;
  ::fsync(dfd);
  ::close(dfd);
}


bool CopyHandleToDescriptor(HANDLE source, int fd, std::uint64_t* copied) {
  std::uint64_t done = 0;
  if (copied) *copied = 0;
  auto object = LookupHandle(source);
  auto* file = dynamic_cast<FileObject*>(object.get());
  if (!file) return Fail(object ? EINVAL : EBADF);
  const bool ok = file->CopyTo(fd, done);
  if (copied) *copied = done;
  return ok;
}

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

// ------------------------------------------------------------ error classes

const DWORD kErrorNotFound = ENOENT;
const DWORD kErrorInvalidParameter = EINVAL;
const DWORD kErrorInsufficientBuffer = ENOBUFS;
const DWORD kErrorTimedOut = ETIMEDOUT;
const DWORD kErrorUnsupportedCall = ENOTTY;
const DWORD kErrorNullArgument = EFAULT;
const DWORD kErrorBadHandle = EBADF;
const DWORD kErrorBadAddress = EFAULT;
const DWORD kErrorDiskFull = ENOSPC;

ErrorClass ClassifyError(DWORD error) {
  switch (error) {
    case 0:
      return ErrorClass::None;
    case ENOENT:
      return ErrorClass::NotFound;
    case EBUSY:  // a refused flock, or a device another process has open
      return ErrorClass::SharingViolation;
    case EINTR:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EMFILE:
    case ENFILE:
    case ENOMEM:
      return ErrorClass::Transient;
    case ENOSPC:     // the printer drivers' "out of paper"
    case EIO:        // a status line says no; the status query tells which
    case ETIMEDOUT:  // the printer did not take data within the time-out
      return ErrorClass::PrinterState;
    default:
      // ENODEV, ENXIO (unplugged), EPIPE, ECONNRESET, EBADF, EACCES, ...
      return ErrorClass::Fatal;
  }
}

bool IsAccessDenied(DWORD error) {
  return error == EACCES || error == EPERM || error == EROFS;
}

// What OpenFile sets when it refuses something that is not a regular file.
bool IsNotAFile(DWORD error) { return error == EISDIR || error == ENODEV; }

HANDLE OpenFile(const std::string& path, Access access, ShareMode share,
                Disposition disposition) {
  if (path.empty()) {
    Fail(ENOENT);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition == Disposition::CreateAlways && access == Access::Read) {
    // Truncating needs write access to the descriptor we lock.
    Fail(EINVAL);
    return INVALID_HANDLE_VALUE;
  }
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  switch (access) {
    case Access::Read: flags |= O_RDONLY; break;
    case Access::Write: flags |= O_WRONLY; break;
    case Access::ReadWrite: flags |= O_RDWR; break;
  }
  // Never O_TRUNC here: a file someone holds must not lose its contents to
  // an open that is about to be refused. Truncation waits for the lock.
  if (disposition != Disposition::OpenExisting) flags |= O_CREAT;
  const int lockOp = (share == ShareMode::None ? LOCK_EX : LOCK_SH) | LOCK_NB;
  if (access != Access::Read) {
    if (int e = InjectedFault(FileFault::OpenForWriting, path)) {
      Fail(e);
      return INVALID_HANDLE_VALUE;
    }
  }

  // A replacement by rename between our open and our lock sends us round
  // again; a writer cannot outpace us forever, but bound it all the same.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    // O_NONBLOCK keeps the open of a FIFO from hanging before we can refuse it.
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0) {
      Fail(errno);
      return INVALID_HANDLE_VALUE;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      int e = errno;
      ::close(fd);
      Fail(e);
      return INVALID_HANDLE_VALUE;
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      Fail(S_ISDIR(st.st_mode) ? EISDIR : ENODEV);
      return INVALID_HANDLE_VALUE;
    }
    int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);

    int rc = LockDescriptor(fd, lockOp);
    if (rc != 0) {
      int e = errno;
      ::close(fd);
      Fail(e == EWOULDBLOCK ? static_cast<int>(ERROR_SHARING_VIOLATION_CODE) : e);
      return INVALID_HANDLE_VALUE;
    }

    struct stat now {};
    if (::stat(path.c_str(), &now) != 0 || !SameInode(st, now)) {
      ::close(fd);  // the path names another file by now: open that one
      continue;
    }

    if (disposition == Disposition::CreateAlways && st.st_size != 0) {
      if (::ftruncate(fd, 0) != 0) {
        int e = errno;
        ::close(fd);
        Fail(e);
        return INVALID_HANDLE_VALUE;
      }
    }
    return RegisterHandle(std::make_shared<FileObject>(fd, access, share, path));
  }
  Fail(EAGAIN);
  return INVALID_HANDLE_VALUE;
}

DWORD GetFileSize(HANDLE h) {
  auto object = LookupHandle(h);
  auto* file = dynamic_cast<FileObject*>(object.get());
  if (!file) {
    Fail(object ? EINVAL : EBADF);
    return INVALID_FILE_SIZE;
  }
  return file->Size();
}

bool SetFilePointer(HANDLE h, std::uint64_t offset) {
  auto object = LookupHandle(h);
  auto* file = dynamic_cast<FileObject*>(object.get());
  if (!file) return Fail(object ? EINVAL : EBADF);
  return file->Seek(offset);
}

bool DeleteFile(const std::string& path) {
  if (int e = InjectedFault(FileFault::DeleteFile, path)) return Fail(e);
  // As on the original platform, a file that someone holds open cannot be
  // deleted: take it with no sharing first, so that a driver still writing
  // a spool file never loses it under its feet.
  HANDLE h = OpenFile(path, Access::Read, ShareMode::None,
                      Disposition::OpenExisting);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    // Unreadable files can still be removed; everything else is final.
    if (e != EACCES) return false;
  }
  int rc = ::unlink(path.c_str());
  int e = errno;
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  if (rc != 0) return Fail(e);
  return true;
}

bool ReplaceFileContents(HANDLE h, const std::string& path, const void* data,
                         std::size_t size) {
  auto object = LookupHandle(h);
  FileObject* file = HeldFile(object);
  if (!file) return false;
  if (!data && size != 0) return Fail(EFAULT);

  const bool writable = file->writable();
  return file->WithExclusiveFd([&](int& fd) {
    struct stat st {};
    const std::string target = ResolveLinks(path);
    if (!NamesHeldFile(fd, target, st)) return false;  // `path` is not the held file

    // The whole-file replacement first: a crash leaves the old file or the
    // new one. Only when the folder or the disk refuses it (a sticky folder
    // may also let us create a file but not replace another user's), and we
    // hold the file for writing, does the rewrite happen in place.
    // Longer contents would need room the disk may not have, and a write
    // cut short there would leave the file damaged; those are not tried.
    const int refused = ReplaceBeside(fd, st, target, data, size);
    if (refused == 0) return true;
    if (!writable || !IsNoRoomBeside(refused) ||
        size > static_cast<std::size_t>(st.st_size))
      return Fail(refused);
    if (!RewriteInPlace(fd, target, data, size)) return Fail(errno);
    return true;
  });
}

WholeReplacement ReplaceFileWhole(HANDLE h, const std::string& path, const void* data,
                                  std::size_t size) {
  auto object = LookupHandle(h);
  FileObject* file = HeldFile(object);
  if (!file) return WholeReplacement::Failed;
  if (!data && size != 0) {
    Fail(EFAULT);
    return WholeReplacement::Failed;
  }
  int refused = EBADF;  // stays so when the handle is closed meanwhile
  const bool replaced = file->WithExclusiveFd([&](int& fd) {
    struct stat st {};
    const std::string target = ResolveLinks(path);
    refused = NamesHeldFile(fd, target, st) ? ReplaceBeside(fd, st, target, data, size)
                                            : static_cast<int>(t_lastError);
    return refused == 0;
  });
  if (replaced) return WholeReplacement::Replaced;
  Fail(refused);
  return IsNoRoomBeside(refused) ? WholeReplacement::NoNewFile : WholeReplacement::Failed;
}

bool OverwriteHeldRange(HANDLE h, std::uint64_t offset, const void* data, std::size_t size) {
  auto object = LookupHandle(h);
  FileObject* file = HeldFile(object);
  if (!file) return false;
  if (!file->writable()) return Fail(EBADF);
  if (!data && size != 0) return Fail(EFAULT);
  return file->WithExclusiveFd([&](int& fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Fail(errno);
    const auto length = static_cast<std::uint64_t>(st.st_size);
    if (offset > length || size > length - offset) return Fail(EINVAL);
    if (int e = InjectedFault(FileFault::RewriteInPlace, file->path())) return Fail(e);
    // pwrite leaves the position alone. A short write (a kill between two
    // pages, or a file system that wants room even to overwrite) is
    // carried on from where it stopped.
    const auto* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(fd, p + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail(errno);
      if (n == 0) return Fail(ENOSPC);
      done += static_cast<std::size_t>(n);
    }
    if (int e = InjectedFault(FileFault::SyncInPlace, file->path())) return Fail(e);
    if (::fsync(fd) != 0) return Fail(errno);
    return true;
  });
}

bool TruncateHeldFile(HANDLE h, std::uint64_t length) {
  auto object = LookupHandle(h);
  FileObject* file = HeldFile(object);
  if (!file) return false;
  if (!file->writable()) return Fail(EBADF);
  return file->WithExclusiveFd([&](int& fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Fail(errno);
    if (length > static_cast<std::uint64_t>(st.st_size)) return Fail(EINVAL);
    if (int e = InjectedFault(FileFault::TruncateInPlace, file->path())) return Fail(e);
    if (::ftruncate(fd, static_cast<off_t>(length)) != 0) return Fail(errno);
    if (int e = InjectedFault(FileFault::SyncInPlace, file->path())) return Fail(e);
    if (::fsync(fd) != 0) return Fail(errno);
    return true;
  });
}

bool WriteFileAtomically(const std::string& path, std::string_view data) {
  mode_t mode = 0600;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return Fail(S_ISDIR(st.st_mode) ? EISDIR : ENODEV);
    mode = st.st_mode & 07777;
  }
  std::string tempName;
  int fd = WriteTemporaryBeside(path, data.data(), data.size(), mode, tempName);
  if (fd < 0) return Fail(errno);
  if (::rename(tempName.c_str(), path.c_str()) != 0) {
    int e = errno;
    ::close(fd);
    ::unlink(tempName.c_str());
    return Fail(e);
  }
  ::close(fd);
  SyncDirectory(DirectoryOf(path));
  return true;
}


}  // namespace plat
