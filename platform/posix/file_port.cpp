// A plain file as a printer port: whatever is printed is appended to it.
// It is always ready, raises no printer flags and has nothing to say back,
// but a failed write (disk full, I/O error) is reported as a device error
// rather than swallowed, so the job does not count as printed.
// Any thread; one thread at a time per port, except Close.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/file_port.h"

namespace plat {
namespace {

class FilePort final : public PolledPort {
 public:
  explicit FilePort(int fd) : fd_(fd) {}
  ~FilePort() override { ::close(fd_); }

  bool Write(const void* data, DWORD size, DWORD* written) override {
    DWORD done = 0;
    const auto* p = static_cast<const char*>(data);
    while (done < size) {
      if (closed()) {
        SetLastError(EBADF);
        break;
      }
      ssize_t n = ::write(fd_, p + done, size - done);
      if (n > 0) {
        done += static_cast<DWORD>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      SetLastError(n < 0 ? static_cast<DWORD>(errno) : ENOSPC);
      Raise(CE_IOE);
      break;
    }
    if (written) *written = done;
    return done == size;
  }

  bool Read(void*, DWORD, DWORD* read) override {
    if (read) *read = 0;
    return true;
  }

  bool ClearCommError(DWORD& errors) override {
    errors = TakePending();
    return true;
  }

  bool QueryDelivery(PortDelivery& delivery) override {
    delivery = lost_ ? PortDelivery{DeliveryState::Lost, false, 0}
                     : PortDelivery{DeliveryState::Delivered, true, 0};
    return true;
  }

  // The job is on the disk once the sync says so. The sync takes as long as
  // the disk does (no time-out applies); a failed one is reported once by
  // the system, so it stays lost here.
  bool Drain(DWORD, PortDelivery& delivery) override {
    if (!lost_) {
      int rc;
      do {
        rc = ::fsync(fd_);
      } while (rc != 0 && errno == EINTR);
      if (rc != 0) {
        lost_ = true;
        lostError_ = errno;
      }
    }
    if (lost_) {
      Raise(CE_IOE);
      SetLastError(static_cast<DWORD>(lostError_));
    }
    return QueryDelivery(delivery);
  }

 private:
  const int fd_;
  // A sync failed. Only the thread that uses the port touches these.
  bool lost_ = false;
  int lostError_ = 0;
};

}  // namespace

std::shared_ptr<PortDevice> OpenFilePort(const std::string& path, bool mayCreate,
                                         DWORD& error) {
  int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY;
  if (mayCreate) flags |= O_CREAT;
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    error = static_cast<DWORD>(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    ::close(fd);
    return nullptr;
  }
  if (!ClaimDescriptor(fd, error)) {
    ::close(fd);
    return nullptr;
  }
  return MakeFilePort(fd);
}

std::shared_ptr<PortDevice> MakeFilePort(int fd) { return std::make_shared<FilePort>(fd); }

}  // namespace plat
