// Opening ports by name and the communications calls on port handles; the
// descriptor-based device base (PolledPort) and the no-sharing claim that
// every device takes.
// Any thread. The replaceable opener is an atomic pointer; PolledPort
// guards its settings with its own mutex.
#include "platform/port_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "platform/errors.h"
#include "platform/home.h"
#include "platform/posix/file_port.h"
#include "platform/posix/lp_port.h"
#include "platform/posix/polled_port.h"
#include "platform/port_names.h"
#include "platform/posix/sim_port.h"
#include "platform/posix/socket_port.h"


namespace plat {
namespace {

std::atomic<PortOpener*> g_opener{nullptr};

std::shared_ptr<PortDevice> LookupPort(HANDLE h) {
  auto object = LookupHandle(h);
  auto port = std::dynamic_pointer_cast<PortDevice>(object);
  if (!port) SetLastError(object ? ENOTTY : EBADF);
  return port;
}

// A device that is not a single inode we can lock (a TCP printer, the
// virtual printer's socket) is claimed through a lock file named after it in
// the run directory, so two spoolers cannot both hold it.
class ClaimedPort final : public PortDevice {
 public:
  ClaimedPort(std::shared_ptr<PortDevice> inner, int claimFd)
      : inner_(std::move(inner)), claimFd_(claimFd) {}
  ~ClaimedPort() override {
    if (claimFd_ >= 0) ::close(claimFd_);
  }
  bool Read(void* b, DWORD s, DWORD* r) override { return inner_->Read(b, s, r); }
  bool Write(const void* d, DWORD s, DWORD* w) override {
    return inner_->Write(d, s, w);
  }
  void Close() override { inner_->Close(); }
  bool SetCommMask(DWORD m) override { return inner_->SetCommMask(m); }
  bool GetCommTimeouts(COMMTIMEOUTS& t) override { return inner_->GetCommTimeouts(t); }
  bool SetCommTimeouts(const COMMTIMEOUTS& t) override {
    return inner_->SetCommTimeouts(t);
  }
  bool ClearCommError(DWORD& e) override { return inner_->ClearCommError(e); }
  bool DeviceIoControl(DWORD c, void* o, DWORD s, DWORD* r) override {
    return inner_->DeviceIoControl(c, o, s, r);
  }

 private:
  std::shared_ptr<PortDevice> inner_;
  int claimFd_;
};

// FNV-1a: a stable name for the lock file whatever the key contains.
std::string LockFileName(const std::string& key) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : key) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char buf[40];
  std::snprintf(buf, sizeof buf, "port-%016llx.lock",
                static_cast<unsigned long long>(h));
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

std::shared_ptr<PortDevice> OpenTarget(const PortTarget& target, DWORD& error) {
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
      return std::make_shared<ClaimedPort>(std::move(inner), claim);
    }
  }
  error = ENOENT;
  return nullptr;
}

}  // namespace

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
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return true;
  error = errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION_CODE
                               : static_cast<DWORD>(errno);
  return false;
}

// ------------------------------------------------------------- PolledPort

PolledPort::PolledPort() { wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

PolledPort::~PolledPort() {
  if (wake_ >= 0) ::close(wake_);
}

bool PolledPort::SetCommMask(DWORD mask) {
  std::lock_guard<std::mutex> g(mutex_);
  mask_ = mask;
  return true;
}

bool PolledPort::GetCommTimeouts(COMMTIMEOUTS& timeouts) {
  std::lock_guard<std::mutex> g(mutex_);
  timeouts = timeouts_;
  return true;
}

bool PolledPort::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
  std::lock_guard<std::mutex> g(mutex_);
  timeouts_ = timeouts;
  return true;
}

bool PolledPort::DeviceIoControl(DWORD code, void*, DWORD, DWORD* returned) {
  if (returned) *returned = 0;
  if (code == kCancelJobIoControl) return true;
  SetLastError(ENOTTY);
  return false;
}

void PolledPort::Close() {
  if (closed_.exchange(true)) return;
  if (wake_ >= 0) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
  }
  OnClose();
}

DWORD PolledPort::WriteLimitMs(DWORD size) const {
  std::lock_guard<std::mutex> g(mutex_);
  const std::uint64_t limit =
      static_cast<std::uint64_t>(timeouts_.WriteTotalTimeoutMultiplier) * size +
      timeouts_.WriteTotalTimeoutConstant;
  if (limit == 0) return kUnsetWriteWaitMs;
  return limit > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(limit);
}

DWORD PolledPort::ReadLimitMs() const {
  std::lock_guard<std::mutex> g(mutex_);
  // The multiplier would scale with the buffer size; replies are short and
  // the engine never sets it, so only the constant counts.
  return timeouts_.ReadTotalTimeoutConstant;
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

HANDLE OpenPort(const std::string& name) {
  DWORD error = 0;
  std::shared_ptr<PortDevice> device;
  if (PortOpener* opener = g_opener.load()) {
    device = opener->Open(name, error);
  } else {
    device = OpenTarget(ResolvePortName(name), error);
  }
  if (!device) {
    SetLastError(error ? error : ENOENT);
    return INVALID_HANDLE_VALUE;
  }
  return RegisterHandle(std::move(device));
}

void SetPortOpener(PortOpener* opener) { g_opener.store(opener); }

bool SetCommMask(HANDLE port, DWORD mask) {
  auto p = LookupPort(port);
  return p && p->SetCommMask(mask);
}

bool GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts) {
  auto p = LookupPort(port);
  if (!p) return false;
  if (!timeouts) {
    SetLastError(EFAULT);
    return false;
  }
  return p->GetCommTimeouts(*timeouts);
}

bool SetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts) {
  auto p = LookupPort(port);
  if (!p) return false;
  if (!timeouts) {
    SetLastError(EFAULT);
    return false;
  }
  return p->SetCommTimeouts(*timeouts);
}

bool ClearCommError(HANDLE port, DWORD* errors) {
  if (errors) *errors = 0;
  auto p = LookupPort(port);
  if (!p) return false;
  DWORD flags = 0;
  const bool ok = p->ClearCommError(flags);
  if (errors) *errors = flags;
  return ok;
}

bool DeviceIoControl(HANDLE port, DWORD code, void* out, DWORD outSize,
                     DWORD* returned) {
  if (returned) *returned = 0;
  auto p = LookupPort(port);
  return p && p->DeviceIoControl(code, out, outSize, returned);
}

}  // namespace plat
