// Opening a resolved port name on POSIX systems; the descriptor-based
// device base (PolledPort) and the no-sharing claim that every device takes.
// Any thread.
#include "platform/port_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "platform/common/port_dispatch.h"
#include "platform/errors.h"
#include "platform/home.h"
#include "platform/posix/file_locks.h"
#include "platform/posix/file_port.h"
#include "platform/posix/lp_port.h"
#include "platform/posix/polled_port.h"
#include "platform/port_names.h"
#include "platform/posix/sim_port.h"
#include "platform/posix/socket_port.h"


namespace plat {
namespace {

// A device that is not a single inode we can lock (a TCP printer, the
// virtual printer's socket) is claimed through a lock file named after it in
// the run directory, so two spoolers cannot both hold it.
std::string LockFileName(const std::string& key) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "port-%016llx.lock",
                static_cast<unsigned long long>(HashPortKey(key)));
  return buf;
}

int ClaimByLockFile(const std::string& key, DWORD& error) {
  const std::string dir = RunDirectory();
  if (dir.empty()) {
    error = EACCES;
    return -1;
  }
  const std::string path = dir + "/" + LockFileName(key);
  // A start removes lock files nobody holds (platform/leftovers.h): a lock
  // taken on a file that was removed meanwhile claims nothing, so the name
  // must still lead to the locked file; otherwise open the new one.
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      error = static_cast<DWORD>(errno);
      return -1;
    }
    if (!ClaimDescriptor(fd, error)) {
      ::close(fd);
      return -1;
    }
    struct stat held {}, named {};
    if (::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      return fd;
    }
    ::close(fd);
  }
  error = ERROR_SHARING_VIOLATION_CODE;
  return -1;
}

}  // namespace

std::shared_ptr<PortDevice> OpenTargetDevice(const PortTarget& target, DWORD& error) {
  switch (target.kind) {
    case PortKind::None:
      error = target.error ? target.error : ENOENT;
      return nullptr;
    case PortKind::Path:
      return OpenPathPort(target.path, target.mayCreate, error);
    case PortKind::Socket:
    case PortKind::Sim: {
      int claim = ClaimByLockFile(target.Key(), error);
      if (claim < 0) return nullptr;
      std::shared_ptr<PortDevice> inner;
      if (target.kind == PortKind::Socket) {
        inner = OpenSocketPort(target.host, target.port, error);
      } else {
        inner = OpenSimPort(target.path, error);
      }
      if (!inner) {
        ::close(claim);
        return nullptr;
      }
      return MakeClaimedPort(std::move(inner), [claim] { ::close(claim); });
    }
  }
  error = ENOENT;
  return nullptr;
}

// ------------------------------------------------------------ errno classes

// Ports sort by the one classification: a device another process holds
// is, to the printer's user, a printer that does not take data for now.
ErrnoClass ClassifyErrno(int error) {
  switch (ClassifyError(static_cast<DWORD>(error))) {
    case ErrorClass::Transient:
      return ErrnoClass::Retry;
    case ErrorClass::SharingViolation:
    case ErrorClass::PrinterState:
      return ErrnoClass::PrinterState;
    default:
      return ErrnoClass::Fatal;
  }
}

bool ClaimDescriptor(int fd, DWORD& error) {
  if (LockDescriptor(fd, LOCK_EX | LOCK_NB) == 0) return true;
  error = errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION_CODE
                               : static_cast<DWORD>(errno);
  return false;
}

// ------------------------------------------------------------- PolledPort

PolledPort::PolledPort() { wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

PolledPort::~PolledPort() {
  if (wake_ >= 0) ::close(wake_);
}

void PolledPort::Close() {
  if (closed_.exchange(true)) return;
  if (wake_ >= 0) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
  }
  OnClose();
}

int PolledPort::WaitFor(int fd, short events, DWORD ms, short* revents) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (closed_.load()) {
      errno = EBADF;
      return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    // Round up so that a wait of 0.4 ms does not become a busy poll.
    const int timeout = left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
    struct pollfd fds[2] = {{fd, events, 0}, {wake_, POLLIN, 0}};
    const int nfds = fd >= 0 ? 2 : 1;
    struct pollfd* set = fd >= 0 ? fds : fds + 1;
    int rc = ::poll(set, static_cast<nfds_t>(nfds), timeout);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (closed_.load() || (fds[1].revents & POLLIN)) {
      errno = EBADF;
      return -1;
    }
    if (fd >= 0 && fds[0].revents != 0) {
      if (revents) *revents = fds[0].revents;
      return 1;
    }
    if (Clock::now() >= deadline) return 0;
  }
}

bool PolledPort::Sleep(DWORD ms) { return WaitFor(-1, 0, ms) == 0; }

// --------------------------------------------------------------- OpenPort

std::shared_ptr<PortDevice> OpenPathPort(const std::string& path, bool mayCreate,
                                         DWORD& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT && mayCreate) return OpenFilePort(path, true, error);
    error = static_cast<DWORD>(errno);
    return nullptr;
  }
  if (S_ISCHR(st.st_mode)) return OpenLpPort(path, error);
  if (S_ISREG(st.st_mode)) return OpenFilePort(path, mayCreate, error);
  error = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
  return nullptr;
}

}  // namespace plat
