// The simulated printer's control client on POSIX systems: a Unix stream
// socket with five-second send and receive time-outs.
// Any thread; the descriptor is the call's own.
#include "platform/sim_control.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace plat {

SimControlResult SendSimControl(const std::string& controlPath, const std::string& line,
                                std::string& answer, std::string& error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (controlPath.size() >= sizeof addr.sun_path) {
    error = controlPath + ": path too long";
    return SimControlResult::BadAddress;
  }
  std::memcpy(addr.sun_path, controlPath.c_str(), controlPath.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error = controlPath + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return SimControlResult::Failed;
  }
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    error = std::string("send: ") + std::strerror(errno);
    ::close(fd);
    return SimControlResult::Failed;
  }
  answer.clear();
  char buffer[256];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return SimControlResult::Answered;
}

}  // namespace plat
