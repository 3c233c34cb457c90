// The simulated printer's TCP server (see tcp_server.h).
// Run() owns the sockets and runs on one thread; Stop() only sets a flag
// that Run() looks at between waits of at most kIdleWaitMs.
#include "tools/vprinter/tcp_server.h"

#include <algorithm>

#include "platform/clock.h"

namespace vprinter {
namespace {

constexpr int kIdleWaitMs = 50;
constexpr std::size_t kReadSize = 4096;

}  // namespace

TcpServer::TcpServer(VirtualPrinter& printer) : printer_(printer) {}

TcpServer::~TcpServer() {
  tcp::Close(client_);
  tcp::Close(listener_);
}

void TcpServer::Log(const std::string& line) {
  if (logSink_) logSink_(line);
}

bool TcpServer::Listen(std::uint16_t port, std::string& error) {
  if (!tcp::Start(error)) return false;
  listener_ = tcp::Listen(port, port_, error);
  // Clients may connect from here: the script's time starts now.
  start_ = plat::GetTickCount();
  return listener_ != tcp::kNoSocket;
}

bool TcpServer::LoadScript(const std::string& text, std::string& error) {
  return vprinter::LoadScript(printer_, text, timed_,
                              [this](const std::string& line) { Log(line); }, error);
}

void TcpServer::DropClient(const char* why) {
  tcp::Close(client_);
  client_ = tcp::kNoSocket;
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
  if (client_ == tcp::kNoSocket) return moved;
  if (received_.empty()) {
    BYTE buffer[kReadSize];
    const long n = tcp::Receive(client_, buffer, sizeof buffer);
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
    const long sent = tcp::Send(client_, replies_.data(), replies_.size());
    if (sent < 0) {
      DropClient("broken");
      return true;
    }
    replies_.erase(replies_.begin(), replies_.begin() + sent);
    moved = moved || sent > 0;
  }
  return moved;
}

void TcpServer::Run() {
  const DWORD start = start_;
  std::size_t nextTimed = 0;
  Log("printer: listening on 127.0.0.1:" + std::to_string(port_));
  while (!stop_.load()) {
    if (client_ == tcp::kNoSocket) {
      client_ = tcp::Accept(listener_);
      if (client_ != tcp::kNoSocket) Log("client: connected");
    }
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
    tcp::Wait(client_ == tcp::kNoSocket ? listener_ : tcp::kNoSocket, client_,
              received_.empty(), !replies_.empty(), wait);
  }
  if (client_ != tcp::kNoSocket) DropClient("server ends");
}

}  // namespace vprinter
