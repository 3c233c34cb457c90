// The few socket calls the simulated printer's TCP server and its control
// client make, on 127.0.0.1 only, every socket non-blocking. One body per
// operating system (platform/posix/tcp_socket.cpp, platform/win32/tcp_socket.cpp:
// Winsock).
// The thread that owns the sockets; nothing here is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat::tcp {

using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// Readies the socket library (Winsock wants it once per process).
bool Start(std::string& error);

// A listening socket on 127.0.0.1:`port` (0: the system chooses); the port
// it got goes to `bound`. kNoSocket with `error` set on failure.
Socket Listen(std::uint16_t port, std::uint16_t& bound, std::string& error);

// A waiting connection, or kNoSocket when none waits.
Socket Accept(Socket listener);

// A connection to 127.0.0.1:`port`, non-blocking once made. kNoSocket with
// `error` set when nobody listens there.
Socket Connect(std::uint16_t port, std::string& error);

// Bytes read (> 0), 0 when none are there now, -1 when the peer closed or
// the connection broke.
long Receive(Socket s, void* buffer, std::size_t size);
// Bytes written (>= 0; 0 when the peer's window is full), -1 when the
// connection broke.
long Send(Socket s, const void* data, std::size_t size);

// A socket to wait for: something to read (or a connection waiting, for a
// listener) when `read`, room to write when `write`.
struct WaitFor {
  Socket socket = kNoSocket;  // kNoSocket: left out
  bool read = false;
  bool write = false;
};

inline constexpr std::size_t kMaxWaitFor = 8;

// Sleeps until one of the `count` sockets (at most kMaxWaitFor) is ready
// as asked, or `ms` milliseconds have passed.
void Wait(const WaitFor* sockets, std::size_t count, int ms);

void Close(Socket s);

}  // namespace plat::tcp
