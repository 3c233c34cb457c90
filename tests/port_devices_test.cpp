// The real port devices: a plain file port, the printer device's status
// mapping and its time-outs (on a socket pair standing in for the device),
// a raw TCP printer on a loopback listener, and the no-sharing rule.
// Real clock, short waits. Test thread plus the threads a test starts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>

#include "app/state/spooler_state.h"
#include "engine/port_channel.h"
#include "platform/files.h"
#include "platform/port_device.h"
#include "platform/posix/file_port.h"
#include "platform/posix/lp_port.h"
#include "platform/posix/polled_port.h"
#include "platform/posix/socket_port.h"
#include "platform/profile.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// ------------------------------------------------------------- file port

TEST(FilePortTest, AppendsIsAlwaysReadyAndHasNothingToSay) {
  kt::TempHome home;
  const std::string path = home.File("out.prn");
  kt::WriteFileBytes(path, "earlier|");
  HANDLE h = plat::OpenPort(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << plat::GetLastError();
  ApplyPortSettings(h);
  DWORD n = 0;
  ASSERT_TRUE(plat::WriteFile(h, "job one", 7, &n));
  EXPECT_EQ(n, 7u);
  DWORD flags = 99;
  EXPECT_TRUE(plat::ClearCommError(h, &flags));
  EXPECT_EQ(flags, 0u);
  char buf[16];
  DWORD got = 5;
  EXPECT_TRUE(plat::ReadFile(h, buf, sizeof buf, &got));
  EXPECT_EQ(got, 0u);
  DWORD ret = 1;
  EXPECT_TRUE(plat::DeviceIoControl(h, 7, buf, 4, &ret));
  EXPECT_TRUE(plat::CloseHandle(h));

  h = plat::OpenPort(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(plat::WriteFile(h, "|two", 4, &n));
  plat::CloseHandle(h);
  EXPECT_EQ(kt::ReadFileBytes(path), "earlier|job one|two");
}

TEST(FilePortTest, DrainSyncsTheFileAndAFailedSyncIsLost) {
  kt::TempHome home;
  HANDLE h = plat::OpenPort(home.File("out.prn"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(plat::WriteFile(h, "card", 4, &n));
  plat::PortDelivery d;
  ASSERT_TRUE(plat::DrainPort(h, 0, &d));
  EXPECT_EQ(d.state, plat::DeliveryState::Delivered);
  plat::CloseHandle(h);

  // A descriptor that cannot be synced stands in for a disk that fails.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  h = plat::RegisterHandle(plat::MakeFilePort(fds[1]));
  ASSERT_TRUE(plat::WriteFile(h, "card", 4, &n));
  ASSERT_TRUE(plat::DrainPort(h, 0, &d));
  EXPECT_EQ(d.state, plat::DeliveryState::Lost);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(EINVAL));
  DWORD flags = 0;
  EXPECT_TRUE(plat::ClearCommError(h, &flags));
  EXPECT_EQ(flags, CE_IOE);
  ASSERT_TRUE(plat::QueryPortDelivery(h, &d));
  EXPECT_EQ(d.state, plat::DeliveryState::Lost);
  plat::CloseHandle(h);
  ::close(fds[0]);
}

TEST(FilePortTest, MappedPortCreatesItsFileAndOpensOnlyOnce) {
  kt::TempHome home;
  const std::string path = home.File("lpt1.prn");
  ASSERT_TRUE(plat::WriteProfileString("ports", "LPT1", path));
  HANDLE h = plat::OpenPort("lpt1:");
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << plat::GetLastError();
  EXPECT_TRUE(kt::FileExists(path));

  // No sharing: by any spelling of the name, or by its path, or as a file.
  for (const std::string& name : {std::string("LPT1:"), std::string("LPT1"), path}) {
    EXPECT_EQ(plat::OpenPort(name), INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(plat::GetLastError(), plat::ERROR_SHARING_VIOLATION_CODE) << name;
  }
  EXPECT_EQ(plat::OpenFile(path, plat::Access::Read, plat::ShareMode::ReadWrite,
                           plat::Disposition::OpenExisting),
            INVALID_HANDLE_VALUE);
  plat::CloseHandle(h);
  h = plat::OpenPort("LPT1:");
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  plat::CloseHandle(h);
}

TEST(FilePortTest, APortHeldByAnotherProcessIsTaken) {
  kt::TempHome home;
  const std::string path = home.File("shared.prn");
  ASSERT_TRUE(plat::WriteProfileString("ports", "LPT1", path));
  int toParent[2];
  int toChild[2];
  ASSERT_EQ(::pipe(toParent), 0);
  ASSERT_EQ(::pipe(toChild), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HANDLE h = plat::OpenPort("LPT1:");
    char c = h != INVALID_HANDLE_VALUE ? 'y' : 'n';
    [[maybe_unused]] auto w = ::write(toParent[1], &c, 1);
    [[maybe_unused]] auto r = ::read(toChild[0], &c, 1);
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(toParent[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  EXPECT_EQ(plat::OpenPort("lpt1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_SHARING_VIOLATION_CODE);
  ASSERT_EQ(::write(toChild[1], "x", 1), 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  HANDLE h = plat::OpenPort("LPT1:");
  EXPECT_NE(h, INVALID_HANDLE_VALUE);  // free once the other process is gone
  plat::CloseHandle(h);
  for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) ::close(fd);
}

TEST(FilePortTest, NamesThatDoNotOpen) {
  kt::TempHome home;
  char oldDir[4096];
  ASSERT_NE(::getcwd(oldDir, sizeof oldDir), nullptr);
  ASSERT_EQ(::chdir(home.path().c_str()), 0);
  for (const char* typo : {"LTP1:", "out.prn", "\\\\office\\ribbon"}) {
    EXPECT_EQ(plat::OpenPort(typo), INVALID_HANDLE_VALUE) << typo;
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ENOENT)) << typo;
  }
  EXPECT_FALSE(kt::FileExists(home.File("LTP1")));
  EXPECT_FALSE(kt::FileExists(home.File("out.prn")));

  EXPECT_EQ(plat::OpenPort(home.path()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(EISDIR));

  struct stat st {};
  if (::stat("/dev/lp8", &st) != 0) {
    EXPECT_EQ(plat::OpenPort("LPT9:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ENOENT));
    EXPECT_NE(::stat("/dev/lp8", &st), 0);  // and nothing was created there
  }
  ASSERT_EQ(::chdir(oldDir), 0);
}

TEST(FilePortTest, CommCallsOnAPlainFileHandleFail) {
  kt::TempHome home;
  const std::string path = home.File("plain");
  HANDLE h = plat::OpenFile(path, plat::Access::ReadWrite, plat::ShareMode::None,
                            plat::Disposition::OpenAlways);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD flags = 5;
  EXPECT_FALSE(plat::ClearCommError(h, &flags));
  EXPECT_EQ(flags, 0u);
  plat::COMMTIMEOUTS t;
  EXPECT_FALSE(plat::GetCommTimeouts(h, &t));
  EXPECT_FALSE(plat::SetCommMask(INVALID_HANDLE_VALUE, 1));
  plat::CloseHandle(h);
}

// ------------------------------------------------------ printer device

TEST(LpPortTest, StatusLinesMapToOneCause) {
  const int ok = plat::kLpStatusSelected | plat::kLpStatusError;
  EXPECT_EQ(plat::LpStatusToCommErrors(ok), 0u);
  EXPECT_EQ(plat::LpStatusToCommErrors(ok | 0x80 | 0x40), 0u);  // busy, ack
  EXPECT_EQ(plat::LpStatusToCommErrors(plat::kLpStatusSelected), CE_IOE);
  EXPECT_EQ(plat::LpStatusToCommErrors(plat::kLpStatusError), CE_DNS);
  EXPECT_EQ(plat::LpStatusToCommErrors(0), CE_DNS);
  EXPECT_EQ(plat::LpStatusToCommErrors(ok | plat::kLpStatusPaperOut), CE_OOP);
  // Paper out usually comes with the error line down and often offline.
  EXPECT_EQ(plat::LpStatusToCommErrors(plat::kLpStatusPaperOut), CE_OOP);
}

TEST(LpPortTest, ErrnosAreSortedIntoRetryStateAndFatal) {
  EXPECT_EQ(plat::ClassifyErrno(EINTR), plat::ErrnoClass::Retry);
  EXPECT_EQ(plat::ClassifyErrno(EAGAIN), plat::ErrnoClass::Retry);
  EXPECT_EQ(plat::ClassifyErrno(ENOSPC), plat::ErrnoClass::PrinterState);
  EXPECT_EQ(plat::ClassifyErrno(EIO), plat::ErrnoClass::PrinterState);
  EXPECT_EQ(plat::ClassifyErrno(ENODEV), plat::ErrnoClass::Fatal);
  EXPECT_EQ(plat::ClassifyErrno(EPIPE), plat::ErrnoClass::Fatal);
  EXPECT_EQ(plat::ClassifyErrno(ECONNRESET), plat::ErrnoClass::Fatal);
}

// A socket pair stands in for the device: it blocks like a printer that
// stops taking data and has no status ioctl (so no flags).
class LpPortPairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    int small = 4096;
    ::setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    printer_ = sv[1];
    handle_ = plat::RegisterHandle(std::make_shared<plat::LpPort>(sv[0]));
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (handle_ != INVALID_HANDLE_VALUE) plat::CloseHandle(handle_);
    if (printer_ >= 0) ::close(printer_);
  }
  int printer_ = -1;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TEST_F(LpPortPairTest, WriteGivesUpAfterTheWriteTimeoutWithThePartCount) {
  ApplyPortSettings(handle_);
  std::string data(1 << 20, 'p');
  DWORD n = 0;
  const auto start = Clock::now();
  EXPECT_FALSE(plat::WriteFile(handle_, data.data(), static_cast<DWORD>(data.size()), &n));
  const long took = MsSince(start);
  EXPECT_GT(n, 0u);
  EXPECT_LT(n, data.size());
  EXPECT_GE(took, 100);
  EXPECT_LT(took, 1000);
  DWORD flags = 9;
  EXPECT_TRUE(plat::ClearCommError(handle_, &flags));
  EXPECT_EQ(flags, 0u);  // a stall, not a fault

  // What the device took is exactly what the printer end receives.
  std::string got(n, '\0');
  std::size_t have = 0;
  while (have < n) {
    ssize_t r = ::read(printer_, &got[have], n - have);
    ASSERT_GT(r, 0);
    have += static_cast<std::size_t>(r);
  }
  EXPECT_EQ(got, data.substr(0, n));
}

// The stand-in, like the USB printer driver, says writable again only when
// what it was given has been taken, and hangs up when unplugged.
TEST_F(LpPortPairTest, DrainWaitsUntilTheDeviceHasTakenTheLastWrite) {
  ApplyPortSettings(handle_);
  std::string data(1 << 20, 'd');
  DWORD n = 0;
  plat::WriteFile(handle_, data.data(), static_cast<DWORD>(data.size()), &n);
  ASSERT_GT(n, 0u);
  plat::PortDelivery d;
  ASSERT_TRUE(plat::DrainPort(handle_, 0, &d));
  EXPECT_EQ(d.state, plat::DeliveryState::Sending);
  EXPECT_GT(d.unconfirmed, 0u);
  std::string got(n, '\0');
  for (std::size_t have = 0; have < n;) {
    const ssize_t r = ::read(printer_, &got[have], n - have);
    ASSERT_GT(r, 0);
    have += static_cast<std::size_t>(r);
  }
  ASSERT_TRUE(plat::DrainPort(handle_, 10000, &d));
  EXPECT_EQ(d.state, plat::DeliveryState::Delivered);

  // Unplugged while a transfer is under way.
  plat::WriteFile(handle_, data.data(), static_cast<DWORD>(data.size()), &n);
  ASSERT_GT(n, 0u);
  ::close(printer_);
  printer_ = -1;
  ASSERT_TRUE(plat::DrainPort(handle_, 10000, &d));
  EXPECT_EQ(d.state, plat::DeliveryState::Lost);
  DWORD flags = 0;
  EXPECT_TRUE(plat::ClearCommError(handle_, &flags));
  EXPECT_EQ(flags, CE_IOE);
}

TEST_F(LpPortPairTest, ReadsTheBackChannelWithinTheReadTimeout) {
  ApplyPortSettings(handle_);
  char buf[100];
  DWORD n = 7;
  auto start = Clock::now();
  EXPECT_TRUE(plat::ReadFile(handle_, buf, sizeof buf, &n));
  EXPECT_EQ(n, 0u);
  EXPECT_GE(MsSince(start), 45);
  EXPECT_LT(MsSince(start), 500);

  ASSERT_EQ(::write(printer_, "S", 1), 1);
  start = Clock::now();
  EXPECT_TRUE(plat::ReadFile(handle_, buf, sizeof buf, &n));
  EXPECT_EQ(n, 1u);
  EXPECT_LT(MsSince(start), 45);
}

TEST_F(LpPortPairTest, CloseFromAnotherThreadEndsAWaitingWrite) {
  // No time-outs set: the write would wait for a long time.
  std::string data(1 << 20, 'q');
  DWORD n = 0;
  bool ok = true;
  const auto start = Clock::now();
  std::thread writer([&] {
    ok = plat::WriteFile(handle_, data.data(), static_cast<DWORD>(data.size()), &n);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(plat::CloseHandle(handle_));
  handle_ = INVALID_HANDLE_VALUE;
  writer.join();
  EXPECT_FALSE(ok);
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_LT(n, data.size());
}

// ---------------------------------------------------------- TCP printer

class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 4);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~Listener() {
    if (conn_ >= 0) ::close(conn_);
    if (fd_ >= 0) ::close(fd_);
  }
  std::uint16_t port() const { return port_; }
  int Accept() {
    conn_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    // A read that waits for what never comes ends, failing the test
    // instead of hanging it.
    timeval patience{10, 0};
    if (conn_ >= 0) ::setsockopt(conn_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    return conn_;
  }
  std::string ReadExactly(std::size_t n) {
    std::string out(n, '\0');
    std::size_t have = 0;
    while (have < n) {
      ssize_t r = ::read(conn_, &out[have], n - have);
      if (r <= 0) break;
      have += static_cast<std::size_t>(r);
    }
    out.resize(have);
    return out;
  }
  // Closes with unread data pending, which resets the connection.
  void Drop() {
    ::close(conn_);
    conn_ = -1;
  }
  // Resets the connection whatever it holds.
  void Reset() {
    struct linger now = {1, 0};
    ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    Drop();
  }
  // Reads until the end of the stream or an error: the byte count, and in
  // `error` the errno of a failed read (0 for a clean end).
  std::size_t ReadToEnd(int& error) {
    char buf[65536];
    std::size_t total = 0;
    for (;;) {
      const ssize_t r = ::read(conn_, buf, sizeof buf);
      if (r > 0) {
        total += static_cast<std::size_t>(r);
        continue;
      }
      error = r == 0 ? 0 : errno;
      if (r < 0 && errno == EINTR) continue;
      return total;
    }
  }
  // Ends our side and waits (bounded) for the peer to acknowledge that
  // (true) or to answer with a reset (false).
  bool EndsWithoutReset() {
    ::shutdown(conn_, SHUT_WR);
    const auto give_up = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < give_up) {
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(conn_, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) return false;
      int queued = -1;
      if (::ioctl(conn_, SIOCOUTQ, &queued) == 0 && queued == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  // Someone connected and was not accepted yet.
  bool HasWaitingConnection() {
    struct pollfd pfd = {fd_, POLLIN, 0};
    return ::poll(&pfd, 1, 0) == 1;
  }
  void StopListening() {
    ::close(fd_);
    fd_ = -1;
  }
  int conn() const { return conn_; }

 private:
  int fd_ = -1;
  int conn_ = -1;
  std::uint16_t port_ = 0;
};

TEST(SocketPortTest, DataArrivesThenAStallThenABrokenConnection) {
  kt::TempHome home;
  Listener printer;
  ASSERT_TRUE(plat::WriteProfileString(
      "ports", "LPT1:", "socket://127.0.0.1:" + std::to_string(printer.port())));
  HANDLE h = plat::OpenPort("LPT1:");
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << plat::GetLastError();
  ASSERT_GE(printer.Accept(), 0);
  ApplyPortSettings(h);

  // Second open of the same printer is refused while we hold it.
  EXPECT_EQ(plat::OpenPort("lpt1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), plat::ERROR_SHARING_VIOLATION_CODE);

  DWORD n = 0;
  ASSERT_TRUE(plat::WriteFile(h, "hello printer", 13, &n));
  EXPECT_EQ(printer.ReadExactly(13), "hello printer");

  // A reply comes back on the same connection.
  ASSERT_EQ(::write(printer.conn(), "A\0", 2), 2);
  char reply[100];
  DWORD got = 0;
  ASSERT_TRUE(ReadPortWithTimeout(h, reply, sizeof reply, got, 500));
  EXPECT_EQ(got, 2u);

  // The printer stops reading: blocks go out until the buffers are full,
  // then a block is only partly written and the engine sees a stall.
  JobRecord job;
  job.txTimeout = 400;
  BYTE block[2048];
  std::memset(block, 'x', sizeof block);
  std::int32_t code = 0;
  bool stalled = false;
  const auto start = Clock::now();
  for (int i = 0; i < 100000 && !stalled && MsSince(start) < 20000; ++i) {
    const BYTE* p = block;
    DWORD count = sizeof block;
    DWORD last = 0;
    if (!WritePortBlock(h, p, count, last, job, code)) stalled = true;
  }
  ASSERT_TRUE(stalled);
  EXPECT_EQ(code, ERROR_COUNTER_TIMEOUT);
  DWORD flags = 7;
  EXPECT_TRUE(plat::ClearCommError(h, &flags));
  EXPECT_EQ(flags, 0u);

  // The printer goes away: the port reports a device error.
  printer.Drop();
  bool broken = false;
  for (int i = 0; i < 50 && !broken; ++i) {
    plat::ClearCommError(h, &flags);
    if (flags & CE_IOE) broken = true;
    if (!broken) {
      plat::WriteFile(h, block, sizeof block, &n);
      plat::ClearCommError(h, &flags);
      broken = (flags & CE_IOE) != 0;
    }
  }
  EXPECT_TRUE(broken);
  plat::CloseHandle(h);
}

TEST(SocketPortTest, RefusedConnectionOpensButReportsADeviceError) {
  kt::TempHome home;
  std::uint16_t port;
  {
    Listener gone;
    port = gone.port();
  }
  ASSERT_TRUE(plat::WriteProfileString("ports", "LPT2",
                                       "socket://127.0.0.1:" + std::to_string(port)));
  HANDLE h = plat::OpenPort("LPT2:");
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << plat::GetLastError();
  ApplyPortSettings(h);
  JobRecord job;
  BYTE block[16] = {};
  const BYTE* p = block;
  DWORD count = sizeof block;
  DWORD last = 0;
  std::int32_t code = 0;
  EXPECT_FALSE(WritePortBlock(h, p, count, last, job, code));
  EXPECT_EQ(code, ERROR_IO_DEVICE);
  plat::CloseHandle(h);
}

TEST(SocketPortTest, RedirectedDeviceReachesTheShareMappedInPorts) {
  kt::TempHome home;
  Listener printer;
  ASSERT_TRUE(plat::WriteProfileString(
      "ports", "\\\\office\\ribbon",
      "socket://127.0.0.1:" + std::to_string(printer.port())));
  ASSERT_EQ(CaptureNetworkPort("\\\\office\\ribbon"), 0);
  HANDLE h = plat::OpenPort(g_szNetDevice);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << plat::GetLastError();
  ASSERT_GE(printer.Accept(), 0);
  DWORD n = 0;
  ASSERT_TRUE(plat::WriteFile(h, "via share", 9, &n));
  EXPECT_EQ(printer.ReadExactly(9), "via share");
  plat::CloseHandle(h);
}

TEST(SocketPortTest, CloseFromAnotherThreadEndsAWaitingWrite) {
  kt::TempHome home;
  Listener printer;
  DWORD error = 0;
  auto device = plat::OpenSocketPort("127.0.0.1", printer.port(), error);
  ASSERT_NE(device, nullptr);
  ASSERT_GE(printer.Accept(), 0);
  HANDLE h = plat::RegisterHandle(device);
  // A time-out far beyond the test: only the close can end the write.
  plat::COMMTIMEOUTS longWait;
  longWait.WriteTotalTimeoutConstant = 3600000;
  ASSERT_TRUE(plat::SetCommTimeouts(h, &longWait));
  std::string data(32 << 20, 'z');
  DWORD n = 0;
  bool ok = true;
  const auto start = Clock::now();
  std::thread writer([&] {
    ok = plat::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  plat::CloseHandle(h);
  writer.join();
  EXPECT_FALSE(ok);
  EXPECT_LT(n, data.size());
  EXPECT_LT(MsSince(start), 3000);
}

// A share's port gets no time-outs: a printer that stops reading must still
// let the write end by itself within the unset bound, with the part it
// took, so the engine can test its stop request between calls.
TEST(SocketPortTest, StalledWriteWithoutATimeOutEndsByItself) {
  kt::TempHome home;
  Listener printer;
  DWORD error = 0;
  auto device = plat::OpenSocketPort("127.0.0.1", printer.port(), error);
  ASSERT_NE(device, nullptr);
  ASSERT_GE(printer.Accept(), 0);  // and never reads
  HANDLE h = plat::RegisterHandle(device);
  std::string data(32 << 20, 'z');
  DWORD n = 0;
  bool ok = true;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    ok = plat::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n);
    done = true;
  });
  // Generous against the bound at stake (a tenth of a second); a write that
  // does not end by itself is ended by the close so the test cannot hang.
  const auto guard = Clock::now() + std::chrono::seconds(10);
  while (!done.load() && Clock::now() < guard)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const bool byItself = done.load();
  plat::CloseHandle(h);
  writer.join();
  EXPECT_TRUE(byItself);
  EXPECT_FALSE(ok);
  EXPECT_LT(n, data.size());
}


// ------------------------------------------- TCP printer: what it took

// A port on `printer`, connected and accepted, whose writes may wait long
// enough for any buffer the test fills.
HANDLE OpenAccepted(Listener& printer) {
  DWORD error = 0;
  auto device = plat::OpenSocketPort("127.0.0.1", printer.port(), error);
  if (!device || printer.Accept() < 0) return INVALID_HANDLE_VALUE;
  HANDLE h = plat::RegisterHandle(device);
  plat::COMMTIMEOUTS t;
  t.WriteTotalTimeoutConstant = 2000;
  plat::SetCommTimeouts(h, &t);
  return h;
}

bool WriteAll(HANDLE h, const std::string& data) {
  DWORD n = 0;
  return plat::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n) &&
         n == data.size();
}

// Drains in short calls while the port is in one of `states`, for at most a
// generous while.
plat::PortDelivery DrainWhile(HANDLE h, std::initializer_list<plat::DeliveryState> states) {
  plat::PortDelivery d;
  const auto give_up = Clock::now() + std::chrono::seconds(20);
  do {
    EXPECT_TRUE(plat::DrainPort(h, 20, &d));
  } while (std::find(states.begin(), states.end(), d.state) != states.end() &&
           Clock::now() < give_up);
  return d;
}

using State = plat::DeliveryState;

TEST(SocketDeliveryTest, APrinterThatReadsSlowlyIsSendingUntilItHasEveryByteAndCloses) {
  Listener printer;  // takes a few KiB at a time into its small buffer
  HANDLE h = OpenAccepted(printer);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::string job(64 << 10, 'j');
  ASSERT_TRUE(WriteAll(h, job));

  plat::PortDelivery first;
  ASSERT_TRUE(plat::DrainPort(h, 0, &first));
  EXPECT_EQ(first.state, State::Sending);
  ASSERT_TRUE(first.counted);
  EXPECT_GT(first.unconfirmed, 16u << 10);  // more than the printer can hold
  EXPECT_LE(first.unconfirmed, job.size());  // and never the end of stream

  ASSERT_EQ(printer.ReadExactly(16 << 10).size(), 16u << 10);
  plat::PortDelivery later;
  const auto give_up = Clock::now() + std::chrono::seconds(20);
  do {
    ASSERT_TRUE(plat::DrainPort(h, 20, &later));
  } while (later.unconfirmed == first.unconfirmed && Clock::now() < give_up);
  EXPECT_EQ(later.state, State::Sending);
  EXPECT_LT(later.unconfirmed, first.unconfirmed);
  EXPECT_GT(later.unconfirmed, 0u);
  plat::PortDelivery query;
  ASSERT_TRUE(plat::QueryPortDelivery(h, &query));
  EXPECT_EQ(query.state, State::Sending);

  // It reads to the end of the job and closes.
  int error = -1;
  EXPECT_EQ(printer.ReadToEnd(error), job.size() - (16 << 10));
  EXPECT_EQ(error, 0);
  printer.Drop();
  const plat::PortDelivery d = DrainWhile(h, {State::Sending, State::Acknowledged});
  EXPECT_EQ(d.state, State::Delivered);
  EXPECT_TRUE(d.counted);
  EXPECT_EQ(d.unconfirmed, 0u);
  plat::CloseHandle(h);
}

TEST(SocketDeliveryTest, APrinterThatKeepsItsSideOpenHasAcknowledgedAndIsNotReset) {
  Listener printer;
  HANDLE h = OpenAccepted(printer);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::string job(20000, 'k');
  ASSERT_TRUE(WriteAll(h, job));
  EXPECT_EQ(printer.ReadExactly(job.size()).size(), job.size());
  const plat::PortDelivery d = DrainWhile(h, {State::Sending});
  EXPECT_EQ(d.state, State::Acknowledged);
  EXPECT_EQ(d.unconfirmed, 0u);

  // A status line arrives after the last look and is never read: the close
  // must still end the connection cleanly, not reset it.
  ASSERT_EQ(::write(printer.conn(), "status", 6), 6);
  const auto give_up = Clock::now() + std::chrono::seconds(10);
  int queued = -1;
  while ((::ioctl(printer.conn(), SIOCOUTQ, &queued) != 0 || queued != 0) &&
         Clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(queued, 0);
  plat::CloseHandle(h);
  EXPECT_TRUE(printer.EndsWithoutReset());
}

TEST(SocketDeliveryTest, AConnectionIsMadeAgainOnlyIfItBrokeBeforeCarryingAByte) {
  Listener printer;
  HANDLE h = OpenAccepted(printer);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // Broken before the job's first byte: the printer was busy or restarted.
  printer.Reset();
  DWORD flags = 0;
  const auto give_up = Clock::now() + std::chrono::seconds(10);
  do {
    plat::ClearCommError(h, &flags);
  } while (!(flags & CE_IOE) && Clock::now() < give_up);
  ASSERT_TRUE(flags & CE_IOE);
  ASSERT_TRUE(WriteAll(h, std::string(4096, 'a')));
  ASSERT_GE(printer.Accept(), 0);
  EXPECT_EQ(printer.ReadExactly(4096).size(), 4096u);

  // It takes part of the job and resets: the rest is lost, and it must not
  // arrive on a new connection, which the printer would take for a new job.
  ASSERT_TRUE(WriteAll(h, std::string(32 << 10, 'b')));
  printer.Reset();
  plat::PortDelivery d;
  do {
    ASSERT_TRUE(plat::QueryPortDelivery(h, &d));
    if (d.state != State::Lost) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (d.state != State::Lost && Clock::now() < give_up);
  EXPECT_EQ(d.state, State::Lost);
  plat::ClearCommError(h, &flags);
  EXPECT_EQ(flags, CE_IOE);
  DWORD n = 0;
  EXPECT_FALSE(plat::WriteFile(h, "rest", 4, &n));
  EXPECT_EQ(n, 0u);
  plat::ClearCommError(h, &flags);
  EXPECT_EQ(flags, CE_IOE);
  EXPECT_FALSE(printer.HasWaitingConnection());
  ASSERT_TRUE(plat::DrainPort(h, 0, &d));
  EXPECT_EQ(d.state, State::Lost);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ECONNRESET));
  plat::CloseHandle(h);
}

TEST(SocketDeliveryTest, ACancelledJobResetsTheConnectionInsteadOfSendingTheRest) {
  Listener printer;  // reads nothing until the port is closed
  HANDLE h = OpenAccepted(printer);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::string job(8 << 20, 'c');
  DWORD n = 0;
  plat::COMMTIMEOUTS t;
  t.WriteTotalTimeoutConstant = 200;
  ASSERT_TRUE(plat::SetCommTimeouts(h, &t));
  plat::WriteFile(h, job.data(), static_cast<DWORD>(job.size()), &n);
  ASSERT_GT(n, 0u);
  DWORD returned = 1;
  EXPECT_TRUE(plat::DeviceIoControl(h, plat::kCancelJobIoControl, nullptr, 0, &returned));
  EXPECT_EQ(returned, 0u);
  plat::CloseHandle(h);
  int error = 0;
  EXPECT_LT(printer.ReadToEnd(error), n);
  EXPECT_EQ(error, ECONNRESET);
}

// The spooler killed with the connection open: the system closes it for
// us, and the printer must be able to tell a cut job from a whole one.
TEST(SocketDeliveryTest, ASpoolerKilledMidJobResetsTheConnectionButNotAfterTheJobsEnd) {
  for (const bool ended : {false, true}) {
    SCOPED_TRACE(ended ? "killed after the job's end" : "killed in the middle of the job");
    Listener printer;  // reads nothing until the spooler is gone
    // The ended job fits the sending side's buffers, not the printer's: the
    // system still has most of it to send when the spooler dies.
    const std::string job(ended ? 256 << 10 : 8 << 20, 'k');
    const pid_t spooler = ::fork();
    ASSERT_GE(spooler, 0);
    if (spooler == 0) {
      DWORD error = 0;
      auto device = plat::OpenSocketPort("127.0.0.1", printer.port(), error);
      HANDLE h = device ? plat::RegisterHandle(device) : INVALID_HANDLE_VALUE;
      plat::COMMTIMEOUTS t;
      t.WriteTotalTimeoutConstant = 200;
      if (h == INVALID_HANDLE_VALUE || !plat::SetCommTimeouts(h, &t)) ::_exit(1);
      DWORD n = 0;
      plat::WriteFile(h, job.data(), static_cast<DWORD>(job.size()), &n);
      if (n != job.size() && (ended || n == 0)) ::_exit(1);
      plat::PortDelivery d;
      if (ended && !plat::DrainPort(h, 0, &d)) ::_exit(1);
      ::raise(SIGKILL);
      ::_exit(1);
    }
    int status = 0;
    const auto give_up = Clock::now() + std::chrono::seconds(10);
    while (!printer.HasWaitingConnection() && ::waitpid(spooler, &status, WNOHANG) == 0 &&
           Clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(printer.HasWaitingConnection());
    ASSERT_GE(printer.Accept(), 0);
    ASSERT_EQ(::waitpid(spooler, &status, 0), spooler);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    int error = -1;
    const std::size_t received = printer.ReadToEnd(error);
    if (ended) {
      EXPECT_EQ(received, job.size());
      EXPECT_EQ(error, 0);
    } else {
      EXPECT_LT(received, job.size());
      EXPECT_EQ(error, ECONNRESET);
    }
  }
}

}  // namespace
