// The command channel: round trip through the main thread's pump, the
// socket's mode and the peer check, malformed requests dropped while the
// server keeps serving, and a client with no server.
// Test thread pumps; client threads send.
#include "platform/command_channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/command_channel_posix.h"
#include "tests/support/test_support.h"

namespace {

constexpr HWND kWindow = 31337;

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start(
        kWindow,
        [this](UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
          seen_.push_back({message, wParam, lParam});
          return static_cast<LRESULT>(wParam) * 10 + 1;
        },
        [this] { wakes_.fetch_add(1); }));
  }
  void TearDown() override { server_.Stop(); }

  // Pumps the server on this thread until `done` is ready.
  template <typename T>
  T Pump(std::future<T>& done) {
    while (done.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
      server_.ServePending();
    return done.get();
  }

  std::future<std::pair<bool, LRESULT>> SendAsync(UINT message, WPARAM wParam) {
    return std::async(std::launch::async, [message, wParam] {
      LRESULT result = -1;
      bool ok = plat::SendSpoolerMessage(kWindow, message, wParam, 7, &result, 5000);
      return std::make_pair(ok, result);
    });
  }

  // A raw connection that sends `bytes` and then reads whatever comes back
  // until the server closes.
  static std::string RawExchange(const std::string& path, const std::string& bytes) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (!bytes.empty()) {
      EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), 0),
                static_cast<ssize_t>(bytes.size()));
    }
    ::shutdown(fd, SHUT_WR);
    std::string answer;
    char buffer[64];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, n);
    ::close(fd);
    return answer;
  }

  static std::string Frame(std::uint32_t magic, std::uint32_t message, std::uint64_t wParam) {
    plat::CommandRequest request{magic, message, wParam, 0};
    return std::string(reinterpret_cast<const char*>(&request), sizeof request);
  }

  struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
  };
  kt::TempHome home_;
  plat::CommandServer server_;
  std::vector<Seen> seen_;  // written by the handler on the pumping thread
  std::atomic<int> wakes_{0};
};

TEST_F(ChannelTest, RequestRunsOnThePumpingThreadAndCarriesTheResult) {
  auto reply = SendAsync(WM_SPOOLER_COMMAND, 4);
  auto [ok, result] = Pump(reply);
  ASSERT_TRUE(ok);
  EXPECT_EQ(result, 41);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].message, WM_SPOOLER_COMMAND);
  EXPECT_EQ(seen_[0].wParam, 4u);
  EXPECT_EQ(seen_[0].lParam, 7);
  EXPECT_GE(wakes_.load(), 1);

  auto front = SendAsync(plat::kBringToFrontRequest, 0);
  EXPECT_TRUE(Pump(front).first);
  EXPECT_EQ(seen_.back().message, plat::kBringToFrontRequest);
}

