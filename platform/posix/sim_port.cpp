// The "sim:PATH" client port: talks to a kelvane-printer over a Unix socket.
// One call at a time per device plus Close from any thread; see sim_port.h.
#include "platform/posix/sim_port.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/posix/descriptor_io.h"
#include "platform/posix/polled_port.h"

namespace plat {

namespace simwire {

void PutU32(unsigned char* out, DWORD value) {
  out[0] = static_cast<unsigned char>(value >> 24);
  out[1] = static_cast<unsigned char>(value >> 16);
  out[2] = static_cast<unsigned char>(value >> 8);
  out[3] = static_cast<unsigned char>(value);
}

DWORD GetU32(const unsigned char* in) {
  return (DWORD{in[0]} << 24) | (DWORD{in[1]} << 16) | (DWORD{in[2]} << 8) |
         DWORD{in[3]};
}

}  // namespace simwire

namespace {

// How long past its own wait an answer may take before we call the printer
// gone. Generous: the tool may be busy with a control command.
constexpr int kAnswerGraceMs = 3000;
constexpr int kGreetingMs = 2000;

using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - SteadyClock::now())
                  .count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Waits for `events` on fd until the deadline. 0 when ready, else an errno.
int WaitFor(int fd, short events, SteadyClock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, MsLeft(deadline));
    if (r > 0) return 0;  // ready, or hung up: the next call says which
    if (r == 0) return ETIMEDOUT;
    if (errno != EINTR) return errno;
  }
}

int RecvExact(int fd, void* buffer, std::size_t size,
              SteadyClock::time_point deadline) {
  char* p = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t n = ::recv(fd, p, size, MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return ECONNRESET;  // the printer hung up
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (int e = WaitFor(fd, POLLIN, deadline)) return e;
      continue;
    }
    return errno;
  }
  return 0;
}

DWORD TotalTimeout(DWORD multiplier, DWORD constant, DWORD size) {
  std::uint64_t total =
      static_cast<std::uint64_t>(multiplier) * size + constant;
  return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(total);
}

// The wait to ask of the printer for the next request: what is left of the
// call's time-out, at most kMaxWaitMs. `expired` when it has passed.
DWORD NextWait(DWORD limit, DWORD start, bool& expired) {
  expired = false;
  DWORD elapsed = GetTickCount() - start;
  if (elapsed >= limit) {
    expired = true;
    return 0;
  }
  return std::min(limit - elapsed, simwire::kMaxWaitMs);
}

// Connects to the printer at `socketPath` and greets it: the descriptor, or
// -1 with `error` set.
int ConnectSim(const std::string& socketPath, DWORD& error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof addr.sun_path) {
    error = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = static_cast<DWORD>(errno);
    return -1;
  }
  int r;
  do {
    r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    error = static_cast<DWORD>(errno);
    ::close(fd);
    return -1;
  }
  const auto deadline =
      SteadyClock::now() + std::chrono::milliseconds(kGreetingMs);
  char answer = 0;
  // A busy printer answers 'B' and hangs up, perhaps before our greeting
  // is out: its answer counts more than a failed send.
  int sent = simwire::SendAll(fd, simwire::kHello, sizeof simwire::kHello, deadline);
  int e = RecvExact(fd, &answer, 1, deadline);
  if (!e && sent) e = sent;
  if (!e && answer == simwire::kBusy) e = EBUSY;
  if (!e && answer != simwire::kAccepted) e = EPROTO;
  if (e) {
    error = static_cast<DWORD>(e == ECONNRESET || e == EPIPE ? EBUSY : e);
    ::close(fd);
    return -1;
  }
  error = 0;
  return fd;
}

class SimPortDevice final : public PortDevice {
 public:
  SimPortDevice(int fd, std::string socketPath) : fd_(fd), socketPath_(std::move(socketPath)) {}
  ~SimPortDevice() override { ::close(fd_); }

