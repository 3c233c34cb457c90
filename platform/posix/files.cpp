// Files on POSIX systems: the file object behind a handle, the open with
// its sharing protocol, the file's size and position, deleting, and the
// joining of paths. The handle table and the retried open are the portable
// half's (platform/common/files.cpp); replacing a file is in
// file_replacement.cpp, editing a held one in place in in_place_edits.cpp,
// the copy onto a descriptor in descriptor_io.cpp, the last error and its
// classes in errors.cpp.
//
// Sharing between processes rests on flock(): LOCK_EX for "no sharing",
// LOCK_SH for "sharing read and write", both non-blocking, so a refused
// open reports a sharing violation at once and the caller decides how long
// to retry. Because a writer replaces a file by renaming a new one over it,
// a lock taken on an inode that the path no longer names protects nothing;
// every open therefore checks the path after locking and starts over.
// Any thread. Each file object guards its descriptor with a reader/writer
// lock so that CloseHandle from one thread never closes a descriptor under a
// read or write in another.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "platform/common/files_shared.h"
#include "platform/errors.h"
#include "platform/posix/file_locks.h"
#include "platform/posix/file_object.h"

namespace plat {

// ------------------------------------------------------------ file object

bool FileObject::Read(void* buffer, DWORD size, DWORD* bytesRead) {
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

bool FileObject::Write(const void* data, DWORD size, DWORD* bytesWritten) {
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

void FileObject::Close() {
  std::unique_lock<std::shared_mutex> g(mutex_);
  if (fd_ >= 0) {
    ::close(fd_);  // releases the flock with the last descriptor
    fd_ = -1;
  }
}

DWORD FileObject::Size() {
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

bool FileObject::Seek(std::uint64_t offset) {
  std::shared_lock<std::shared_mutex> g(mutex_);
  if (fd_ < 0) return Fail(EBADF);
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return Fail(EINVAL);
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return Fail(errno);
  return true;
}

FileObject* AsFile(const std::shared_ptr<HandleObject>& object) {
  auto* file = dynamic_cast<FileObject*>(object.get());
  if (!file) Fail(object ? EINVAL : EBADF);
  return file;
}

FileObject* HeldFile(const std::shared_ptr<HandleObject>& object) {
  FileObject* file = AsFile(object);
  if (file && file->share() != ShareMode::None) {
    Fail(EINVAL);
    return nullptr;
  }
  return file;
}

// ------------------------------------------------------------ paths

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

// ------------------------------------------------------------ opening

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
  FileObject* file = AsFile(object);
  if (!file) return INVALID_FILE_SIZE;
  return file->Size();
}

bool SetFilePointer(HANDLE h, std::uint64_t offset) {
  auto object = LookupHandle(h);
  FileObject* file = AsFile(object);
  if (!file) return false;
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

}  // namespace plat