TEST_F(ChannelTest, NothingRunsUntilTheMainThreadServes) {
  auto reply = SendAsync(WM_SPOOLER_COMMAND, 2);
  EXPECT_EQ(reply.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  EXPECT_TRUE(seen_.empty());
  EXPECT_EQ(Pump(reply).second, 21);
}

TEST_F(ChannelTest, SocketIsPrivateToTheUser) {
  struct stat info{};
  ASSERT_EQ(::stat(server_.socketPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  struct stat dir{};
  ASSERT_EQ(::stat((home_.path() + "/run").c_str(), &dir), 0);
  EXPECT_EQ(dir.st_mode & 0077, 0u);
  EXPECT_EQ(server_.socketPath(), plat::SpoolerSocketPath(kWindow));
}

TEST(ChannelPeerCheck, OnlyTheSameUserIsAccepted) {
  EXPECT_TRUE(plat::IsSameUser(1000, 1000));
  EXPECT_FALSE(plat::IsSameUser(0, 1000));
  EXPECT_FALSE(plat::IsSameUser(1001, 1000));
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  uid_t uid = 12345;
  ASSERT_TRUE(plat::GetPeerUid(pair[0], uid));
  EXPECT_EQ(uid, ::getuid());
  ::close(pair[0]);
  ::close(pair[1]);
  // Not a socket: the kernel cannot say, so the peer is refused.
  EXPECT_FALSE(plat::GetPeerUid(-1, uid));
}

TEST(ChannelRequestCheck, OnlyOurMagicAndMessagesPass) {
  EXPECT_TRUE(plat::IsAcceptableRequest({plat::kCommandMagic, WM_SPOOLER_COMMAND, 0, 0}));
  EXPECT_TRUE(plat::IsAcceptableRequest({plat::kCommandMagic, plat::kBringToFrontRequest, 0, 0}));
  EXPECT_FALSE(plat::IsAcceptableRequest({plat::kAnswerMagic, WM_SPOOLER_COMMAND, 0, 0}));
  EXPECT_FALSE(plat::IsAcceptableRequest({plat::kCommandMagic, WM_CLOSE, 0, 0}));
}

// The driver's "will you print queue file X?" reaches the spooler's handler
// with all 64 bits of the file's key (one small enough for the test handler's
// arithmetic).
TEST_F(ChannelTest, TheWillPrintQuestionIsCarriedWithItsQueueKey) {
  EXPECT_TRUE(plat::IsAcceptableRequest(
      {plat::kCommandMagic, plat::kWillPrintQueueRequest, 0, 0}));
  const WPARAM key = static_cast<WPARAM>(0x0123456789ABCDEull);
  auto done = SendAsync(plat::kWillPrintQueueRequest, key);
  const auto [ok, result] = Pump(done);
  ASSERT_TRUE(ok);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].message, plat::kWillPrintQueueRequest);
  EXPECT_EQ(seen_[0].wParam, key);
  EXPECT_EQ(result, static_cast<LRESULT>(key) * 10 + 1);
}

TEST(QueueFileKeyTest, SameFileSameKeyOtherFileOtherKey) {
  kt::TempHome home;
  const std::string queue = home.File("queue.txt");
  kt::WriteFileBytes(queue, "");
  const std::string dir = queue.substr(0, queue.rfind('/'));
  ASSERT_EQ(::symlink(queue.c_str(), home.File("link.txt").c_str()), 0);
  EXPECT_EQ(plat::QueueFileKey(queue), plat::QueueFileKey(dir + "/./queue.txt"));
  EXPECT_EQ(plat::QueueFileKey(queue), plat::QueueFileKey(home.File("link.txt")));
  EXPECT_NE(plat::QueueFileKey(queue), plat::QueueFileKey(home.File("other.txt")));
  // A file not there yet is named through its directory.
  EXPECT_EQ(plat::QueueFileKey(dir + "/../" + dir.substr(dir.rfind('/') + 1) + "/new.txt"),
            plat::QueueFileKey(home.File("new.txt")));
}

TEST_F(ChannelTest, MalformedRequestsAreDroppedAndServingGoesOn) {
  const std::string good = Frame(plat::kCommandMagic, WM_SPOOLER_COMMAND, 1);
  const std::vector<std::string> bad = {
      "",                                               // nothing at all
      good.substr(0, 10),                               // too short
      good + "x",                                       // too long
      Frame(0xDEADBEEF, WM_SPOOLER_COMMAND, 1),         // wrong magic
      Frame(plat::kCommandMagic, WM_CLOSE, 0),          // a message we do not carry
      std::string(4096, '\xff'),                        // garbage
  };
  for (const std::string& request : bad) {
    std::future<std::string> answer = std::async(std::launch::async, [&] {
      return RawExchange(server_.socketPath(), request);
    });
    EXPECT_EQ(Pump(answer), "") << request.size();
  }
  EXPECT_TRUE(seen_.empty());
  EXPECT_EQ(server_.droppedCount(), static_cast<int>(bad.size()));

  auto reply = SendAsync(WM_SPOOLER_COMMAND, 3);
  auto [ok, result] = Pump(reply);
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, 31);
}

TEST_F(ChannelTest, SilentClientIsCutOffByTheReadTimeOut) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, server_.socketPath().c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // The silent connection holds the listener for at most its read time-out;
  // a real request behind it is still answered well within its own limit.
  auto reply = SendAsync(WM_SPOOLER_COMMAND, 5);
  auto [ok, result] = Pump(reply);
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, 51);
  char byte;
  EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);  // closed by the server
  ::close(fd);
}

