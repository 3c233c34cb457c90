// The TCP server's socket calls on POSIX systems.
// The server's thread.
#include "tools/vprinter/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vprinter::tcp {

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

void Wait(Socket listener, Socket client, bool wantRead, bool wantWrite, int ms) {
  pollfd fds[2] = {{static_cast<int>(listener), POLLIN, 0},
                   {static_cast<int>(client),
                    static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)), 0}};
  // poll ignores negative descriptors.
  ::poll(fds, 2, ms);
}

void Close(Socket s) {
  if (s != kNoSocket) ::close(static_cast<int>(s));
}

}  // namespace vprinter::tcp
