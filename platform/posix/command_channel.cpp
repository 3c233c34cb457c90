// The command channel's socket work: the listener thread that checks and
// queues requests for the main thread, and the client's one-shot send.
// CommandServer's public calls: main thread; Listen: the
// listener thread; SendSpoolerMessage: any thread.
#include "platform/command_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/home.h"
#include "platform/posix/command_channel_posix.h"
#include "platform/posix/descriptor_io.h"

namespace plat {
namespace {

using SteadyClock = std::chrono::steady_clock;

int RemainingMs(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - SteadyClock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  // sun_path must keep its terminating zero; a longer path is refused rather
  // than cut, which would address some other file.
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Reads until `size` bytes, end of stream, one byte too many, or the
// deadline. Returns the bytes read (size + 1 means "more than expected"),
// -1 on a read error or time-out.
int ReadBounded(int fd, void* buffer, std::size_t size,
                SteadyClock::time_point deadline) {
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t got = 0;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;  // time-out or poll failure
    unsigned char spill;
    unsigned char* target = got < size ? out + got : &spill;
    std::size_t want = got < size ? size - got : 1;
    ssize_t n = ::recv(fd, target, want, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    if (n == 0) return static_cast<int>(got);  // the peer finished sending
    got += static_cast<std::size_t>(n);
    if (got > size) return static_cast<int>(size + 1);
  }
}

bool WriteAll(int fd, const void* data, std::size_t size,
              SteadyClock::time_point deadline) {
  return WriteAllToSocketBy(fd, data, size, deadline) == 0;
}

// Connects a non-blocking socket to `address` by the deadline. A local
// socket whose backlog is full refuses at once with EAGAIN instead of
// queueing us (the server takes one connection at a time), so that case is
// tried again until the deadline. Returns the descriptor or -1.
int ConnectBounded(const sockaddr_un& address, SteadyClock::time_point deadline) {
  for (;;) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
      return fd;
    const int error = errno;
    if (error == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int result = 0;
      socklen_t length = sizeof result;
      if (::poll(&p, 1, RemainingMs(deadline)) > 0 &&
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) == 0 && result == 0)
        return fd;
      ::close(fd);
      return -1;
    }
    ::close(fd);
    if (error != EAGAIN && error != EINTR) return -1;  // nobody listens there
    if (RemainingMs(deadline) == 0) return -1;
    // A pause, not a spin: the listener frees a slot within its read time-out.
    pollfd none{-1, 0, 0};
    ::poll(&none, 1, std::min(RemainingMs(deadline), 5));
  }
}

}  // namespace

bool IsAcceptableRequest(const CommandRequest& request) {
  if (request.magic != kCommandMagic) return false;
  return request.message == WM_SPOOLER_COMMAND ||
         request.message == kBringToFrontRequest ||
         request.message == kWillPrintQueueRequest ||
         request.message == kStatusRequest;
}

std::uint64_t QueueFileKey(const std::string& path) {
  std::string canonical;
  if (char* resolved = ::realpath(path.c_str(), nullptr)) {
    canonical = resolved;
    std::free(resolved);
  } else {
    const std::size_t slash = path.find_last_of('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (char* resolvedDirectory = ::realpath(directory.c_str(), nullptr)) {
      canonical = std::string(resolvedDirectory) + "/" + name;
      std::free(resolvedDirectory);
    } else {
      canonical = path;
    }
  }
  // FNV-1a: the same on both sides of the channel, and no collision to fear
  // among the handful of queue files one user has.
  std::uint64_t key = 14695981039346656037ull;
  for (unsigned char c : canonical) {
    key ^= c;
    key *= 1099511628211ull;
  }
  return key;
}

bool IsSameUser(uid_t peerUid, uid_t ownUid) { return peerUid == ownUid; }

bool GetPeerUid(int socketFd, uid_t& uid) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials) {
    return false;
  }
  uid = credentials.uid;
  return true;
}

std::string SpoolerSocketPath(HWND window) {
  std::string run = RunDirectory();
  if (run.empty()) return "";
  return run + "/spooler-" + std::to_string(window) + ".sock";
}

