// The simulated printer's socket calls on POSIX systems.
// The thread that owns the sockets.
#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace plat::tcp {

bool Start(std::string&) { return true; }

Socket Listen(std::uint16_t port, std::uint16_t& bound, std::string& error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return kNoSocket;
  }
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, 8) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    error = "127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return kNoSocket;
  }
  bound = ntohs(addr.sin_port);
  return fd;
}

Socket Accept(Socket listener) {
  int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  return fd < 0 ? kNoSocket : fd;
}

Socket Connect(std::uint16_t port, std::string& error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return kNoSocket;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Blocking: on the loopback the answer (taken or refused) comes at once.
  // Non-blocking afterwards, as every socket here is.
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
    error = "127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return kNoSocket;
  }
  return fd;
}

long Receive(Socket s, void* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::recv(static_cast<int>(s), buffer, size, 0);
    if (n > 0) return static_cast<long>(n);
    if (n == 0) return -1;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

long Send(Socket s, const void* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::send(static_cast<int>(s), data, size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

void Wait(const WaitFor* sockets, std::size_t count, int ms) {
  pollfd fds[kMaxWaitFor];
  nfds_t n = 0;
  for (std::size_t i = 0; i < count && n < kMaxWaitFor; ++i) {
    if (sockets[i].socket == kNoSocket) continue;
    fds[n++] = {static_cast<int>(sockets[i].socket),
                static_cast<short>((sockets[i].read ? POLLIN : 0) |
                                   (sockets[i].write ? POLLOUT : 0)),
                0};
  }
  ::poll(fds, n, ms);
}

void Close(Socket s) {
  if (s != kNoSocket) ::close(static_cast<int>(s));
}

}  // namespace plat::tcp
