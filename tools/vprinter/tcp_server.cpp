// The simulated printer's TCP server and its control port (see
// tcp_server.h). Run() owns the sockets and runs on one thread; Stop() only
// sets a flag that Run() looks at between waits of at most kIdleWaitMs.
// SendControlLine runs on its caller's thread with a socket of its own.
#include "tools/vprinter/tcp_server.h"

#include <algorithm>

#include "platform/clock.h"

namespace vprinter {
namespace {

constexpr int kIdleWaitMs = 50;
constexpr std::size_t kReadSize = 4096;
// A control line is short; a client that sends none within a second is cut
// off so that the printer keeps serving, as on the control socket.
constexpr std::size_t kMaxControlLine = 4096;
constexpr DWORD kControlPatienceMs = 1000;

}  // namespace

TcpServer::TcpServer(VirtualPrinter& printer) : printer_(printer) {}

TcpServer::~TcpServer() {
  plat::tcp::Close(control_);
  plat::tcp::Close(controlListener_);
  plat::tcp::Close(client_);
  plat::tcp::Close(listener_);
}

void TcpServer::Log(const std::string& line) {
  if (logSink_) logSink_(line);
}

bool TcpServer::Listen(std::uint16_t port, std::string& error) {
  if (!plat::tcp::Start(error)) return false;
  listener_ = plat::tcp::Listen(port, port_, error);
  // Clients may connect from here: the script's time starts now.
  start_ = plat::GetTickCount();
  return listener_ != plat::tcp::kNoSocket;
}

bool TcpServer::ListenControl(std::uint16_t port, std::string& error) {
  if (!plat::tcp::Start(error)) return false;
  controlListener_ = plat::tcp::Listen(port, controlPort_, error);
  return controlListener_ != plat::tcp::kNoSocket;
}

bool TcpServer::LoadScript(const std::string& text, std::string& error) {
  return vprinter::LoadScript(printer_, text, timed_,
                              [this](const std::string& line) { Log(line); }, error);
}

void TcpServer::DropClient(const char* why) {
  plat::tcp::Close(client_);
  client_ = plat::tcp::kNoSocket;
  // Replies were for that client; the next one asks again.
  replies_.clear();
  printer_.ClearReplies();
  Log(std::string("client: gone (") + why + ")");
}

bool TcpServer::Pump() {
  bool moved = false;
  if (!received_.empty()) {
    const std::size_t taken = printer_.Accept(received_.data(), received_.size());
    received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(taken));
    moved = taken > 0;
  }
  if (client_ == plat::tcp::kNoSocket) return moved;
  if (received_.empty()) {
    BYTE buffer[kReadSize];
    const long n = plat::tcp::Receive(client_, buffer, sizeof buffer);
    if (n < 0) {
      DropClient("closed");
      return true;
    }
    if (n > 0) {
      received_.assign(buffer, buffer + n);
      const std::size_t taken = printer_.Accept(received_.data(), received_.size());
      received_.erase(received_.begin(),
                      received_.begin() + static_cast<std::ptrdiff_t>(taken));
      moved = true;
    }
  }
  BYTE reply[256];
  std::size_t n;
  while ((n = printer_.TakeReply(reply, sizeof reply)) > 0)
    replies_.insert(replies_.end(), reply, reply + n);
  if (!replies_.empty()) {
    const long sent = plat::tcp::Send(client_, replies_.data(), replies_.size());
    if (sent < 0) {
      DropClient("broken");
      return true;
    }
    replies_.erase(replies_.begin(), replies_.begin() + sent);
    moved = moved || sent > 0;
  }
  return moved;
}

void TcpServer::EndControl(const std::string& answer) {
  // A few bytes into an empty send buffer: they fit. Should the client be
  // gone, it asked for no answer.
  if (!answer.empty()) plat::tcp::Send(control_, answer.data(), answer.size());
  plat::tcp::Close(control_);
  control_ = plat::tcp::kNoSocket;
  controlLine_.clear();
}