  bool Write(const void* data, DWORD size, DWORD* written) override {
    if (written) *written = 0;
    if (!Usable()) return false;
    COMMTIMEOUTS t = CurrentTimeouts();
    DWORD limit = TotalTimeout(t.WriteTotalTimeoutMultiplier,
                               t.WriteTotalTimeoutConstant, size);
    // A share's port has no time-out; a stalled printer must not hold the
    // call (and with it Cancel Print) for good.
    if (limit == 0) limit = kUnsetWriteWaitMs;
    const DWORD start = GetTickCount();
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    DWORD moved = 0;
    while (moved < size) {
      bool expired = false;
      const DWORD wait = NextWait(limit, start, expired);
      if (expired) {
        SetLastError(ETIMEDOUT);
        return false;
      }
      const DWORD chunk = std::min(size - moved, simwire::kMaxChunk);
      unsigned char head[9];
      head[0] = simwire::kWrite;
      simwire::PutU32(head + 1, wait);
      simwire::PutU32(head + 5, chunk);
      unsigned char answer[5];
      const auto deadline =
          SteadyClock::now() + std::chrono::milliseconds(wait + kAnswerGraceMs);
      int e = simwire::SendAll(fd_, head, sizeof head, deadline);
      if (!e) e = simwire::SendAll(fd_, bytes + moved, chunk, deadline);
      if (!e) e = RecvExact(fd_, answer, sizeof answer, deadline);
      if (!e && (answer[0] != simwire::kWriteAnswer ||
                 simwire::GetU32(answer + 1) > chunk)) {
        e = EPROTO;
      }
      if (e) return Fail(e);
      moved += simwire::GetU32(answer + 1);
      if (written) *written = moved;
      if (closed_.load()) {
        SetLastError(ECANCELED);
        return false;
      }
    }
    return true;
  }

  bool Read(void* buffer, DWORD size, DWORD* read) override {
    if (read) *read = 0;
    if (!Usable()) return false;
    if (size == 0) return true;
    COMMTIMEOUTS t = CurrentTimeouts();
    const DWORD limit = TotalTimeout(t.ReadTotalTimeoutMultiplier,
                                     t.ReadTotalTimeoutConstant, size);
    const DWORD start = GetTickCount();
    const DWORD max = std::min(size, simwire::kMaxChunk);
    for (;;) {
      // With no read time-out the printer is asked once, without a wait, as
      // the other ports look once; nothing to say within the time-out is a
      // successful empty read.
      bool expired = false;
      const DWORD wait = limit == 0 ? 0 : NextWait(limit, start, expired);
      if (expired) return true;
      unsigned char request[9];
      request[0] = simwire::kRead;
      simwire::PutU32(request + 1, wait);
      simwire::PutU32(request + 5, max);
      unsigned char answer[5];
      const auto deadline =
          SteadyClock::now() + std::chrono::milliseconds(wait + kAnswerGraceMs);
      int e = simwire::SendAll(fd_, request, sizeof request, deadline);
      if (!e) e = RecvExact(fd_, answer, sizeof answer, deadline);
      if (!e && (answer[0] != simwire::kReadAnswer ||
                 simwire::GetU32(answer + 1) > max)) {
        e = EPROTO;
      }
      const DWORD n = e ? 0 : simwire::GetU32(answer + 1);
      if (!e && n > 0) e = RecvExact(fd_, buffer, n, deadline);
      if (e) return Fail(e);
      if (n > 0) {
        if (read) *read = n;
        return true;
      }
      if (limit == 0) return true;
      if (closed_.load()) {
        SetLastError(ECANCELED);
        return false;
      }
    }
  }

