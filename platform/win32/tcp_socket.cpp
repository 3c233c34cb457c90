// The simulated printer's socket calls on Windows (Winsock 2).
// The thread that owns the sockets.
#include "platform/tcp_socket.h"

#include <string>

#include "platform/win32/windows_api.h"

namespace plat::tcp {
namespace {

SOCKET AsSystem(Socket s) { return static_cast<SOCKET>(s); }

std::string Describe(const char* what) {
  return std::string(what) + ": Winsock error " + std::to_string(::WSAGetLastError());
}

}  // namespace

bool Start(std::string& error) {
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    error = "Winsock does not start";
    return false;
  }
  return true;
}

Socket Listen(std::uint16_t port, std::uint16_t& bound, std::string& error) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    error = Describe("socket");
    return kNoSocket;
  }
  // Not inherited by the programs we might start; no second listener on
  // the same port.
  ::SetHandleInformation(reinterpret_cast<W32_HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  BOOL exclusive = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
  u_long nonBlocking = 1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0 ||
      ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 8) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    error = Describe(("127.0.0.1:" + std::to_string(port)).c_str());
    ::closesocket(s);
    return kNoSocket;
  }
  bound = ntohs(addr.sin_port);
  return static_cast<Socket>(s);
}

Socket Accept(Socket listener) {
  SOCKET s = ::accept(AsSystem(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return kNoSocket;
  // An accepted socket inherits the listener's non-blocking mode.
  ::SetHandleInformation(reinterpret_cast<W32_HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<Socket>(s);
}

Socket Connect(std::uint16_t port, std::string& error) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    error = Describe("socket");
    return kNoSocket;
  }
  ::SetHandleInformation(reinterpret_cast<W32_HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Blocking: on the loopback the answer comes soon (a refusal after the
  // system's retries, about a second). Non-blocking afterwards, as every
  // socket here is.
  u_long nonBlocking = 1;
  if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    error = Describe(("127.0.0.1:" + std::to_string(port)).c_str());
    ::closesocket(s);
    return kNoSocket;
  }
  return static_cast<Socket>(s);
}

long Receive(Socket s, void* buffer, std::size_t size) {
  const int n = ::recv(AsSystem(s), static_cast<char*>(buffer), static_cast<int>(size), 0);
  if (n > 0) return n;
  if (n == 0) return -1;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

long Send(Socket s, const void* data, std::size_t size) {
  const int n = ::send(AsSystem(s), static_cast<const char*>(data), static_cast<int>(size), 0);
  if (n >= 0) return n;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

void Wait(const WaitFor* sockets, std::size_t count, int ms) {
  fd_set readable, writable;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  for (std::size_t i = 0; i < count && i < kMaxWaitFor; ++i) {
    if (sockets[i].socket == kNoSocket) continue;
    if (sockets[i].read) FD_SET(AsSystem(sockets[i].socket), &readable);
    if (sockets[i].write) FD_SET(AsSystem(sockets[i].socket), &writable);
  }
  timeval limit{ms / 1000, (ms % 1000) * 1000};
  if (readable.fd_count == 0 && writable.fd_count == 0) {
    // select wants at least one socket.
    ::Sleep(static_cast<W32_DWORD>(ms));
    return;
  }
  ::select(0, &readable, &writable, nullptr, &limit);
}

void Close(Socket s) {
  if (s != kNoSocket) ::closesocket(AsSystem(s));
}

}  // namespace plat::tcp