TEST_F(ChannelTest, IdleClientsHoldUpNobodysRequest) {
  // Clients that connect and say nothing each had the listener to
  // themselves for its read time-out, one after another: five of them kept
  // a driver's command unanswered for ten seconds.
  std::vector<int> idle;
  for (int i = 0; i < 5; ++i) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, server_.socketPath().c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    idle.push_back(fd);
  }
  // Well below one read time-out: only a listener that serves every
  // connection at once can answer within it.
  auto reply = std::async(std::launch::async, [] {
    LRESULT result = -1;
    bool ok = plat::SendSpoolerMessage(kWindow, WM_SPOOLER_COMMAND, 4, 0, &result,
                                       plat::CommandServer::kReadTimeoutMs / 2);
    return std::make_pair(ok, result);
  });
  auto [ok, result] = Pump(reply);
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, 41);
  for (int fd : idle) ::close(fd);
}

TEST_F(ChannelTest, AnAnswerGivenJustBeforeTheChannelStopsStillGoesOut) {
  // Command 0 closes the program: the main thread runs it, and the channel
  // stops right after. The driver must still learn that it was done.
  auto reply = SendAsync(WM_SPOOLER_COMMAND, 0);
  while (server_.ServePending() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  server_.Stop();
  auto [ok, result] = reply.get();
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, 1);
}

TEST_F(ChannelTest, ClientsBehindAFullBacklogWaitTheirTurn) {
  // Silent connections hold the listener one after another for its read
  // time-out and fill the backlog; a client that finds no slot must keep
  // trying within its own limit rather than give up at once.
  std::vector<int> silent;
  auto fill = [&] {
    for (int i = 0; i < 16; ++i) {
      int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, server_.socketPath().c_str(),
                   sizeof address.sun_path - 1);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return;  // the backlog is full
      }
      silent.push_back(fd);
    }
  };
  fill();
  // The listener takes the first one off the backlog when it gets to it;
  // fill the slot that leaves.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  fill();
  ASSERT_GE(silent.size(), 2u);
  const auto started = std::chrono::steady_clock::now();
  auto reply = std::async(std::launch::async, [] {
    LRESULT result = -1;
    bool ok = plat::SendSpoolerMessage(kWindow, WM_SPOOLER_COMMAND, 2, 0, &result, 60000);
    return std::make_pair(ok, result);
  });
  // Give the client time to find the backlog full (a client that gave up
  // at the first refusal would be done by now), then let the listener
  // through the silent ones quickly by closing them.
  EXPECT_EQ(reply.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  for (int fd : silent) ::close(fd);
  auto [ok, result] = Pump(reply);
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, 21);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

TEST_F(ChannelTest, StopRemovesTheSocketAndClientsGetNoAnswer) {
  const std::string path = server_.socketPath();
  server_.Stop();
  EXPECT_FALSE(kt::FileExists(path));
  LRESULT result = 0;
  EXPECT_FALSE(plat::SendSpoolerMessage(kWindow, WM_SPOOLER_COMMAND, 0, 0, &result, 200));
  EXPECT_FALSE(plat::SendSpoolerMessage(0, WM_SPOOLER_COMMAND, 0, 0, &result, 200));
}

TEST_F(ChannelTest, StaleSocketOfADeadSpoolerIsReplaced) {
  plat::CommandServer second;
  // Same number as a spooler that died without removing its socket.
  server_.Stop();
  kt::WriteFileBytes(plat::SpoolerSocketPath(kWindow), "stale");
  ASSERT_TRUE(second.Start(kWindow, [](UINT, WPARAM, LPARAM) -> LRESULT { return 9; },
                           nullptr));
  auto reply = std::async(std::launch::async, [] {
    LRESULT result = 0;
    plat::SendSpoolerMessage(kWindow, WM_SPOOLER_COMMAND, 0, 0, &result, 5000);
    return result;
  });
  while (reply.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
    second.ServePending();
  EXPECT_EQ(reply.get(), 9);
}

}  // namespace
