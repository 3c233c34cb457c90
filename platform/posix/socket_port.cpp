// A raw TCP printer (port 9100 style) as a port. The connection is made
// with a bounded time-out; writes are bounded by the write time-out, so a
// printer that stops reading shows as a stall (a partial write, no flag);
// a refused or broken connection raises CE_IOE and the next write tries to
// connect again. Replies are read from the same socket.
// Any thread; one thread at a time per port, except Close. fdMutex_ guards
// the swap of the descriptor against Close's shutdown.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/posix/socket_port.h"

namespace plat {
namespace {

class SocketPort final : public PolledPort {
 public:
  SocketPort(std::vector<sockaddr_storage> addrs, std::vector<socklen_t> lens,
             DWORD connectTimeoutMs)
      : addrs_(std::move(addrs)), lens_(std::move(lens)),
        connectTimeoutMs_(connectTimeoutMs) {}

  ~SocketPort() override {
    if (fd_ >= 0) ::close(fd_);
  }

  // Connects, trying each address in turn within `ms`. On failure the port
  // stays unconnected and CE_IOE is raised.
  bool Connect(DWORD ms) {
    const CallDeadline deadline(ms);
    int lastError = ECONNREFUSED;
    for (std::size_t i = 0; i < addrs_.size(); ++i) {
      const DWORD left = deadline.LeftMs();
      if (left == 0 || closed()) break;
      int fd = ::socket(addrs_[i].ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) {
        lastError = errno;
        continue;
      }
      int one = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addrs_[i]), lens_[i]);
      if (rc != 0 && errno == EINPROGRESS) {
        short revents = 0;
        rc = WaitFor(fd, POLLOUT, left, &revents);
        if (rc == 1) {
          int err = 0;
          socklen_t len = sizeof err;
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
          rc = err == 0 ? 0 : -1;
          errno = err;
        } else {
          if (rc == 0) errno = ETIMEDOUT;
          rc = -1;
        }
      }
      if (rc == 0) {
        std::lock_guard<std::mutex> g(fdMutex_);
        if (closed()) {
          ::close(fd);
          break;
        }
        fd_ = fd;
        return true;
      }
      lastError = errno;
      ::close(fd);
    }
    Raise(CE_IOE);
    SetLastError(static_cast<DWORD>(lastError));
    return false;
  }

  bool Write(const void* data, DWORD size, DWORD* written) override {
    if (written) *written = 0;
    tookWholeWrite_ = false;
    const DWORD limit = WriteLimitMs(size);
    const CallDeadline deadline(limit);
    if (closed()) {
      SetLastError(EBADF);
      return false;
    }
    if (fd_ < 0 && !Connect(std::min(limit, connectTimeoutMs_))) return false;

    const auto* p = static_cast<const char*>(data);
    DWORD done = 0;
    while (done < size) {
      ssize_t n = ::send(fd_, p + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<DWORD>(n);
        continue;
      }
      const int e = n < 0 ? errno : EAGAIN;
      if (ClassifyErrno(e) == ErrnoClass::Retry) {
        if (e == EINTR) continue;
        const DWORD left = deadline.LeftMs();
        // A printer that stops reading: hand back what it took, no flag.
        if (left == 0) {
          SetLastError(ETIMEDOUT);
          break;
        }
        if (WaitFor(fd_, POLLOUT, left) < 0) {
          SetLastError(EBADF);
          break;
        }
        continue;
      }
      Broken(e);
      break;
    }
    if (written) *written = done;
    tookWholeWrite_ = done == size && fd_ >= 0;
    return done == size;
  }

  bool Read(void* buffer, DWORD size, DWORD* read) override {
    if (read) *read = 0;
    tookWholeWrite_ = false;
    const DWORD limit = ReadLimitMs();
    if (closed()) {
      SetLastError(EBADF);
      return false;
    }
    if (fd_ < 0) {
      Sleep(limit);  // nothing to hear until the next write reconnects
      return true;
    }
    const CallDeadline deadline(limit);
    for (;;) {
      ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
      if (n > 0) {
        if (read) *read = static_cast<DWORD>(n);
        return true;
      }
      if (n == 0 && size > 0) {  // the printer closed the connection
        Broken(ECONNRESET);
        return false;
      }
      const int e = n < 0 ? errno : EAGAIN;
      if (e == EINTR) continue;
      if (ClassifyErrno(e) != ErrnoClass::Retry) {
        Broken(e);
        return false;
      }
      const DWORD left = deadline.LeftMs();
      if (left == 0) return true;
      if (WaitFor(fd_, POLLIN, left) < 0) return false;
    }
  }

  bool ClearCommError(DWORD& errors) override {
    // A reset that arrived while we were not writing shows here. After a
    // write that the socket took whole there is nothing to look for: a
    // reset since then fails the next write or read, which raises CE_IOE
    // itself, so the query before every block of a job costs no call.
    if (fd_ >= 0 && !tookWholeWrite_) {
      // A pending socket error makes poll report POLLERR; its number is
      // fetched only then.
      struct pollfd pfd = {fd_, 0, 0};
      if (::poll(&pfd, 1, 0) == 1 && (pfd.revents & (POLLERR | POLLHUP))) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        Broken(err ? err : ECONNRESET);
      }
    }
    errors = TakePending();
    return true;
  }

 protected:
  void OnClose() override {
    std::lock_guard<std::mutex> g(fdMutex_);
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  }

 private:
  void Broken(int error) {
    Raise(CE_IOE);
    SetLastError(static_cast<DWORD>(error));
    std::lock_guard<std::mutex> g(fdMutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  const std::vector<sockaddr_storage> addrs_;
  const std::vector<socklen_t> lens_;
  const DWORD connectTimeoutMs_;
  std::mutex fdMutex_;
  // Written only by the thread that uses the port (under fdMutex_); read
  // by Close under fdMutex_.
  int fd_ = -1;
  // The last call on the port was a write that the socket took whole. Only
  // the thread that uses the port touches it.
  bool tookWholeWrite_ = false;
};

}  // namespace

std::shared_ptr<PortDevice> OpenSocketPort(const std::string& host,
                                           std::uint16_t port, DWORD& error,
                                           DWORD connectTimeoutMs) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0 || !list) {
    error = rc == EAI_SYSTEM ? static_cast<DWORD>(errno) : ENXIO;
    return nullptr;
  }
  std::vector<sockaddr_storage> addrs;
  std::vector<socklen_t> lens;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    sockaddr_storage ss{};
    std::memcpy(&ss, ai->ai_addr, ai->ai_addrlen);
    addrs.push_back(ss);
    lens.push_back(ai->ai_addrlen);
  }
  ::freeaddrinfo(list);
  if (addrs.empty()) {
    error = ENXIO;
    return nullptr;
  }
  auto device = std::make_shared<SocketPort>(std::move(addrs), std::move(lens),
                                             connectTimeoutMs);
  // A printer that is off or refuses still gives a port: the engine then
  // hears CE_IOE and asks the user, and the next write connects again.
  device->Connect(connectTimeoutMs);
  return device;
}

}  // namespace plat
