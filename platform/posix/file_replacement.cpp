// Replacing a file whole on POSIX systems: a new file written beside it,
// synced, and renamed over it, so that a crash leaves the old file or the
// new one (ReplaceFileContents, ReplaceFileWhole, WriteFileAtomically).
// Where the folder or the disk refuses a new file, ReplaceFileContents falls
// back on the rewrite in place (in_place_edits.cpp).
// Any thread. A held file is replaced with its descriptor held exclusively
// (FileObject::WithExclusiveFd), so no read or write of it runs meanwhile.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/descriptor_io.h"
#include "platform/posix/file_locks.h"
#include "platform/posix/file_object.h"

namespace plat {
namespace {

// Writes `data` to a new temporary file beside `path`, with `mode`, synced
// to disk. Returns its descriptor (and name), or -1 with the last error set
// and nothing left behind.
int WriteTemporaryBeside(const std::string& path, const void* data,
                         std::size_t size, mode_t mode, std::string& tempName) {
  if (int e = InjectedFault(FileFault::CreateTemporary, path)) {
    Fail(e);
    return -1;
  }
  std::string tmpl = path + ".tmpXXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  int fd = ::mkostemp(buf.data(), O_CLOEXEC);
  if (fd < 0) {
    Fail(errno);
    return -1;
  }
  tempName = buf.data();
  auto abandon = [&](int e) {
    ::close(fd);
    ::unlink(tempName.c_str());
    Fail(e);
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
bool IsNoRoomBeside(DWORD error) {
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

// Replaces the file that `fd` holds (st: its status; target: the file its
// path names, links resolved) by a new one with `data`: a temporary beside
// it, synced, held with no sharing, renamed over it, the folder synced.
// `fd` then holds the new file at the position it had. False with the last
// error set by the step that failed, with the old file untouched and no
// temporary left.
bool ReplaceBeside(int& fd, const struct stat& st, const std::string& target,
                   const void* data, std::size_t size) {
  std::string tempName;
  int tfd = WriteTemporaryBeside(target, data, size, st.st_mode & 07777, tempName);
  if (tfd < 0) return false;
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
    return Fail(e);
  }
  if (InjectedFault(FileFault::SyncFolder, target) == 0) SyncDirectory(DirectoryOf(target));
  // The handle now holds the new file, at the position it had before.
  off_t pos = ::lseek(fd, 0, SEEK_CUR);
  if (pos > 0) ::lseek(tfd, pos, SEEK_SET);
  ::close(fd);
  fd = tfd;
  return true;
}

// Whether `target` (links resolved) still names the file `fd` holds.
bool NamesHeldFile(int fd, const std::string& target, struct stat& st) {
  if (::fstat(fd, &st) != 0) return Fail(errno);
  struct stat named {};
  if (::stat(target.c_str(), &named) != 0 || !SameInode(st, named)) return Fail(EINVAL);
  return true;
}

}  // namespace

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
    if (ReplaceBeside(fd, st, target, data, size)) return true;
    if (!writable || !IsNoRoomBeside(GetLastError()) ||
        size > static_cast<std::size_t>(st.st_size))
      return false;  // the refusal stays the last error
    return RewriteInPlace(fd, target, data, size);
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
  // A handle closed meanwhile fails with EBADF, which is no want of room.
  const bool replaced = file->WithExclusiveFd([&](int& fd) {
    struct stat st {};
    const std::string target = ResolveLinks(path);
    return NamesHeldFile(fd, target, st) && ReplaceBeside(fd, st, target, data, size);
  });
  if (replaced) return WholeReplacement::Replaced;
  return IsNoRoomBeside(GetLastError()) ? WholeReplacement::NoNewFile
                                        : WholeReplacement::Failed;
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
  if (fd < 0) return false;
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
