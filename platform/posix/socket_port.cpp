// A raw TCP printer (port 9100 style) as a port. The connection is made
// with a bounded time-out; writes are bounded by the write time-out, so a
// printer that stops reading shows as a stall (a partial write, no flag).
// A connection refused, or broken before it carried a byte, raises CE_IOE
// and the next write connects again (a printer that was off when the job
// started). One that breaks after it carried bytes of the stream is lost
// for good: the printer takes a new connection for a new job, so the rest
// of this one must not follow on another; writes then fail with CE_IOE
// until the port is closed. Replies are read from the same socket.
//
// What the printer has taken: the kernel's count of bytes not yet
// acknowledged (SIOCOUTQ); Drain half-closes, reads what the printer says
// to the end and waits for its close. The descriptor is closed without a
// reset (nothing left unread, no zero linger) unless the job was cancelled,
// when the reset is wanted: the kernel must not go on sending the rest of a
// job that will be printed again whole.
// Until Drain ends the stream the connection carries a zero linger, so that
// a close the system makes for us (the spooler killed or crashed in the
// middle of a job) resets it too: the printer learns that the job was cut
// instead of taking its first part for all of it. Drain and our own closes
// take the zero linger off first.
// Any thread; one thread at a time per port, except Close, which only wakes
// a waiting call (PolledPort); the descriptor is closed with the object.
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/socket_port.h"

namespace plat {
namespace {

// While the printer has closed its side and bytes are still unacknowledged
// nothing on the descriptor marks the moment they are (it reports hang-up
// at once): the drain looks at the count this often.
constexpr DWORD kAckTickMs = 10;
// What the close reads out at most of what the printer sent and nobody
// read: unread bytes make the kernel reset the connection.
constexpr std::size_t kDiscardLimit = 1 << 20;

class SocketPort final : public PolledPort {
 public:
  SocketPort(std::vector<sockaddr_storage> addrs, std::vector<socklen_t> lens,
             DWORD connectTimeoutMs)
      : addrs_(std::move(addrs)), lens_(std::move(lens)),
        connectTimeoutMs_(connectTimeoutMs) {}

  ~SocketPort() override { CloseConnection(); }

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
      if (rc == 0 && !closed()) {
        fd_ = fd;
        SetResetOnClose(true);
        return true;
      }
      lastError = rc == 0 ? EBADF : errno;
      ::close(fd);
      if (closed()) break;
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
    if (lost_) return FailLost();
    if (draining_) {  // the stream was ended: nothing may follow
      SetLastError(EPIPE);
      return false;
    }
    if (peerClosed_) {
      // The printer ended the connection; what we would send now cannot
      // reach it on this one.
      Broken(ECONNRESET);
      if (lost_) return false;
    }
    if (fd_ < 0 && !Connect(std::min(limit, connectTimeoutMs_))) return false;

