// A raw TCP printer (port 9100 style) over Winsock. The connection is made
// with a bounded wait; writes are bounded by the write time-out, so a
// printer that stops reading shows as a stall (a partial write, no flag); a
// refused or broken connection raises CE_IOE and the next write connects
// again. Replies are read from the same socket.
// Every wait is on two events: the socket's network events and one that
// Close sets, so a write that waits for the printer ends when another
// thread closes the handle.
// Any thread; one thread at a time per port, except Close. sockMutex_
// guards the swap of the socket against Close's shutdown.
#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/errors.h"
#include "platform/win32/win32_ports.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

// Winsock is started once for the life of the process.
DWORD StartWinsock() {
  static std::once_flag once;
  static DWORD result = 0;
  std::call_once(once, [] {
    WSADATA data;
    result = static_cast<DWORD>(::WSAStartup(MAKEWORD(2, 2), &data));
  });
  return result;
}

struct Address {
  sockaddr_storage storage{};
  int length = 0;
};

class SocketPort final : public SelfTimedPort {
 public:
  SocketPort(std::vector<Address> addresses, DWORD connectTimeoutMs)
      : addresses_(std::move(addresses)),
        connectTimeoutMs_(connectTimeoutMs),
        closeEvent_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        netEvent_(::WSACreateEvent()) {}

  ~SocketPort() override {
    if (sock_ != INVALID_SOCKET) ::closesocket(sock_);
    if (netEvent_ != nullptr) ::WSACloseEvent(netEvent_);
    if (closeEvent_) ::CloseHandle(closeEvent_);
  }

  bool Ready() const { return closeEvent_ && netEvent_ != nullptr; }

