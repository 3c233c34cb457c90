// Whole-buffer writes to a descriptor and the copy of a file handle's bytes
// onto a descriptor, inside the kernel where the file systems allow it
// (platform/posix/descriptor_io.h).
// Any thread; each call works on the descriptors it is given, and the copy
// holds the source file object shared like a read.
#include "platform/posix/descriptor_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/posix/file_object.h"

namespace plat {
namespace {

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

// Writes what is left of `size` bytes by `step(done)` (one write(2) or
// pwrite(2) of the bytes from `done` on), carrying on over partial writes
// and signals; a write that takes nothing means the disk is full.
template <typename Step>
bool WriteAllBy(std::size_t size, Step step) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = step(done);
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

// Milliseconds from now to `deadline`, 0 once it has passed, for poll(2).
int MsLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - std::chrono::steady_clock::now())
                  .count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

}  // namespace

bool WriteAllToDescriptor(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  return WriteAllBy(size, [&](std::size_t done) { return ::write(fd, p + done, size - done); });
}

bool WriteAllToDescriptorAt(int fd, std::uint64_t offset, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  return WriteAllBy(size, [&](std::size_t done) {
    return ::pwrite(fd, p + done, size - done, static_cast<off_t>(offset + done));
  });
}

int WriteAllToSocketBy(int fd, const void* data, std::size_t size,
                       std::chrono::steady_clock::time_point deadline) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd ready{fd, POLLOUT, 0};
      const int r = ::poll(&ready, 1, MsLeft(deadline));
      if (r == 0) return ETIMEDOUT;
      if (r < 0 && errno != EINTR) return errno;
      continue;  // room, or hung up: the next send says which
    }
    return n < 0 ? errno : EPIPE;
  }
  return 0;
}

bool CopyHandleToDescriptor(HANDLE source, int fd, std::uint64_t* copied) {
  std::uint64_t done = 0;
  if (copied) *copied = 0;
  auto object = LookupHandle(source);
  FileObject* file = AsFile(object);
  if (!file) return false;
  const bool ok = file->WithReadableFd([&](int in) { return CopyDescriptor(in, fd, done); });
  if (copied) *copied = done;
  return ok;
}

}  // namespace plat