bool SendSpoolerMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                        LRESULT* result, DWORD timeoutMs) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  sockaddr_un address;
  if (window == 0 || !FillAddress(SpoolerSocketPath(window), address)) return false;

  int fd = ConnectBounded(address, deadline);
  if (fd < 0) return false;
  bool ok = false;
  do {
    // A socket of another user in our run directory is not our spooler.
    uid_t peer = 0;
    if (!GetPeerUid(fd, peer) || !IsSameUser(peer, ::getuid())) break;

    CommandRequest request{kCommandMagic, message, static_cast<std::uint64_t>(wParam),
                           static_cast<std::int64_t>(lParam)};
    if (!WriteAll(fd, &request, sizeof request, deadline)) break;
    ::shutdown(fd, SHUT_WR);  // end of request: the server checks its size

    CommandAnswer answer{};
    if (ReadBounded(fd, &answer, sizeof answer, deadline) != sizeof answer) break;
    if (answer.magic != kAnswerMagic || answer.handled != 1) break;
    if (result) *result = static_cast<LRESULT>(answer.result);
    ok = true;
  } while (false);
  ::close(fd);
  return ok;
}

struct CommandServer::SystemState {
  int listenFd = -1;
  int wakePipe[2] = {-1, -1};  // a byte in [1] wakes the listener's poll
};

CommandServer::CommandServer() : system_(std::make_unique<SystemState>()) {}

CommandServer::~CommandServer() { Stop(); }

bool CommandServer::Start(HWND window, Handler handler, Wake wake) {
  Stop();
  std::string path = SpoolerSocketPath(window);
  sockaddr_un address;
  if (!FillAddress(path, address)) return false;

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // A socket left by a spooler that died under the same number is stale:
  // window numbers are unique among live spoolers.
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 8) != 0 ||
      ::pipe2(system_->wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(fd);
    ::unlink(path.c_str());
    CloseFd(system_->wakePipe[0]);
    CloseFd(system_->wakePipe[1]);
    return false;
  }
  path_ = path;
  system_->listenFd = fd;
  handler_ = std::move(handler);
  wake_ = std::move(wake);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }
  listener_ = std::thread([this] { Listen(); });
  return true;
}

