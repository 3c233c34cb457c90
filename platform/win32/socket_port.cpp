// A raw TCP printer (port 9100 style) over Winsock. The connection is made
// with a bounded wait; writes are bounded by the write time-out, so a
// printer that stops reading shows as a stall (a partial write, no flag).
// A connection refused, or broken before it carried a byte, raises CE_IOE
// and the next write connects again; one that breaks after it carried bytes
// of the job is lost for good (the printer would take a new connection for
// a new job), and writes then fail with CE_IOE until the port is closed.
// Replies are read from the same socket.
//
// What the printer has taken: Winsock has no count of unacknowledged bytes
// for a socket before Windows 10 1703, whose SIO_TCP_INFO tells what was
// sent and what of it is unacknowledged; with our own count of what the
// writes handed over, that gives the bytes not yet acknowledged. Without
// it (older systems; see Delivery()) only the printer's orderly close says
// it has the job. Drain half-closes, reads what the printer says to the end
// and waits for its close. The socket is closed without a reset (nothing
// left unread, no zero linger) unless the job was cancelled, when the reset
// is wanted: the system must not go on sending the rest of a job that will
// be printed again whole.
// Until Drain ends the stream the socket carries a zero linger, so that a
// close the system makes for us (the spooler ended or crashed in the middle
// of a job) resets the connection too: the printer learns that the job was
// cut instead of taking its first part for all of it. Drain and our own
// closes take the zero linger off first.
// Every wait is on two events: the socket's network events and one that
// Close sets, so a call that waits for the printer ends when another thread
// closes the handle.
// Any thread; one thread at a time per port, except Close, which only sets
// its event; the socket is closed with the object.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/errors.h"
#include "platform/win32/win32_ports.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

// While the printer has closed its side and bytes are still unacknowledged
// no network event marks the moment they are: the drain looks at the count
// this often.
constexpr DWORD kAckTickMs = 10;
// What the close reads out at most of what the printer sent and nobody
// read: unread bytes make the system reset the connection.
constexpr std::size_t kDiscardLimit = 1 << 20;

