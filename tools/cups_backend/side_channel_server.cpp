// The side channel's server thread (side_channel_server.h).
// Backend process: the constructor and destructor on the main thread, the
// setters on any thread, Serve() on the server's own.
#include "tools/cups_backend/side_channel_server.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <system_error>
#include <vector>

namespace cupsbackend {

namespace {

// How long a response may wait for room in the socket: the print
// service's own backends give their writes one second. Ours are five bytes
// at most, so only an asker that never reads its answers fills it.
constexpr int kSendWaitMs = 1000;

bool IsSocket(int fd) {
  struct stat st {};
  return fd >= 0 && ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

SideChannelServer::SideChannelServer(int fd) : fd_(fd) {
  if (!IsSocket(fd_)) return;
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    wake_[0] = wake_[1] = -1;
    return;
  }
  // The thread inherits the mask it is started with: a cancel never lands
  // on it, not even before it runs.
  sigset_t cancel, previous;
  sigemptyset(&cancel);
  sigaddset(&cancel, SIGTERM);
  sigaddset(&cancel, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &cancel, &previous);
  try {
    thread_ = std::thread(&SideChannelServer::Serve, this);
  } catch (const std::system_error&) {
    // No thread: the requests time out, as they did before there was one.
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

SideChannelServer::~SideChannelServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (snapshot_.end == SideChannelJobEnd::Running) snapshot_.end = SideChannelJobEnd::NotPrinted;
    stopping_ = true;
  }
  Wake();
  if (thread_.joinable()) thread_.join();
  if (wake_[0] >= 0) ::close(wake_[0]);
  if (wake_[1] >= 0) ::close(wake_[1]);
}

void SideChannelServer::SetPrinterState(const std::set<std::string>& reasons, bool printing) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_.reasons = reasons;
    snapshot_.printing = printing;
  }
  // The state is read when a request comes: nothing waits on it.
}

void SideChannelServer::EndJob(bool printed) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_.end = printed ? SideChannelJobEnd::Printed : SideChannelJobEnd::NotPrinted;
  }
  Wake();
}

void SideChannelServer::Wake() {
  if (wake_[1] < 0) return;
  const char byte = 1;
  // A full pipe already holds a wake-up the thread has not read.
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
}

// The print service makes the socket non-blocking: a response that does
// not fit waits for room, for a while.
void SideChannelServer::Send(const std::string& message) {
  std::size_t done = 0;
  while (done < message.size()) {
    const ssize_t n =
        ::send(fd_, message.data() + done, message.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd room {fd_, POLLOUT, 0};
      if (::poll(&room, 1, kSendWaitMs) <= 0) return;
    } else {
      return;  // the asker is gone
    }
  }
}

void SideChannelServer::Serve() {
  std::vector<char> buffer(kSideChannelMaxMessage);
  std::vector<SideChannelRequest> waiting;  // drains asked before the job ended
  bool open = true;  // someone still holds the other end
  const auto snapshot = [this](bool* stopping) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping) *stopping = stopping_;
    return snapshot_;
  };
  for (;;) {
    // A negative descriptor is passed over: after the other end closed,
    // only the wake-ups are waited for.
    struct pollfd fds[2] = {{wake_[0], POLLIN, 0}, {open ? fd_ : -1, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    bool stopping = false;
    const SideChannelSnapshot now = snapshot(&stopping);
    for (auto it = waiting.begin(); it != waiting.end();) {
      const SideChannelAnswer answer = AnswerSideChannelRequest(*it, now);
      if (answer.when == SideChannelAnswer::When::AtJobEnd) {
        ++it;
        continue;
      }
      if (answer.when == SideChannelAnswer::When::Now)
        Send(EncodeSideChannelResponse(it->command, answer.status, answer.data));
      it = waiting.erase(it);
    }
    if (stopping) return;
    if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;

    // libcups writes a message with one write(2) and reads one with one
    // read(2); requests that came together are taken one by one.
    const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) {
      open = false;
      continue;
    }
    std::string_view rest(buffer.data(), static_cast<std::size_t>(got));
    SideChannelRequest request;
    while (const std::size_t used = DecodeSideChannelRequest(rest, request)) {
      rest.remove_prefix(used);
      const SideChannelAnswer answer = AnswerSideChannelRequest(request, snapshot(nullptr));
      if (answer.when == SideChannelAnswer::When::Now)
        Send(EncodeSideChannelResponse(request.command, answer.status, answer.data));
      else if (answer.when == SideChannelAnswer::When::AtJobEnd)
        waiting.push_back(request);
    }
  }
}

}  // namespace cupsbackend