    const auto* p = static_cast<const char*>(data);
    DWORD done = 0;
    while (done < size) {
      ssize_t n = ::send(fd_, p + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<DWORD>(n);
        carried_ = true;
        mayHoldTail_ = true;
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
    if (lost_) return FailLost();
    if (fd_ < 0) {
      Sleep(limit);  // nothing to hear until the next write reconnects
      return true;
    }
    const CallDeadline deadline(limit);
    PushHeldTail();
    for (;;) {
      ssize_t n = peerClosed_ ? 0 : ::recv(fd_, buffer, size, MSG_DONTWAIT);
      if (n > 0) {
        if (read) *read = static_cast<DWORD>(n);
        return true;
      }
      if (n == 0 && (size > 0 || peerClosed_)) {
        // The printer closed the connection. Until a write shows that more
        // was meant for it, it may have taken everything: the descriptor
        // stays for the delivery count.
        peerClosed_ = true;
        if (!carried_) {
          Broken(ECONNRESET);
        } else {
          Raise(CE_IOE);
          SetLastError(ECONNRESET);
        }
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
      // fetched only then. Hang-up alone is the end of a drained stream
      // (both sides closed) once we have half-closed.
      struct pollfd pfd = {fd_, 0, 0};
      if (::poll(&pfd, 1, 0) == 1 &&
          ((pfd.revents & POLLERR) || ((pfd.revents & POLLHUP) && !draining_))) {
        Broken(PendingError());
      }
    }
    errors = TakePending();
    return true;
  }

  bool DeviceIoControl(DWORD code, void* out, DWORD outSize, DWORD* returned) override {
    if (code != kCancelJobIoControl)
      return SettingsPort::DeviceIoControl(code, out, outSize, returned);
    if (returned) *returned = 0;
    // The job was given up and will be sent again from its first byte:
    // the close resets the connection instead of letting the kernel send
    // what it still holds.
    abortive_ = true;
    return true;
  }

  bool QueryDelivery(PortDelivery& delivery) override {
    if (fd_ >= 0) CheckPendingError();
    delivery = Delivery();
    return true;
  }

  bool Drain(DWORD waitMs, PortDelivery& delivery) override {
    const CallDeadline deadline(waitMs);
    if (!draining_) {
      draining_ = true;
      // The end of the job: the printer reads to it and closes its side.
      // The FIN then counts as one unacknowledged byte until it is.
      // From here the job is whole once acknowledged: not even a close the
      // system makes may reset it.
      if (fd_ >= 0 && !lost_) {
        SetResetOnClose(false);
        finQueued_ = ::shutdown(fd_, SHUT_WR) == 0;
      }
    }
    for (;;) {
      if (lost_ || fd_ < 0) break;
      // A reset after the printer's close no longer shows in a read (that
      // says end of stream): the pending error is looked at first.
      if (!CheckPendingError() || !DiscardReceived()) break;  // broken
      const PortDelivery now = Delivery();
      if (now.state == DeliveryState::Delivered) break;
      const DWORD left = deadline.LeftMs();
      if (left == 0) break;
      // Data, the printer's close or a reset wake the wait; once the
      // printer has closed only the acknowledgements are awaited, and they
      // wake nothing.
      const int rc = peerClosed_ ? (Sleep(std::min(left, kAckTickMs)) ? 0 : -1)
                                 : WaitFor(fd_, POLLIN, left);
      if (rc < 0) break;  // closed from another thread
    }
    delivery = Delivery();
    if (delivery.state == DeliveryState::Lost) {
      Raise(CE_IOE);
      SetLastError(static_cast<DWORD>(lostError_));
    }
    return true;
  }

 private:
  // Sends at once what Nagle's rule may be holding of the last writes:
  // turning TCP_NODELAY on pushes it, turning it off again keeps the rule
  // for the stream that follows.
  void PushHeldTail() {
    if (fd_ < 0 || !mayHoldTail_) return;
    mayHoldTail_ = false;
    int on = 1, off = 0;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off);
  }

  // What became of the stream, from what is known now.
  PortDelivery Delivery() const {
    if (lost_) return PortDelivery{DeliveryState::Lost, false, 0};
    // Never connected, or broken before it carried a byte: nothing was
    // given to the printer, so nothing is missing.
    if (fd_ < 0) return PortDelivery{DeliveryState::Delivered, true, 0};
    PortDelivery d;
    int queued = 0;
    if (::ioctl(fd_, SIOCOUTQ, &queued) == 0 && queued >= 0) {
      if (finQueued_ && queued > 0) --queued;  // the FIN is no job byte
      d.counted = true;
      d.unconfirmed = static_cast<DWORD>(queued);
    }
    if (!d.counted || d.unconfirmed > 0) {
      d.state = DeliveryState::Sending;
    } else {
      d.state = peerClosed_ ? DeliveryState::Delivered : DeliveryState::Acknowledged;
    }
    return d;
  }

  // Reads and drops what the printer sent; notes its close. False when
  // the connection broke (then it was handled as broken).
  bool DiscardReceived() {
    char scratch[4096];
    for (std::size_t total = 0; !peerClosed_ && total < kDiscardLimit;) {
      const ssize_t n = ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
      if (n > 0) {
        total += static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0) {
        peerClosed_ = true;
        break;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      Broken(errno);
      return false;
    }
    return true;
  }

  // Handles a reset or other error the socket holds; false when there was
  // one.
  bool CheckPendingError() {
    struct pollfd pfd = {fd_, 0, 0};
    if (::poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLERR)) {
      Broken(PendingError());
      return false;
    }
    return true;
  }

  int PendingError() const {
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    return err ? err : ECONNRESET;
  }

  // The connection broke. If it had carried bytes of the stream the rest
  // of the job has nowhere to go: lost until the port is closed. Otherwise
  // the next write connects again.
  void Broken(int error) {
    Raise(CE_IOE);
    SetLastError(static_cast<DWORD>(error));
    if (carried_) {
      lost_ = true;
      lostError_ = error;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    carried_ = false;
    mayHoldTail_ = false;
    peerClosed_ = false;
    finQueued_ = false;
  }

  bool FailLost() {
    Raise(CE_IOE);
    SetLastError(static_cast<DWORD>(lostError_));
    return false;
  }

  // With `reset`, closing the descriptor (ours or the system's at the
  // process's end) resets the connection and drops what the kernel still
  // holds; without it the close ends the stream in order.
  void SetResetOnClose(bool reset) {
    struct linger linger = {reset ? 1 : 0, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &linger, sizeof linger);
  }

  void CloseConnection() {
    if (fd_ < 0) return;
    SetResetOnClose(abortive_);
    if (!abortive_) DiscardReceived();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  const std::vector<sockaddr_storage> addrs_;
  const std::vector<socklen_t> lens_;
  const DWORD connectTimeoutMs_;
  // The rest belongs to the thread that uses the port (the destructor runs
  // after its last call).
  int fd_ = -1;
  // The last call on the port was a write that the socket took whole.
  bool tookWholeWrite_ = false;
  bool carried_ = false;     // the connection took bytes of the stream
  bool mayHoldTail_ = false; // written since the last push (PushHeldTail)
  bool peerClosed_ = false;  // the printer's end of stream was read
  bool lost_ = false;        // a connection that carried bytes broke
  int lostError_ = 0;
  bool draining_ = false;    // Drain ended the stream
  bool finQueued_ = false;   // our half-close is in the unacknowledged count
  bool abortive_ = false;    // the job was cancelled: close with a reset
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