// SIO_TCP_INFO and its version 0 answer (mstcpip.h declares them only for
// programs that require Windows 10 1703; we run on older systems too and
// ask at run time). The layout is the system's TCP_INFO_v0.
const W32_DWORD kSioTcpInfo = _WSAIORW(IOC_VENDOR, 39);
struct TcpInfoV0 {
  int State;
  ULONG Mss;
  ULONG64 ConnectionTimeMs;
  BOOLEAN TimestampsEnabled;
  ULONG RttUs;
  ULONG MinRttUs;
  ULONG BytesInFlight;
  ULONG Cwnd;
  ULONG SndWnd;
  ULONG RcvWnd;
  ULONG RcvBuf;
  ULONG64 BytesOut;
  ULONG64 BytesIn;
  ULONG BytesReordered;
  ULONG BytesRetrans;
  ULONG FastRetrans;
  ULONG DupAcksIn;
  ULONG TimeoutEpisodes;
  UCHAR SynRetrans;
};
static_assert(sizeof(TcpInfoV0) == 88, "the layout of the system's TCP_INFO_v0");

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
    CloseConnection();
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
      if (error == 0 && !closed_.load()) {
        sock_ = s;
        given_ = 0;
        SetResetOnClose(true);
        return true;
      }
      lastError = error == 0 ? ERROR_INVALID_HANDLE : error;
      ::closesocket(s);
      if (closed_.load()) break;
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
    if (lost_) return FailLost();
    if (draining_) {  // the stream was ended: nothing may follow
      SetLastError(static_cast<DWORD>(WSAESHUTDOWN));
      return false;
    }
    if (peerClosed_) {
      // The printer ended the connection; what we would send now cannot
      // reach it on this one.
      Broken(WSAECONNRESET);
      if (lost_) return false;
    }
    if (sock_ == INVALID_SOCKET && !Connect(std::min(limit, connectTimeoutMs_))) return false;

    const auto* p = static_cast<const char*>(data);
    DWORD done = 0;
    while (done < size) {
      const int chunk = static_cast<int>(std::min<DWORD>(size - done, INT_MAX));
      const int n = ::send(sock_, p + done, chunk, 0);
      if (n > 0) {
        done += static_cast<DWORD>(n);
        given_ += static_cast<std::uint64_t>(n);
        carried_ = true;
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
    if (lost_) return FailLost();
    if (sock_ == INVALID_SOCKET) {
      // Nothing to hear until the next write connects again.
      ::WaitForSingleObject(closeEvent_, limit);
      return true;
    }
    const CallDeadline deadline(limit);
    for (;;) {
      const int n = peerClosed_ ? 0
                                : ::recv(sock_, static_cast<char*>(buffer),
                                         static_cast<int>(std::min<DWORD>(size, INT_MAX)), 0);
      if (n > 0) {
        if (read) *read = static_cast<DWORD>(n);
        return true;
      }
      if (n == 0 && (size > 0 || peerClosed_)) {  // the printer closed the connection
        PrinterEnded();
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
    if (!tookWholeWrite_) Probe();
    return SelfTimedPort::ClearCommError(errors);
  }

  bool DeviceIoControl(DWORD code, void* out, DWORD outSize, DWORD* returned) override {
    if (code != kCancelJobIoControl)
      return SelfTimedPort::DeviceIoControl(code, out, outSize, returned);
    if (returned) *returned = 0;
    // The job was given up and will be sent again from its first byte:
    // the close resets the connection instead of letting the system send
    // what it still holds.
    abortive_ = true;
    return true;
  }

  bool QueryDelivery(PortDelivery& delivery) override {
    Probe();
    delivery = Delivery();
    return true;
  }

  bool Drain(DWORD waitMs, PortDelivery& delivery) override {
    const CallDeadline deadline(waitMs);
    if (!draining_) {
      draining_ = true;
      // The end of the job: the printer reads to it and closes its side.
      // From here the job is whole once acknowledged: not even a close the
      // system makes may reset it.
      if (sock_ != INVALID_SOCKET && !lost_) {
        SetResetOnClose(false);
        ::shutdown(sock_, SD_SEND);
      }
    }
    for (;;) {
      if (lost_ || sock_ == INVALID_SOCKET || closed_.load()) break;
      if (!DiscardReceived()) break;  // broken: lost
      if (Delivery().state == DeliveryState::Delivered) break;
      const DWORD left = deadline.LeftMs();
      if (left == 0) break;
      if (peerClosed_) {
        // Only the acknowledgements are awaited now, and they signal nothing.
        if (::WaitForSingleObject(closeEvent_, std::min(left, kAckTickMs)) == WAIT_OBJECT_0) break;
        continue;
      }
      WSANETWORKEVENTS events{};
      const int rc = WaitFor(sock_, FD_READ | FD_CLOSE, left, &events);
      if (rc < 0) break;  // closed from another thread
      // The close event carries how the printer ended: a reset is no end.
      if (rc == 1 && (events.lNetworkEvents & FD_CLOSE) && events.iErrorCode[FD_CLOSE_BIT] != 0) {
        Broken(static_cast<DWORD>(events.iErrorCode[FD_CLOSE_BIT]));
        break;
      }
    }
    delivery = Delivery();
    if (delivery.state == DeliveryState::Lost) {
      Raise(CE_IOE);
      SetLastError(lostError_);
    }
    return true;
  }

  void Close() override {
    if (closed_.exchange(true)) return;
    if (closeEvent_) ::SetEvent(closeEvent_);
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

  // What became of the stream, from what is known now.
  PortDelivery Delivery() {
    if (lost_) return PortDelivery{DeliveryState::Lost, false, 0};
    // Never connected, or broken before it carried a byte: nothing was
    // given to the printer, so nothing is missing.
    if (sock_ == INVALID_SOCKET) return PortDelivery{DeliveryState::Delivered, true, 0};
    PortDelivery d;
    TcpInfoV0 info{};
    W32_DWORD version = 0;
    W32_DWORD got = 0;
    if (::WSAIoctl(sock_, kSioTcpInfo, &version, sizeof version, &info, sizeof info, &got,
                   nullptr, nullptr) == 0 &&
        got >= sizeof info) {
      // BytesOut counts what went on the wire, the resent bytes again; what
      // was never sent is still ours, what was sent once and is not
      // acknowledged is in flight (the end of stream, once sent, may count
      // there for a moment too).
      const std::uint64_t sentOnce =
          info.BytesOut > info.BytesRetrans ? info.BytesOut - info.BytesRetrans : 0;
      const std::uint64_t unsent = given_ > sentOnce ? given_ - sentOnce : 0;
      const std::uint64_t open = std::min<std::uint64_t>(given_, unsent + info.BytesInFlight);
      d.counted = true;
      d.unconfirmed = static_cast<DWORD>(std::min<std::uint64_t>(open, 0xFFFFFFFFu));
    }
    if (d.counted && d.unconfirmed == 0) {
      d.state = peerClosed_ ? DeliveryState::Delivered : DeliveryState::Acknowledged;
    } else if (!d.counted && closedAtEnd_) {
      // Nothing counts the acknowledgements: the printer's orderly close
      // after our end of stream is all there is to go by. A printer that
      // closes with bytes unread resets the connection instead, so this
      // says it read to the end - unless bytes were still on their way when
      // it closed (their reset comes later), or under Wine, which reports a
      // reset as an orderly close.
      d.state = DeliveryState::Delivered;
    } else {
      d.state = DeliveryState::Sending;
    }
    return d;
  }

  // Looks, without waiting, whether the printer ended the connection.
  void Probe() {
    if (sock_ == INVALID_SOCKET || peerClosed_) return;
    char c;
    const int n = ::recv(sock_, &c, 1, MSG_PEEK);
    if (n == 0) {
      PrinterEnded();
    } else if (n == SOCKET_ERROR) {
      const int e = ::WSAGetLastError();
      if (e != WSAEWOULDBLOCK && e != WSAEINTR) Broken(static_cast<DWORD>(e));
    }
  }

  // The printer closed its side. After our own end of stream that is how a
  // job ends; before it, the printer went away: until a write shows that
  // more was meant for it, it may have taken everything, so the socket
  // stays for the count.
  void PrinterEnded() {
    peerClosed_ = true;
    closedAtEnd_ = draining_;
    if (draining_) return;
    if (!carried_) {
      Broken(WSAECONNRESET);
      return;
    }
    Raise(CE_IOE);
    SetLastError(WSAECONNRESET);
  }

  // Reads and drops what the printer sent; notes its close. False when
  // the connection broke (then it was handled as broken).
  bool DiscardReceived() {
    char scratch[4096];
    for (std::size_t total = 0; !peerClosed_ && total < kDiscardLimit;) {
      const int n = ::recv(sock_, scratch, sizeof scratch, 0);
      if (n > 0) {
        total += static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0) {
        PrinterEnded();
        break;
      }
      const int e = ::WSAGetLastError();
      if (e == WSAEINTR) continue;
      if (e == WSAEWOULDBLOCK) break;
      Broken(static_cast<DWORD>(e));
      return false;
    }
    return true;
  }

  // The connection broke. If it had carried bytes of the stream the rest
  // of the job has nowhere to go: lost until the port is closed. Otherwise
  // the next write connects again.
  void Broken(DWORD error) {
    Raise(CE_IOE);
    SetLastError(error);
    if (carried_) {
      lost_ = true;
      lostError_ = error;
    }
    if (sock_ != INVALID_SOCKET) ::closesocket(sock_);
    sock_ = INVALID_SOCKET;
    carried_ = false;
    peerClosed_ = false;
    closedAtEnd_ = false;
    given_ = 0;
  }

  bool FailLost() {
    Raise(CE_IOE);
    SetLastError(lostError_);
    return false;
  }

  // With `reset`, closing the socket (ours or the system's at the process's
  // end) resets the connection and drops what the system still holds;
  // without it the close ends the stream in order.
  void SetResetOnClose(bool reset) {
    linger value{static_cast<u_short>(reset ? 1 : 0), 0};
    ::setsockopt(sock_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value),
                 sizeof value);
  }

  void CloseConnection() {
    if (sock_ == INVALID_SOCKET) return;
    SetResetOnClose(abortive_);
    if (!abortive_) DiscardReceived();
    if (sock_ != INVALID_SOCKET) ::closesocket(sock_);
    sock_ = INVALID_SOCKET;
  }

  const std::vector<Address> addresses_;
  const DWORD connectTimeoutMs_;
  const W32_HANDLE closeEvent_;  // set by Close
  // The socket's network events (the system's WSAEVENT is a handle).
  const W32_HANDLE netEvent_;
  std::atomic<bool> closed_{false};
  // The rest belongs to the thread that uses the port (the destructor runs
  // after its last call).
  SOCKET sock_ = INVALID_SOCKET;
  // The last call was a write the socket took whole.
  bool tookWholeWrite_ = false;
  std::uint64_t given_ = 0;  // bytes the connection's sends took
  bool carried_ = false;     // the connection took bytes of the stream
  bool peerClosed_ = false;  // the printer's end of stream was read
  bool closedAtEnd_ = false; // and it came after ours
  bool lost_ = false;        // a connection that carried bytes broke
  DWORD lostError_ = 0;
  bool draining_ = false;    // Drain ended the stream
  bool abortive_ = false;    // the job was cancelled: close with a reset
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
