// The CUPS backend's side channel server: its thread answers requests on a
// socket as the print service's, holds a drain until the job's end, and
// leaves the cancel signals to the main thread.
// Test thread and the server's thread.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tools/cups_backend/side_channel_server.h"

namespace {

using namespace cupsbackend;
using namespace std::string_literals;

// Far beyond any answer: reached only when none comes.
constexpr int kNoAnswerMs = 10000;

class CupsSideChannelServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // As the print service makes it: a stream socket pair, non-blocking.
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends_), 0);
  }
  void TearDown() override {
    if (ends_[0] >= 0) ::close(ends_[0]);
    ::close(ends_[1]);
  }
  int asker() const { return ends_[0]; }
  int backend() const { return ends_[1]; }

  void Ask(const std::string& request) {
    ASSERT_EQ(::send(asker(), request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
  }
  // The next response, "" when none came.
  std::string Response() {
    std::string bytes;
    while (bytes.size() < 4 || bytes.size() < 4 + Length(bytes)) {
      struct pollfd ready {asker(), POLLIN, 0};
      if (::poll(&ready, 1, kNoAnswerMs) != 1) return bytes;
      char buffer[256];
      // The header first, then as much as it says: never into the next.
      const std::size_t want =
          bytes.size() < 4 ? 4 - bytes.size() : 4 + Length(bytes) - bytes.size();
      const ssize_t got = ::recv(asker(), buffer, std::min(want, sizeof buffer), 0);
      if (got <= 0) return bytes;
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
  }
  // True when a response is waiting to be read (no wait).
  bool HasResponse() {
    struct pollfd ready {asker(), POLLIN, 0};
    return ::poll(&ready, 1, 0) == 1;
  }
  static std::size_t Length(const std::string& header) {
    return (static_cast<std::size_t>(static_cast<unsigned char>(header[2])) << 8) |
           static_cast<unsigned char>(header[3]);
  }

  int ends_[2] = {-1, -1};
};

TEST_F(CupsSideChannelServerTest, AnswersEachRequestWithWhatTheBackendKnowsNow) {
  SideChannelServer server(backend());
  ASSERT_TRUE(server.serving());
  Ask("\x08\x00\x00\x00"s);
  EXPECT_EQ(Response(), "\x08\x01\x00\x01\x01"s);  // connected
  Ask("\x03\x00\x00\x00"s);
  EXPECT_EQ(Response(), "\x03\x01\x00\x01\x00"s);  // no back channel
  Ask("\x04\x00\x00\x00"s);
  EXPECT_EQ(Response(), "\x04\x01\x00\x00"s);      // no device ID
  Ask("\x05\x00\x00\x00"s);
  EXPECT_EQ(Response(), "\x05\x01\x00\x01\x01"s);  // online

  server.SetPrinterState({"media-empty"}, true);
  Ask("\x05\x00\x00\x00"s);
  EXPECT_EQ(Response(), "\x05\x01\x00\x01\x23"s);  // online, busy, no cards
  server.SetPrinterState({"offline-report"}, true);
  Ask("\x05\x00\x00\x00"s);
  EXPECT_EQ(Response(), "\x05\x01\x00\x01\x00"s);  // offline
  Ask("\x08\x00\x00\x00"s);
  EXPECT_EQ(Response(), "\x08\x01\x00\x01\x00"s);  // not connected

  // Two requests in one write, a bad one, and an SNMP query with its OID.
  Ask("\x08\x00\x00\x00\x03\x00\x00\x00"s);
  EXPECT_EQ(Response(), "\x08\x01\x00\x01\x00"s);
  EXPECT_EQ(Response(), "\x03\x01\x00\x01\x00"s);
  Ask("\x05\x00\x00\x09xx"s);
  EXPECT_EQ(Response(), "\x05\x05\x00\x00"s);
  Ask("\x06\x00\x00\x03.1\0"s);
  EXPECT_EQ(Response(), "\x06\x07\x00\x00"s);
}

TEST_F(CupsSideChannelServerTest, ADrainIsAnsweredAtTheJobsEndAndOthersMeanwhile) {
  SideChannelServer server(backend());
  ASSERT_TRUE(server.serving());
  Ask("\x02\x00\x00\x00"s);
  server.SetPrinterState({}, true);
  // The drain waits; what is asked after it is answered before it.
  Ask("\x05\x00\x00\x00"s);
  EXPECT_EQ(Response(), "\x05\x01\x00\x01\x03"s);
  Ask("\x02\x00\x00\x00"s);  // a second asker drains too
  Ask("\x08\x00\x00\x00"s);
  EXPECT_EQ(Response(), "\x08\x01\x00\x01\x01"s);
  EXPECT_FALSE(HasResponse());

  server.SetPrinterState({}, false);
  server.EndJob(true);
  EXPECT_EQ(Response(), "\x02\x01\x00\x00"s);
  EXPECT_EQ(Response(), "\x02\x01\x00\x00"s);
  // Once the job printed, a drain is answered at once.
  Ask("\x02\x00\x00\x00"s);
  EXPECT_EQ(Response(), "\x02\x01\x00\x00"s);
}

TEST_F(CupsSideChannelServerTest, AJobThatEndsUnprintedFailsItsDrains) {
  {
    SideChannelServer server(backend());
    Ask("\x02\x00\x00\x00"s);
    Ask("\x08\x00\x00\x00"s);  // answered: the drain was read and waits
    EXPECT_EQ(Response(), "\x08\x01\x00\x01\x01"s);
    server.EndJob(false);
    EXPECT_EQ(Response(), "\x02\x02\x00\x00"s);
    Ask("\x02\x00\x00\x00"s);
    EXPECT_EQ(Response(), "\x02\x02\x00\x00"s);
  }
  // A backend that returns without saying how its job ended (refused,
  // failed, cancelled) does not leave a drain waiting either.
  {
    SideChannelServer server(backend());
    Ask("\x02\x00\x00\x00"s);
    Ask("\x08\x00\x00\x00"s);
    EXPECT_EQ(Response(), "\x08\x01\x00\x01\x01"s);
  }
  EXPECT_EQ(Response(), "\x02\x02\x00\x00"s);
}

TEST_F(CupsSideChannelServerTest, StopsWhenEveryAskerHasGone) {
  SideChannelServer server(backend());
  Ask("\x08\x00\x00\x00"s);
  EXPECT_EQ(Response(), "\x08\x01\x00\x01\x01"s);
  ::close(ends_[0]);
  ends_[0] = -1;
  server.EndJob(true);
  // The destructor joins a thread that no longer reads the socket.
}

TEST_F(CupsSideChannelServerTest, StartsNothingWithoutASocket) {
  int pipeEnds[2];
  ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
  {
    SideChannelServer onPipe(pipeEnds[0]);
    EXPECT_FALSE(onPipe.serving());
  }
  ::close(pipeEnds[0]);
  ::close(pipeEnds[1]);
  SideChannelServer closed(-1);
  EXPECT_FALSE(closed.serving());
}

volatile sig_atomic_t g_handled = 0;
void NoteSignal(int) { g_handled = 1; }

// A cancel must reach the main thread: there it ends the backend's waits.
// The server is started while the signals are open, as in the backend;
// once they are blocked here, one sent to the process can only be taken by
// a thread that does not block it, and the server's must not be one.
TEST_F(CupsSideChannelServerTest, TheCancelSignalsAreNotTakenByTheServersThread) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    g_handled = 0;
    struct sigaction note {}, before {};
    note.sa_handler = NoteSignal;
    sigemptyset(&note.sa_mask);
    ASSERT_EQ(::sigaction(signal, &note, &before), 0);
    sigset_t only, previous;
    sigemptyset(&only);
    sigaddset(&only, signal);
    {
      SideChannelServer server(backend());
      ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &only, &previous), 0);
      Ask("\x08\x00\x00\x00"s);
      EXPECT_EQ(Response(), "\x08\x01\x00\x01\x01"s);
      ASSERT_EQ(::kill(::getpid(), signal), 0);
      // The server wakes for this request; a signal it did not block would
      // be handled on its way back from the wait.
      Ask("\x05\x00\x00\x00"s);
      EXPECT_EQ(Response(), "\x05\x01\x00\x01\x01"s);
      EXPECT_EQ(g_handled, 0);
      sigset_t pending;
      sigpending(&pending);
      EXPECT_EQ(sigismember(&pending, signal), 1);
    }
    const struct timespec none {0, 0};
    EXPECT_EQ(::sigtimedwait(&only, nullptr, &none), signal);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::sigaction(signal, &before, nullptr);
  }
}

}  // namespace