void CommandServer::Stop() {
  if (!listener_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  char byte = 1;
  (void)!::write(system_->wakePipe[1], &byte, 1);
  listener_.join();
  CloseFd(system_->listenFd);
  CloseFd(system_->wakePipe[0]);
  CloseFd(system_->wakePipe[1]);
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.clear();
}

// The listener writes the answer: wake it from its poll.
void CommandServer::SignalAnswered() {
  char byte = 0;
  (void)!::write(system_->wakePipe[1], &byte, 1);
}

// The listener serves every connection at once: each has its own deadline
// to deliver its request, so clients that connect and say nothing (or a
// slow one) never hold up another's request. Requests are still run one by
// one on the main thread, in the order they arrived.
struct CommandServer::Connection {
  int fd = -1;
  enum class State { Reading, Waiting, Writing } state = State::Reading;
  unsigned char request[sizeof(CommandRequest) + 1] = {};
  std::size_t got = 0;
  SteadyClock::time_point deadline;
  std::shared_ptr<Pending> pending;
  CommandAnswer answer{};
  std::size_t sent = 0;
};

void CommandServer::Listen() {
  std::vector<std::unique_ptr<Connection>> connections;
  auto dropConnection = [&](std::size_t index, bool malformed) {
    if (malformed) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++dropped_;
    }
    ::close(connections[index]->fd);
    connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(index));
  };

  for (;;) {
    // Answers the main thread has given move their connections on.
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        // An answer already given still goes out: the request that closes
        // the program (command 0) is answered before the channel goes.
        for (auto& c : connections) {
          if (c->state == Connection::State::Waiting && c->pending->done) {
            c->answer = CommandAnswer{kAnswerMagic, 1, static_cast<std::int64_t>(c->pending->result)};
            c->sent = 0;
          } else if (c->state != Connection::State::Writing) {
            continue;
          }
          const auto* bytes = reinterpret_cast<const unsigned char*>(&c->answer);
          WriteAll(c->fd, bytes + c->sent, sizeof c->answer - c->sent,
                   SteadyClock::now() + std::chrono::milliseconds(kReadTimeoutMs));
        }
        break;
      }
      for (auto& c : connections) {
        if (c->state != Connection::State::Waiting || !c->pending->done) continue;
        c->answer = CommandAnswer{kAnswerMagic, 1, static_cast<std::int64_t>(c->pending->result)};
        c->state = Connection::State::Writing;
        c->deadline = SteadyClock::now() + std::chrono::milliseconds(kReadTimeoutMs);
      }
    }

    std::vector<pollfd> fds;
    fds.push_back({system_->wakePipe[0], POLLIN, 0});
    const bool room = connections.size() < kMaxConnections;
    fds.push_back({room ? system_->listenFd : -1, POLLIN, 0});
    auto next = SteadyClock::now() + std::chrono::hours(1);
    for (auto& c : connections) {
      short events = 0;
      if (c->state == Connection::State::Reading) events = POLLIN;
      if (c->state == Connection::State::Writing) events = POLLOUT;
      fds.push_back({c->state == Connection::State::Waiting ? -1 : c->fd, events, 0});
      next = std::min(next, c->deadline);
    }
    int ready = ::poll(fds.data(), fds.size(), RemainingMs(next) + 1);
    if (ready < 0 && errno != EINTR) break;
    if (ready < 0) continue;

    if (fds[0].revents != 0) {
      char drain[64];
      while (::read(system_->wakePipe[0], drain, sizeof drain) > 0) {
      }
    }

    // Walk backwards so that dropping a connection keeps the indices of
    // the ones still to visit (fds[i + 2] belongs to connections[i]).
    const auto now = SteadyClock::now();
    for (std::size_t i = connections.size(); i-- > 0;) {
      Connection& c = *connections[i];
      const short revents = fds[i + 2].revents;
      if (c.state == Connection::State::Reading) {
        if (revents != 0) {
          ssize_t n = ::recv(c.fd, c.request + c.got, sizeof c.request - c.got, MSG_DONTWAIT);
          if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
          if (n > 0) {
            c.got += static_cast<std::size_t>(n);
            if (c.got > sizeof(CommandRequest)) {
              dropConnection(i, true);  // more than one request's worth
            }
            continue;
          }
          // End of the request (or an error): judge what arrived.
          CommandRequest request{};
          if (n < 0 || c.got != sizeof request) {
            dropConnection(i, true);
            continue;
          }
          std::memcpy(&request, c.request, sizeof request);
          if (!IsAcceptableRequest(request)) {
            dropConnection(i, true);
            continue;
          }
          c.pending = std::make_shared<Pending>();
          c.pending->request = request;
          c.state = Connection::State::Waiting;
          c.deadline = now + std::chrono::milliseconds(kAnswerWaitMs);
          {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(c.pending);
          }
          if (wake_) wake_();
        } else if (now >= c.deadline) {
          dropConnection(i, true);  // said nothing, or not all, in time
        }
      } else if (c.state == Connection::State::Waiting) {
        if (now < c.deadline) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (c.pending->taken) {
          c.deadline = now + std::chrono::hours(1);  // running: its answer follows
          continue;
        }
        // The main thread is busy for too long; withdraw the request so
        // that it does not run after its sender has given up.
        queue_.erase(std::remove(queue_.begin(), queue_.end(), c.pending), queue_.end());
        ::close(c.fd);
        connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
      } else {  // Writing
        if (revents != 0) {
          const auto* bytes = reinterpret_cast<const unsigned char*>(&c.answer);
          ssize_t n = ::send(c.fd, bytes + c.sent, sizeof c.answer - c.sent,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
          if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
          if (n > 0) c.sent += static_cast<std::size_t>(n);
          if (n <= 0 || c.sent == sizeof c.answer) dropConnection(i, false);
        } else if (now >= c.deadline) {
          dropConnection(i, false);
        }
      }
    }

    if (room && (fds[1].revents & POLLIN) != 0) {
      int fd = ::accept4(system_->listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) {
        // Out of descriptors (or a connection that died in the backlog):
        // the listening socket stays readable, so pause a little instead
        // of spinning; a Stop() still ends the pause at once.
        if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) ::poll(&fds[0], 1, 50);
        continue;
      }
      uid_t peer = 0;
      if (!GetPeerUid(fd, peer) || !IsSameUser(peer, ::getuid())) {
        ::close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        ++dropped_;
        continue;
      }
      auto c = std::make_unique<Connection>();
      c->fd = fd;
      c->deadline = SteadyClock::now() + std::chrono::milliseconds(kReadTimeoutMs);
      connections.push_back(std::move(c));
    }
  }
  for (auto& c : connections) ::close(c->fd);
}

}  // namespace plat