  void Close() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closed_.exchange(true)) ::shutdown(fd_, SHUT_RDWR);
  }

  // Every write's answer says what the printer took, so nothing written is
  // ever unconfirmed. A connection that broke is not Lost either: the
  // printer kept every byte it said it took and goes on with the next one
  // when it is reached again, as a parallel printer does when its cable
  // is plugged in again (see ClearCommError).
  bool QueryDelivery(PortDelivery& delivery) override {
    delivery = PortDelivery{DeliveryState::Delivered, true, 0};
    return true;
  }

  // Ends the stream (a half-close: the printer hangs up when it reads the
  // end) and waits for the printer to hang up. Until it has, every byte is
  // acknowledged but its side is still open.
  bool Drain(DWORD waitMs, PortDelivery& delivery) override {
    delivery = PortDelivery{DeliveryState::Delivered, true, 0};
    if (!drained_) {
      drained_ = true;
      if (!broken_) ::shutdown(fd_, SHUT_WR);
    }
    // A broken connection has nothing to end: the printer took what the
    // answers said and the rest was never written.
    if (broken_ || hungUp_) return true;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
      char scratch[256];
      const ssize_t n = ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
      if (closed_.load()) break;
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
        hungUp_ = true;
        return true;
      }
      if (n > 0 || errno == EINTR) continue;  // nothing is asked: drop it
      if (WaitFor(fd_, POLLIN, deadline) != 0) break;
    }
    delivery.state = DeliveryState::Acknowledged;
    return true;
  }

  bool SetCommMask(DWORD mask) override {
    if (closed_.load()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    mask_ = mask;
    return true;
  }

  bool GetCommTimeouts(COMMTIMEOUTS& timeouts) override {
    if (closed_.load()) return false;
    timeouts = CurrentTimeouts();
    return true;
  }

  bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) override {
    if (closed_.load()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    timeouts_ = timeouts;
    return true;
  }

  // A lost connection is reported as the device's I/O error, so that the
  // engine tells the user the printer went away rather than waiting on it.
  bool ClearCommError(DWORD& errors) override {
    errors = 0;
    if (closed_.load()) {
      SetLastError(EBADF);
      return false;
    }
    // The stream was ended: there is nobody left to ask.
    if (drained_) return true;
    // A printer that went away (unplugged, restarted) may be back: the
    // query before the next write connects again, as a cable plugged in
    // again would, so that "Ignore" goes on with the job.
    if (broken_ && !Reconnect()) {
      errors = CE_IOE;
      return true;
    }
    unsigned char answer[5];
    const auto deadline =
        SteadyClock::now() + std::chrono::milliseconds(kAnswerGraceMs);
    const char request = simwire::kFlags;
    int e = simwire::SendAll(fd_, &request, 1, deadline);
    if (!e) e = RecvExact(fd_, answer, sizeof answer, deadline);
    if (!e && answer[0] != simwire::kFlagsAnswer) e = EPROTO;
    if (e) {
      if (closed_.load()) {
        SetLastError(ECANCELED);
        return false;
      }
      Fail(e);
      errors = CE_IOE;
      return true;
    }
    errors = simwire::GetU32(answer + 1);
    return true;
  }

  bool DeviceIoControl(DWORD code, void*, DWORD, DWORD* returned) override {
    if (returned) *returned = 0;
    if (closed_.load()) {
      SetLastError(EBADF);
      return false;
    }
    // Nothing of a cancelled job is buffered here to drop.
    if (code != kCancelJobIoControl) {
      SetLastError(ENOTTY);
      return false;
    }
    return true;
  }

 private:
  bool Usable() {
    if (closed_.load()) {
      SetLastError(EBADF);
      return false;
    }
    if (drained_) {  // nothing may follow the end of the stream
      SetLastError(EPIPE);
      return false;
    }
    if (broken_) {
      SetLastError(EIO);
      return false;
    }
    return true;
  }

  // A new connection in place of a broken one. The calling thread only;
  // Close() from another thread takes mutex_ around the descriptor.
  bool Reconnect() {
    DWORD error = 0;
    const int fd = ConnectSim(socketPath_, error);
    if (fd < 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_.load()) {
      ::close(fd);
      return false;
    }
    ::close(fd_);
    fd_ = fd;
    broken_ = false;
    return true;
  }

  // After a failed exchange the stream may be out of step: the device is
  // of no use until it has connected again.
  bool Fail(int error) {
    broken_ = true;
    SetLastError(closed_.load() ? ECANCELED : static_cast<DWORD>(error));
    return false;
  }

  COMMTIMEOUTS CurrentTimeouts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeouts_;
  }

  int fd_;  // changed only by the calling thread, under mutex_
  const std::string socketPath_;
  std::atomic<bool> closed_{false};
  // Only the calling thread touches these.
  bool broken_ = false;
  bool drained_ = false;  // the stream was ended by Drain
  bool hungUp_ = false;   // and the printer has hung up since
  std::mutex mutex_;     // guards mask_, timeouts_ and a change of fd_
  DWORD mask_ = 0;
  COMMTIMEOUTS timeouts_;
};

}  // namespace

std::shared_ptr<PortDevice> OpenSimPort(const std::string& socketPath,
                                        DWORD& error) {
  const int fd = ConnectSim(socketPath, error);
  if (fd < 0) return nullptr;
  return std::make_shared<SimPortDevice>(fd, socketPath);
}

int simwire::SendAll(int fd, const void* data, std::size_t size,
                     std::chrono::steady_clock::time_point deadline) {
  return WriteAllToSocketBy(fd, data, size, deadline);
}

}  // namespace plat