  // Connects, trying each address in turn within `ms`. On failure the port
  // stays unconnected and CE_IOE is raised.
  bool Connect(DWORD ms) {
    const CallDeadline deadline(ms);
    DWORD lastError = WSAECONNREFUSED;
    for (const Address& address : addresses_) {
      const DWORD left = deadline.LeftMs();
      if (left == 0 || closed_.load()) break;
      SOCKET s = ::socket(address.storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
      if (s == INVALID_SOCKET) {
        lastError = static_cast<DWORD>(::WSAGetLastError());
        continue;
      }
      BOOL one = TRUE;
      ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
      // Makes the socket non-blocking; every wait below is on netEvent_.
      ::WSAResetEvent(netEvent_);
      if (::WSAEventSelect(s, netEvent_, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        lastError = static_cast<DWORD>(::WSAGetLastError());
        ::closesocket(s);
        continue;
      }
      DWORD error = 0;
      if (::connect(s, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0) {
        error = static_cast<DWORD>(::WSAGetLastError());
        if (error == WSAEWOULDBLOCK) {
          WSANETWORKEVENTS events{};
          const int rc = WaitFor(s, FD_CONNECT, left, &events);
          if (rc == 1) {
            // No connect event recorded (the events could not be read):
            // nothing says the connection stands.
            error = (events.lNetworkEvents & FD_CONNECT)
                        ? static_cast<DWORD>(events.iErrorCode[FD_CONNECT_BIT])
                        : static_cast<DWORD>(WSAENOTCONN);
          } else {
            error = rc == 0 ? static_cast<DWORD>(WSAETIMEDOUT) : ERROR_INVALID_HANDLE;
          }
        }
      }
      if (error == 0) {
        std::lock_guard<std::mutex> g(sockMutex_);
        if (closed_.load()) {
          ::closesocket(s);
          break;
        }
        sock_ = s;
        return true;
      }
      lastError = error;
      ::closesocket(s);
    }
    Raise(CE_IOE);
    SetLastError(lastError);
    return false;
  }

  bool Write(const void* data, DWORD size, DWORD* written) override {
    if (written) *written = 0;
    tookWholeWrite_ = false;
    const DWORD limit = WriteLimitMs(size);
    const CallDeadline deadline(limit);
    if (closed_.load()) return Closed();
    if (sock_ == INVALID_SOCKET && !Connect(std::min(limit, connectTimeoutMs_))) return false;

    const auto* p = static_cast<const char*>(data);
    DWORD done = 0;
    while (done < size) {
      const int chunk = static_cast<int>(std::min<DWORD>(size - done, INT_MAX));
      const int n = ::send(sock_, p + done, chunk, 0);
      if (n > 0) {
        done += static_cast<DWORD>(n);
        continue;
      }
      const int e = ::WSAGetLastError();
      if (e == WSAEINTR) continue;
      if (e == WSAEWOULDBLOCK) {
        const DWORD left = deadline.LeftMs();
        // A printer that stops reading: hand back what it took, no flag.
        if (left == 0) {
          SetLastError(kErrorTimedOut);
          break;
        }
        if (WaitFor(sock_, FD_WRITE | FD_CLOSE, left) < 0) {
          Closed();
          break;
        }
        continue;
      }
      Broken(static_cast<DWORD>(e));
      break;
    }
    if (written) *written = done;
    tookWholeWrite_ = done == size && sock_ != INVALID_SOCKET;
    return done == size;
  }

  bool Read(void* buffer, DWORD size, DWORD* read) override {
    if (read) *read = 0;
    tookWholeWrite_ = false;
    const DWORD limit = ReadLimitMs();
    if (closed_.load()) return Closed();
    if (sock_ == INVALID_SOCKET) {
      // Nothing to hear until the next write connects again.
      ::WaitForSingleObject(closeEvent_, limit);
      return true;
    }
    const CallDeadline deadline(limit);
    for (;;) {
      const int n = ::recv(sock_, static_cast<char*>(buffer),
                           static_cast<int>(std::min<DWORD>(size, INT_MAX)), 0);
      if (n > 0) {
        if (read) *read = static_cast<DWORD>(n);
        return true;
      }
      if (n == 0 && size > 0) {  // the printer closed the connection
        Broken(WSAECONNRESET);
        return false;
      }
      const int e = n < 0 ? ::WSAGetLastError() : WSAEWOULDBLOCK;
      if (e == WSAEINTR) continue;
      if (e != WSAEWOULDBLOCK) {
        Broken(static_cast<DWORD>(e));
        return false;
      }
      const DWORD left = deadline.LeftMs();
      if (left == 0) return true;
      if (WaitFor(sock_, FD_READ | FD_CLOSE, left) < 0) return Closed();
    }
  }

  bool ClearCommError(DWORD& errors) override {
    // A printer that dropped the connection while we were not writing shows
    // here, as Read sees it: an error, or the end of its stream (Wine
    // reports a reset so). After a write the socket took whole there is
    // nothing to look for: a reset since then fails the next write or
    // read, which raises CE_IOE itself.
    if (sock_ != INVALID_SOCKET && !tookWholeWrite_) {
      char c;
      const int n = ::recv(sock_, &c, 1, MSG_PEEK);
      if (n == 0) {
        Broken(WSAECONNRESET);
      } else if (n == SOCKET_ERROR) {
        const int e = ::WSAGetLastError();
        if (e != WSAEWOULDBLOCK && e != WSAEINTR) Broken(static_cast<DWORD>(e));
      }
    }
    return SelfTimedPort::ClearCommError(errors);
  }

  void Close() override {
    if (closed_.exchange(true)) return;
    if (closeEvent_) ::SetEvent(closeEvent_);
    std::lock_guard<std::mutex> g(sockMutex_);
    if (sock_ != INVALID_SOCKET) ::shutdown(sock_, SD_BOTH);
  }

 private:
  bool Closed() {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }

  // Waits until `s` reports one of `wanted` or `ms` pass. 1 ready (the
  // events in *events), 0 time-out, -1 closed.
  int WaitFor(SOCKET s, long wanted, DWORD ms, WSANETWORKEVENTS* events = nullptr) {
    const CallDeadline deadline(ms);
    W32_HANDLE both[2] = {closeEvent_, netEvent_};
    for (;;) {
      if (closed_.load()) return -1;
      const DWORD left = deadline.LeftMs();
      const W32_DWORD rc = ::WaitForMultipleObjects(2, both, FALSE, left);
      if (rc == WAIT_OBJECT_0) return -1;
      if (rc != WAIT_OBJECT_0 + 1) return 0;
      WSANETWORKEVENTS seen{};
      // Reads and resets what the socket recorded.
      if (::WSAEnumNetworkEvents(s, netEvent_, &seen) != 0) return 1;
      if (seen.lNetworkEvents & wanted) {
        if (events) *events = seen;
        return 1;
      }
      if (left == 0) return 0;
    }
  }

  void Broken(DWORD error) {
    Raise(CE_IOE);
    SetLastError(error);
    std::lock_guard<std::mutex> g(sockMutex_);
    if (sock_ != INVALID_SOCKET) ::closesocket(sock_);
    sock_ = INVALID_SOCKET;
  }

  const std::vector<Address> addresses_;
  const DWORD connectTimeoutMs_;
  const W32_HANDLE closeEvent_;  // set by Close
  // The socket's network events (the system's WSAEVENT is a handle).
  const W32_HANDLE netEvent_;
  std::atomic<bool> closed_{false};
  std::mutex sockMutex_;
  // Written only by the thread that uses the port (under sockMutex_); read
  // by Close under sockMutex_.
  SOCKET sock_ = INVALID_SOCKET;
  // The last call was a write the socket took whole. Only the thread that
  // uses the port touches it.
  bool tookWholeWrite_ = false;
};

}  // namespace

std::shared_ptr<PortDevice> OpenSocketPort(const std::string& host, std::uint16_t port,
                                           DWORD& error, DWORD connectTimeoutMs) {
  if (const DWORD started = StartWinsock()) {
    error = started;
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0 || !list) {
    error = rc != 0 ? static_cast<DWORD>(rc) : static_cast<DWORD>(WSAHOST_NOT_FOUND);
    return nullptr;
  }
  std::vector<Address> addresses;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    Address a;
    std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
    a.length = static_cast<int>(ai->ai_addrlen);
    addresses.push_back(a);
  }
  ::freeaddrinfo(list);
  if (addresses.empty()) {
    error = WSAHOST_NOT_FOUND;
    return nullptr;
  }
  auto device = std::make_shared<SocketPort>(std::move(addresses), connectTimeoutMs);
  if (!device->Ready()) {
    error = static_cast<DWORD>(::GetLastError());
    return nullptr;
  }
  // A printer that is off or refuses still gives a port: the engine then
  // hears CE_IOE and asks the user, and the next write connects again.
  device->Connect(connectTimeoutMs);
  return device;
}

}  // namespace plat
