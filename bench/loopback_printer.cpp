// LoopbackPrinter (see loopback_printer.h): the listening socket, and the
// thread that accepts, reads and closes.
// Run is the printer's own thread; construction and destruction belong to
// the thread that owns the object.
#include "bench/loopback_printer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace report {

LoopbackPrinter::LoopbackPrinter() {
  listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_, 8) != 0 ||
      ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(wake_, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "bench_report: no loopback printer\n");
    std::exit(1);
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Run(); });
}

LoopbackPrinter::~LoopbackPrinter() {
  [[maybe_unused]] ssize_t n = ::write(wake_[1], "x", 1);
  thread_.join();
  ::close(wake_[0]);
  ::close(wake_[1]);
  ::close(listen_);
}

void LoopbackPrinter::Run() {
  std::vector<int> connections;
  // Connections whose sender has ended, closed by the printer when due.
  std::vector<std::pair<int, Clock::time_point>> closing;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
    for (int c : connections) fds.push_back({c, POLLIN, 0});
    int timeout = -1;
    for (const auto& [fd, due] : closing) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
      timeout = std::max<int>(0, timeout < 0 ? static_cast<int>(left.count())
                                             : std::min<int>(timeout, static_cast<int>(left.count())));
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;
    for (auto it = closing.begin(); it != closing.end();) {
      if (Clock::now() < it->second) {
        ++it;
        continue;
      }
      ::close(it->first);
      std::lock_guard<std::mutex> g(mutex_);
      closed_ = Clock::now();
      --open_;
      cv_.notify_all();
      it = closing.erase(it);
    }
    if (fds[1].revents & POLLIN) {
      const int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) {
        connections.push_back(c);
        std::lock_guard<std::mutex> g(mutex_);
        ++open_;
      }
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      const ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      std::lock_guard<std::mutex> g(mutex_);
      if (n > 0) {
        received_ += static_cast<std::uint64_t>(n);
        if (!last_ && expected_ > 0 && received_ >= expected_) {
          last_ = Clock::now();
          cv_.notify_all();
        }
        continue;
      }
      // The sender ended its side (the socket backend and Kelvane both
      // wait for the printer's close before they call the job done) or
      // the connection broke: the printer closes after its close time.
      closing.emplace_back(fds[i].fd, Clock::now() + closeDelay_);
      connections.erase(std::find(connections.begin(), connections.end(), fds[i].fd));
    }
  }
  for (int c : connections) ::close(c);
  for (const auto& pending : closing) ::close(pending.first);
}


}  // namespace report
