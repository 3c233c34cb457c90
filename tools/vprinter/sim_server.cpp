// The socket side of the simulated printer: one sim: client at a time,
// control lines on PATH.ctl, timed script events. Run() owns every socket
// and runs on one thread; Stop() only writes to the wake pipe.
#include "tools/vprinter/sim_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "platform/clock.h"
#include "platform/posix/sim_port.h"
#include "tools/vprinter/printer_script.h"

namespace vprinter {

namespace {

bool MakeListener(const std::string& path, int& fdOut, std::string& error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    error = path + ": socket path too long";
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = path + ": exists and is not a socket";
      return false;
    }
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool live = probe >= 0 &&
                ::connect(probe, reinterpret_cast<sockaddr*>(&addr),
                          sizeof addr) == 0;
    if (probe >= 0) ::close(probe);
    if (live) {
      error = path + ": another printer is serving it";
      return false;
    }
    ::unlink(path.c_str());  // left behind by a printer that died
  }

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  // Only our user may connect: the socket file gets mode 0600.
  mode_t old = ::umask(077);
  int r = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int bindErrno = errno;
  ::umask(old);
  if (r < 0 || ::listen(fd, 8) < 0) {
    error = path + ": " + std::strerror(r < 0 ? bindErrno : errno);
    ::close(fd);
    return false;
  }
  fdOut = fd;
  return true;
}

// Sends all of it within a second; the client reads its answer at once,
// so a full socket means a client that no longer listens.
bool SendWithin(int fd, const void* data, std::size_t size) {
  return plat::simwire::SendAll(fd, data, size,
                                std::chrono::steady_clock::now() +
                                    std::chrono::seconds(1)) == 0;
}

}  // namespace

// --- SimServer -------------------------------------------------------------

struct SimServer::Session {
  int fd = -1;
  bool greeted = false;
  std::vector<BYTE> in;
  // The request being served (0: none).
  char op = 0;
  DWORD start = 0;
  DWORD waitMs = 0;
  std::vector<BYTE> data;  // 'W': what is offered
  DWORD done = 0;          // 'W': taken so far
  DWORD max = 0;           // 'R': largest answer
};

SimServer::SimServer(VirtualPrinter& printer) : printer_(printer) {
  if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    wakeFds_[0] = wakeFds_[1] = -1;
  }
}