void TcpServer::ServeControl() {
  if (control_ == plat::tcp::kNoSocket) {
    control_ = plat::tcp::Accept(controlListener_);
    if (control_ == plat::tcp::kNoSocket) return;
    controlSince_ = plat::GetTickCount();
  }
  long n = 0;
  while (controlLine_.size() < kMaxControlLine) {
    char buffer[512];
    n = plat::tcp::Receive(control_, buffer, sizeof buffer);
    if (n <= 0) break;
    controlLine_.append(buffer, static_cast<std::size_t>(n));
  }
  const bool closed = n < 0;  // a line without its end, then the client's close
  const std::size_t end = controlLine_.find('\n');
  if (end == std::string::npos && !closed) {
    if (controlLine_.size() >= kMaxControlLine) {
      EndControl("error: line too long\n");
    } else if (plat::GetTickCount() - controlSince_ >= kControlPatienceMs) {
      Log("control: no command line within a second");
      EndControl("error: no command line\n");
    }
    return;
  }
  if (closed && controlLine_.empty()) {
    EndControl("");  // a look whether anyone listens: nothing to do
    return;
  }
  const std::string line = controlLine_.substr(0, end);
  Log("control: " + TrimCommand(line));
  std::string error;
  EndControl(ApplyCommand(printer_, line, error) ? "ok\n" : "error: " + error + "\n");
}

void TcpServer::Run() {
  const DWORD start = start_;
  std::size_t nextTimed = 0;
  Log("printer: listening on 127.0.0.1:" + std::to_string(port_));
  while (!stop_.load()) {
    if (client_ == plat::tcp::kNoSocket) {
      client_ = plat::tcp::Accept(listener_);
      if (client_ != plat::tcp::kNoSocket) Log("client: connected");
    }
    // Before the data: a printer kept busy still takes its commands.
    if (controlListener_ != plat::tcp::kNoSocket) ServeControl();
    while (nextTimed < timed_.size() &&
           plat::GetTickCount() - start >= timed_[nextTimed].afterMs) {
      const TimedCommand& event = timed_[nextTimed++];
      Log("script: after-ms " + std::to_string(event.afterMs) + " " + event.command);
      std::string ignored;
      ApplyCommand(printer_, event.command, ignored);
    }
    if (Pump()) continue;

    int wait = kIdleWaitMs;
    if (!received_.empty()) {
      // The printer holds back: ask it again when its rate allows.
      const DWORD ms = printer_.MsUntilAccept(received_.size());
      if (ms != VirtualPrinter::kNoAcceptExpected)
        wait = std::min<int>(wait, static_cast<int>(std::max<DWORD>(ms, 1)));
    }
    if (nextTimed < timed_.size()) {
      const DWORD elapsed = plat::GetTickCount() - start;
      const DWORD due = timed_[nextTimed].afterMs;
      wait = std::min<int>(wait, due > elapsed ? static_cast<int>(due - elapsed) : 0);
    }
    const plat::tcp::WaitFor sockets[] = {
        {client_ == plat::tcp::kNoSocket ? listener_ : plat::tcp::kNoSocket, true, false},
        {client_, received_.empty(), !replies_.empty()},
        {control_ == plat::tcp::kNoSocket ? controlListener_ : control_, true, false}};
    plat::tcp::Wait(sockets, 3, wait);
  }
  if (client_ != plat::tcp::kNoSocket) DropClient("server ends");
  if (control_ != plat::tcp::kNoSocket) EndControl("");
}

bool SendControlLine(std::uint16_t port, const std::string& line, DWORD patienceMs,
                     std::string& answer, std::string& error) {
  answer.clear();
  if (!plat::tcp::Start(error)) return false;
  const plat::tcp::Socket s = plat::tcp::Connect(port, error);
  if (s == plat::tcp::kNoSocket) return false;
  const std::string out = line + "\n";
  std::size_t sent = 0;
  bool answered = false;
  const DWORD start = plat::GetTickCount();
  for (;;) {
    if (sent < out.size()) {
      const long n = plat::tcp::Send(s, out.data() + sent, out.size() - sent);
      if (n < 0) break;
      sent += static_cast<std::size_t>(n);
    }
    char buffer[256];
    const long n = plat::tcp::Receive(s, buffer, sizeof buffer);
    if (n > 0) {
      answer.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0) {
      // The printer hangs up once it has answered.
      answered = !answer.empty();
      break;
    }
    const DWORD elapsed = plat::GetTickCount() - start;
    if (elapsed >= patienceMs) break;
    const plat::tcp::WaitFor wait{s, true, sent < out.size()};
    plat::tcp::Wait(&wait, 1, static_cast<int>(std::min<DWORD>(patienceMs - elapsed, kIdleWaitMs)));
  }
  plat::tcp::Close(s);
  if (!answered) error = "127.0.0.1:" + std::to_string(port) + ": no answer from the printer";
  return answered;
}

}  // namespace vprinter
