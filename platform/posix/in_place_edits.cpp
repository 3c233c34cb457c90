// Edits in place of a file held with no sharing, on POSIX systems: the
// rewrite from the start that ReplaceFileContents falls back on, and the
// holder's own steps that each leave the file sound (OverwriteHeldRange,
// TruncateHeldFile). None asks the disk for room the file does not take
// already; each syncs before it returns.
// Any thread. Each edit runs with the file's descriptor held exclusively
// (FileObject::WithExclusiveFd), so no read or write of it runs meanwhile.
#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/descriptor_io.h"
#include "platform/posix/file_object.h"

namespace plat {

// A kill between the write and the cut leaves the new contents followed by
// the old file's tail: fine for files whose readers take that, not for the
// queue file, which edits itself in place by OverwriteHeldRange instead.
bool RewriteInPlace(int fd, const std::string& path, const void* data, std::size_t size) {
  if (int e = InjectedFault(FileFault::RewriteInPlace, path)) return Fail(e);
  if (::lseek(fd, 0, SEEK_SET) != 0 || !WriteAllToDescriptor(fd, data, size)) return Fail(errno);
  if (int e = InjectedFault(FileFault::TruncateInPlace, path)) return Fail(e);
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) return Fail(errno);
  if (int e = InjectedFault(FileFault::SyncInPlace, path)) return Fail(e);
  if (::fsync(fd) != 0) return Fail(errno);
  return true;
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
    if (!WriteAllToDescriptorAt(fd, offset, data, size)) return Fail(errno);
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

}  // namespace plat