SimServer::~SimServer() {
  if (session_) DropClient("server ends");
  for (int fd : {listenFd_, ctlFd_, wakeFds_[0], wakeFds_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

void SimServer::SetLogSink(VirtualPrinter::LogSink sink) {
  logSink_ = std::move(sink);
}

void SimServer::Log(const std::string& line) {
  if (logSink_) logSink_(line);
}

bool SimServer::Listen(const std::string& socketPath, std::string& error) {
  if (wakeFds_[0] < 0) {
    error = "cannot make the wake pipe";
    return false;
  }
  if (!MakeListener(socketPath, listenFd_, error)) return false;
  path_ = socketPath;
  if (!MakeListener(socketPath + ".ctl", ctlFd_, error)) {
    ::close(listenFd_);
    listenFd_ = -1;
    ::unlink(path_.c_str());
    return false;
  }
  ctlPath_ = socketPath + ".ctl";
  return true;
}

bool SimServer::LoadScript(const std::string& text, std::string& error) {
  return vprinter::LoadScript(printer_, text, timed_, [this](const std::string& line) { Log(line); },
                              error);
}

void SimServer::Stop() {
  if (wakeFds_[1] >= 0) {
    char c = 'x';
    ssize_t ignored = ::write(wakeFds_[1], &c, 1);
    (void)ignored;
  }
}

void SimServer::Run() {
  const DWORD start = plat::GetTickCount();
  std::size_t nextTimed = 0;
  for (;;) {
    int timeout = 100;
    if (session_ && session_->op != 0) timeout = 2;  // a request waits
    if (nextTimed < timed_.size()) {
      DWORD elapsed = plat::GetTickCount() - start;
      DWORD due = timed_[nextTimed].afterMs;
      timeout = std::min<int>(
          timeout, due > elapsed ? static_cast<int>(due - elapsed) : 0);
    }
    pollfd fds[4] = {{wakeFds_[0], POLLIN, 0},
                     {listenFd_, POLLIN, 0},
                     {ctlFd_, POLLIN, 0},
                     {session_ ? session_->fd : -1, POLLIN, 0}};
    int r = ::poll(fds, 4, timeout);
    if (r < 0 && errno != EINTR) {
      Log(std::string("poll: ") + std::strerror(errno));
      break;
    }
    if (r > 0) {
      if (fds[0].revents) break;
      // The session first: a client that closes and at once opens again
      // has its hang-up queued ahead of its new connection, and must find
      // the port free.
      if (session_ && fds[3].revents) ReadClient();
      if (fds[1].revents & POLLIN) AcceptClient();
      if (fds[2].revents & POLLIN) AcceptControl();
    }
    if (session_) ServeClient();
    while (nextTimed < timed_.size() &&
           plat::GetTickCount() - start >= timed_[nextTimed].afterMs) {
      const TimedCommand& event = timed_[nextTimed++];
      Log("script: after-ms " + std::to_string(event.afterMs) + " " +
          event.command);
      std::string ignored;
      ApplyCommand(printer_, event.command, ignored);
    }
  }
  if (session_) DropClient("server ends");
  if (!path_.empty()) ::unlink(path_.c_str());
  if (!ctlPath_.empty()) ::unlink(ctlPath_.c_str());
}

void SimServer::AcceptClient() {
  int fd = ::accept4(listenFd_, nullptr, nullptr,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  // A hang-up that arrived after the poll still frees the port: the
  // refusal is only for a client that is really connected.
  if (session_) ReadClient();
  if (session_) {
    // The port is opened with no sharing: one client at a time.
    char busy = plat::simwire::kBusy;
    ::send(fd, &busy, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
    Log("client: refused, the port is already open");
    return;
  }
  char ok = plat::simwire::kAccepted;
  if (::send(fd, &ok, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
    ::close(fd);
    return;
  }
  session_ = new Session;
  session_->fd = fd;
  Log("client: connected");
}

void SimServer::DropClient(const char* why) {
  ::close(session_->fd);
  delete session_;
  session_ = nullptr;
  Log(std::string("client: closed (") + why + ")");
}

void SimServer::AcceptControl() {
  int fd = ::accept4(ctlFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  // One short line; a control client that dawdles is cut off after a
  // second so that the printer keeps serving.
  timeval tv{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string line;
  char buffer[512];
  while (line.find('\n') == std::string::npos && line.size() < 4096) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  line = line.substr(0, line.find('\n'));
  std::string error;
  std::string answer = "ok\n";
  Log("control: " + TrimCommand(line));
  if (!ApplyCommand(printer_, line, error)) answer = "error: " + error + "\n";
  SendWithin(fd, answer.data(), answer.size());
  ::close(fd);
}

void SimServer::ReadClient() {
  BYTE buffer[16384];
  for (;;) {
    ssize_t n = ::recv(session_->fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      session_->in.insert(session_->in.end(), buffer, buffer + n);
      // One request at most is ever outstanding.
      if (session_->in.size() > 16 + plat::simwire::kMaxChunk) {
        DropClient("request too long");
        return;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    DropClient(n == 0 ? "by the client" : std::strerror(errno));
    return;
  }
}

bool SimServer::Answer(const void* data, std::size_t size) {
  if (SendWithin(session_->fd, data, size)) return true;
  DropClient("answer not delivered");
  return false;
}

void SimServer::ServeClient() {
  namespace wire = plat::simwire;
  Session* s = session_;
  if (!s->greeted) {
    if (s->in.size() < sizeof wire::kHello) return;
    if (!std::equal(wire::kHello, wire::kHello + sizeof wire::kHello,
                    s->in.begin())) {
      DropClient("bad greeting");
      return;
    }
    s->in.erase(s->in.begin(), s->in.begin() + sizeof wire::kHello);
    s->greeted = true;
  }
  for (;;) {
    if (s->op == 0) {
      if (s->in.empty()) return;
      const char op = static_cast<char>(s->in[0]);
      if (op == wire::kFlags) {
        s->in.erase(s->in.begin());
        unsigned char answer[5] = {static_cast<unsigned char>(wire::kFlagsAnswer)};
        wire::PutU32(answer + 1, printer_.TakeFlags());
        if (!Answer(answer, sizeof answer)) return;
        continue;
      }
      if (op != wire::kWrite && op != wire::kRead) {
        DropClient("unknown request");
        return;
      }
      if (s->in.size() < 9) return;
      const DWORD wait = wire::GetU32(&s->in[1]);
      const DWORD count = wire::GetU32(&s->in[5]);
      if (count > wire::kMaxChunk || wait > 60000) {
        DropClient("request out of range");
        return;
      }
      if (op == wire::kWrite) {
        if (s->in.size() < 9 + count) return;
        s->data.assign(s->in.begin() + 9, s->in.begin() + 9 + count);
        s->in.erase(s->in.begin(), s->in.begin() + 9 + count);
        s->done = 0;
      } else {
        s->max = count;
        s->in.erase(s->in.begin(), s->in.begin() + 9);
      }
      s->op = op;
      s->waitMs = wait;
      s->start = plat::GetTickCount();
    }

    const bool late = plat::GetTickCount() - s->start >= s->waitMs;
    if (s->op == wire::kWrite) {
      s->done += static_cast<DWORD>(
          printer_.Accept(s->data.data() + s->done, s->data.size() - s->done));
      if (s->done < s->data.size() && !late) return;
      unsigned char answer[5] = {static_cast<unsigned char>(wire::kWriteAnswer)};
      wire::PutU32(answer + 1, s->done);
      s->op = 0;
      s->data.clear();
      if (!Answer(answer, sizeof answer)) return;
    } else {
      if (printer_.pendingReplyBytes() == 0 && !late) return;
      std::vector<BYTE> answer(5 + s->max);
      std::size_t n = printer_.TakeReply(answer.data() + 5, s->max);
      answer.resize(5 + n);
      answer[0] = static_cast<BYTE>(wire::kReadAnswer);
      wire::PutU32(answer.data() + 1, static_cast<DWORD>(n));
      s->op = 0;
      if (!Answer(answer.data(), answer.size())) return;
    }
  }
}

}  // namespace vprinter
