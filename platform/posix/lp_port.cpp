// The Linux printer device as a port (see lp_port.h).
// Any thread; one thread at a time per port, except Close.
#include "platform/posix/lp_port.h"

#include <fcntl.h>
#include <linux/lp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace plat {
namespace {

// After a refused write that poll() claims is writable again at once (the
// parallel port driver has no poll method and always says ready), wait this
// long before the next try instead of spinning.
constexpr DWORD kBusyBackoffMs = 5;

}  // namespace

DWORD LpStatusToCommErrors(int status) {
  if (status & kLpStatusPaperOut) return CE_OOP;
  if (!(status & kLpStatusSelected)) return CE_DNS;
  if (!(status & kLpStatusError)) return CE_IOE;
  return 0;
}

LpPort::LpPort(int fd) : fd_(fd) {
  int fl = ::fcntl(fd_, F_GETFL);
  if (fl >= 0) ::fcntl(fd_, F_SETFL, fl | O_NONBLOCK);
}

LpPort::~LpPort() { ::close(fd_); }

void LpPort::RaiseForError(int error) {
  if (error == ENOSPC) {
    Raise(CE_OOP);
    return;
  }
  if (ClassifyErrno(error) == ErrnoClass::Fatal) {
    gone_.store(true);
    Raise(CE_IOE);
    return;
  }
  // EIO and friends: the status lines say which; if they say nothing the
  // device still refused, which is a device error.
  int status = 0;
  if (::ioctl(fd_, LPGETSTATUS, &status) == 0) {
    DWORD flags = LpStatusToCommErrors(status);
    Raise(flags ? flags : CE_IOE);
  } else {
    Raise(CE_IOE);
  }
}

bool LpPort::Write(const void* data, DWORD size, DWORD* written) {
  const auto start = std::chrono::steady_clock::now();
  const DWORD limit = WriteLimitMs(size);
  const auto* p = static_cast<const char*>(data);
  DWORD done = 0;
  int refusals = 0;
  if (written) *written = 0;
  if (!Ready()) {
    SetLastError(EMFILE);
    return false;
  }

  while (done < size) {
    if (closed() || gone_.load()) {
      SetLastError(closed() ? EBADF : ENODEV);
      break;
    }
    ssize_t n = ::write(fd_, p + done, size - done);
    if (n > 0) {
      done += static_cast<DWORD>(n);
      lastWrite_ = static_cast<DWORD>(n);
      wrote_ = true;
      refusals = 0;
      continue;
    }
    const int e = n < 0 ? errno : EAGAIN;
    const DWORD used = ElapsedSince(start);
    if (ClassifyErrno(e) == ErrnoClass::Retry) {
      if (e == EINTR) continue;
      if (used >= limit) {
        SetLastError(ETIMEDOUT);
        break;
      }
      int rc = ++refusals > 1 ? (Sleep(std::min(kBusyBackoffMs, limit - used)) ? 0 : -1)
                              : WaitFor(fd_, POLLOUT, limit - used);
      if (rc < 0) {
        SetLastError(EBADF);
        break;
      }
      continue;
    }
    // The printer refused: raise its state and let the write time-out run
    // out as the port would, so that the engine's retries stay ~110 ms apart.
    RaiseForError(e);
    SetLastError(static_cast<DWORD>(e));
    if (!gone_.load() && used < limit) Sleep(limit - used);
    break;
  }
  if (written) *written = done;
  return done == size;
}

bool LpPort::Read(void* buffer, DWORD size, DWORD* read) {
  if (read) *read = 0;
  const DWORD limit = ReadLimitMs();
  if (closed()) {
    SetLastError(EBADF);
    return false;
  }
  if (noBackChannel_.load() || size == 0) {
    // Nothing will ever come; still take the time a read would, so a reply
    // loop polls at the pace it expects.
    Sleep(limit);
    return true;
  }
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    ssize_t n = ::read(fd_, buffer, size);
    if (n > 0) {
      if (read) *read = static_cast<DWORD>(n);
      return true;
    }
    const int e = n < 0 ? errno : EAGAIN;  // 0: nothing from the printer yet
    if (e == EINTR) continue;
    const DWORD used = ElapsedSince(start);
    if (ClassifyErrno(e) != ErrnoClass::Retry) {
      if (ClassifyErrno(e) == ErrnoClass::Fatal && e != EBADF && e != EINVAL) {
        gone_.store(true);
        Raise(CE_IOE);
        SetLastError(static_cast<DWORD>(e));
        return false;
      }
      // Opened write-only, or a port without a reverse mode: no back channel.
      noBackChannel_.store(true);
      if (used < limit) Sleep(limit - used);
      return true;
    }
    if (used >= limit) return true;
    // Some drivers report readable with nothing to read; do not spin on it.
    if (n == 0) {
      if (!Sleep(std::min(kBusyBackoffMs, limit - used))) return false;
      continue;
    }
    if (WaitFor(fd_, POLLIN, limit - used) < 0) return false;
  }
}

bool LpPort::ClearCommError(DWORD& errors) {
  errors = TakePending();
  if (gone_.load()) {
    errors |= CE_IOE;
    return true;
  }
  int status = 0;
  if (::ioctl(fd_, LPGETSTATUS, &status) == 0) errors |= LpStatusToCommErrors(status);
  return true;
}

PortDelivery LpPort::Look(DWORD ms) {
  if (!wrote_) return PortDelivery{DeliveryState::Delivered, true, 0};
  short revents = 0;
  const int rc = gone_.load() ? 1 : WaitFor(fd_, POLLOUT, ms, &revents);
  if (gone_.load() || (rc == 1 && (revents & (POLLHUP | POLLERR)))) {
    // Unplugged with a transfer perhaps in flight: what the printer had not
    // taken is gone with it.
    gone_.store(true);
    Raise(CE_IOE);
    SetLastError(ENODEV);
    return PortDelivery{DeliveryState::Lost, false, 0};
  }
  if (rc == 1) return PortDelivery{DeliveryState::Delivered, true, 0};
  // The transfer in flight is part of the last write.
  return PortDelivery{DeliveryState::Sending, true, lastWrite_};
}

bool LpPort::QueryDelivery(PortDelivery& delivery) {
  delivery = Look(0);
  return true;
}

bool LpPort::Drain(DWORD waitMs, PortDelivery& delivery) {
  delivery = Look(waitMs);
  return true;
}

std::shared_ptr<PortDevice> OpenLpPort(const std::string& path, DWORD& error) {
  const int common = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int fd = ::open(path.c_str(), O_RDWR | common);
  if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EINVAL)) {
    fd = ::open(path.c_str(), O_WRONLY | common);  // no back channel then
  }
  if (fd < 0) {
    error = static_cast<DWORD>(errno);
    return nullptr;
  }
  if (!ClaimDescriptor(fd, error)) {
    ::close(fd);
    return nullptr;
  }
  auto port = std::make_shared<LpPort>(fd);
  return port;
}

}  // namespace plat
