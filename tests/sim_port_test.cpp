// Tests of the sim: port against the real kelvane-printer process: data,
// replies, flags while the data stream is stuck, one client at a time,
// Close from another thread, a printer that dies, and the tool's control
// commands (on SOCKET.ctl and, for a TCP printer, its control port) and
// script. Real clock; the test thread plus a helper thread.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/state/spooler_state.h"
#include "engine/port_channel.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/posix/sim_port.h"
#include "tests/support/test_support.h"
#include "tools/vprinter/printer_script.h"
#include "tools/vprinter/sim_server.h"
#include "tools/vprinter/virtual_printer.h"

extern char** environ;

namespace {

using plat::PortDevice;

// Runs kelvane-printer with the given options on a socket in `dir`;
// stops it with SIGTERM when destroyed.
class PrinterProcess {
 public:
  PrinterProcess(const std::string& dir, std::vector<std::string> options)
      : socket_(dir + "/printer.sock"), log_(dir + "/printer.log") {
    std::vector<std::string> args = {KELVANE_PRINTER_EXE};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(socket_);
    pid_ = Spawn(args, log_);
    // Wait (bounded) for the sockets to appear.
    for (int i = 0; i < 500 && !Ready(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~PrinterProcess() { Stop(); }

  bool Ready() const {
    struct stat st {};
    return ::stat((socket_ + ".ctl").c_str(), &st) == 0;
  }

  // Exit status of the process after SIGTERM (-1 if it did not exit).
  int Stop() {
    if (pid_ <= 0) return status_;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
  }

  // Exit status once the process ends by itself (-1 if by a signal).
  int Wait() {
    if (pid_ <= 0) return status_;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
  }

  // Freezes and thaws the process, so that several events reach it
  // before its next poll.
  void Freeze() const {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGSTOP);
    int status = 0;
    ::waitpid(pid_, &status, WUNTRACED);  // until it has really stopped
  }
  void Thaw() const {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
  }

  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // Runs "kelvane-printer ctl SOCKET words..." and returns its exit code.
  int Control(std::vector<std::string> words) const {
    std::vector<std::string> args = {KELVANE_PRINTER_EXE, "ctl", socket_};
    args.insert(args.end(), words.begin(), words.end());
    pid_t pid = Spawn(args, log_ + ".ctl");
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string log() const { return kt::ReadFileBytes(log_); }
  const std::string& socket() const { return socket_; }

  static pid_t Spawn(const std::vector<std::string>& args,
                     const std::string& logPath) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

 private:
  std::string socket_;
  std::string log_;
  pid_t pid_ = -1;
  int status_ = -1;
};

std::shared_ptr<PortDevice> OpenConfigured(const std::string& socket) {
  DWORD error = 0;
  auto port = plat::OpenSimPort(socket, error);
  if (!port) return nullptr;
  plat::COMMTIMEOUTS t;
  t.WriteTotalTimeoutConstant = 110;
  t.ReadTotalTimeoutConstant = 50;
  port->SetCommTimeouts(t);
  return port;
}

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7);
  return data;
}

// A bare client of the printer socket, as the soak tests' drivers probe
// it: connect and greet; Answer() reads the one-byte reply.
class RawClient {
 public:
  explicit RawClient(const std::string& socket) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socket.c_str(), socket.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 &&
        ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      connected_ = ::send(fd_, plat::simwire::kHello, sizeof plat::simwire::kHello,
                          MSG_NOSIGNAL) == sizeof plat::simwire::kHello;
    }
  }
  ~RawClient() { Hangup(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  // The reply byte, or 0 when none came within two seconds.
  char Answer() const {
    timeval tv{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char answer = 0;
    return ::recv(fd_, &answer, 1, 0) == 1 ? answer : 0;
  }
  void Hangup() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// Reads until something arrives or about a second has passed.
std::string ReadReply(PortDevice& port) {
  char buffer[100];
  for (int i = 0; i < 20; ++i) {
    DWORD got = 0;
    if (!port.Read(buffer, sizeof buffer, &got)) return "<failed>";
    if (got > 0) return std::string(buffer, got);
  }
  return "";
}

TEST(SimPortProcess, DataStatusAndOfflineThroughTheRealPrinter) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {"--output", home.File("out.prn")});
  ASSERT_TRUE(printer.Ready()) << printer.log();
  auto port = OpenConfigured(printer.socket());
  ASSERT_NE(port, nullptr);

  const std::string block = Pattern(2048);
  DWORD written = 0;
  ASSERT_TRUE(port->Write(block.data(), 2048, &written));
  EXPECT_EQ(written, 2048u);
  DWORD flags = 99;
  ASSERT_TRUE(port->ClearCommError(flags));
  EXPECT_EQ(flags, 0u);

  // Offline: the flag shows although the printer takes no data, and a
  // write ends with nothing moved after its time-out.
  ASSERT_EQ(printer.Control({"offline"}), 0);
  ASSERT_TRUE(port->ClearCommError(flags));
  EXPECT_EQ(flags, CE_DNS);
  const DWORD start = plat::GetTickCount();
  EXPECT_FALSE(port->Write(block.data(), 2048, &written));
  EXPECT_EQ(written, 0u);
  EXPECT_GE(plat::GetTickCount() - start, 100u);
  ASSERT_TRUE(port->ClearCommError(flags));
  EXPECT_EQ(flags, CE_DNS);

  ASSERT_EQ(printer.Control({"ready"}), 0);
  ASSERT_EQ(printer.Control({"status", "ready"}), 0);
  EXPECT_EQ(ReadReply(*port), std::string("Sready\0", 7));
  ASSERT_EQ(printer.Control({"error", "2", "-1"}), 0);
  EXPECT_EQ(ReadReply(*port), std::string("E\0\0\xFF\0\x02", 6));

  // A silent printer: true with nothing after the read time-out.
  char buffer[10];
  DWORD got = 5;
  EXPECT_TRUE(port->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);

  port->Close();
  EXPECT_EQ(printer.Stop(), 0);
  EXPECT_EQ(kt::ReadFileBytes(home.File("out.prn")), block);
  EXPECT_FALSE(kt::FileExists(printer.socket()));
  EXPECT_NE(printer.log().find("state: offline"), std::string::npos);
}

TEST(SimPortProcess, FramesAreAnsweredAndLogged) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {"--first-reply-length", "8",
                                       "--levels", "-5,1,2,3"});
  ASSERT_TRUE(printer.Ready()) << printer.log();
  auto port = OpenConfigured(printer.socket());
  ASSERT_NE(port, nullptr);
  const auto& first = vprinter::frames::kFirstQuery;
  DWORD written = 0;
  ASSERT_TRUE(port->Write(first.data(), 6, &written));
  EXPECT_EQ(ReadReply(*port).size(), 8u);
  std::vector<BYTE> level = vprinter::frames::kLevelQuery;
  level.push_back(0);
  ASSERT_TRUE(port->Write(level.data(), 7, &written));
  std::string reply = ReadReply(*port);
  ASSERT_GE(reply.size(), 23u);
  EXPECT_EQ(static_cast<signed char>(reply[10]), -5);
  EXPECT_EQ(reply[22], 3);
  port->Close();
  printer.Stop();
  EXPECT_NE(printer.log().find("frame: A5 00 03 50 04 0A first-query"),
            std::string::npos)
      << printer.log();
}

TEST(SimPortProcess, SecondOpenIsRefusedWhileTheFirstHoldsThePort) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {});
  ASSERT_TRUE(printer.Ready());
  DWORD error = 0;
  auto first = plat::OpenSimPort(printer.socket(), error);
  ASSERT_NE(first, nullptr);
  auto second = plat::OpenSimPort(printer.socket(), error);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(EBUSY));
  first->Close();
  first.reset();
  // The printer notices the hang-up within its poll.
  std::shared_ptr<PortDevice> again;
  for (int i = 0; i < 100 && !again; ++i) {
    again = plat::OpenSimPort(printer.socket(), error);
    if (!again) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(again, nullptr);

  auto none = plat::OpenSimPort(home.File("nobody.sock"), error);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ENOENT));
}

// A job ends and the next one opens the port at once: the printer must have
// read the first hang-up before it answers the new client.
TEST(SimPortProcess, CloseThenReopenFromTheSameProcessIsNeverBusy) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {"--output", home.File("out.prn")});
  ASSERT_TRUE(printer.Ready()) << printer.log();
  const std::string block = Pattern(64);
  std::string expected;
  int busy = 0;
  int failed = 0;
  int refusedWhileOpen = 0;
  for (int i = 0; i < 500; ++i) {
    DWORD error = 0;
    auto port = plat::OpenSimPort(printer.socket(), error);
    if (!port) {
      (error == static_cast<DWORD>(EBUSY) ? busy : failed)++;
      continue;
    }
    if (i % 2 == 0) {
      plat::COMMTIMEOUTS t;
      t.WriteTotalTimeoutConstant = 1000;
      port->SetCommTimeouts(t);
      DWORD written = 0;
      if (port->Write(block.data(), static_cast<DWORD>(block.size()), &written)) {
        expected.append(block, 0, written);
      }
    }
    if (i % 100 == 50) {
      // Still one client at a time while the port is really open.
      DWORD secondError = 0;
      auto second = plat::OpenSimPort(printer.socket(), secondError);
      if (!second && secondError == static_cast<DWORD>(EBUSY)) ++refusedWhileOpen;
    }
    port->Close();
  }
  EXPECT_EQ(busy, 0);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(refusedWhileOpen, 5);
  EXPECT_EQ(printer.Stop(), 0);
  EXPECT_EQ(kt::ReadFileBytes(home.File("out.prn")), expected);
}

// The soak tests' probe: greet, read the answer, close, over and over
// without a shutdown(2) in between.
TEST(SimPortProcess, GreetReadCloseLoopIsAlwaysAccepted) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {});
  ASSERT_TRUE(printer.Ready()) << printer.log();
  int accepted = 0;
  for (int i = 0; i < 500; ++i) {
    RawClient client(printer.socket());
    ASSERT_TRUE(client.connected());
    if (client.Answer() == plat::simwire::kAccepted) ++accepted;
  }
  EXPECT_EQ(accepted, 500);
}

// The hang-up of the old client and the new connection reach the printer in
// the same poll (it is frozen while both happen): the new client gets the
// port, while a client that is still connected keeps it.
TEST(SimPortProcess, HangupAndNewClientInOnePollHandOverThePort) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {});
  ASSERT_TRUE(printer.Ready()) << printer.log();
  for (int i = 0; i < 5; ++i) {
    RawClient first(printer.socket());
    ASSERT_EQ(first.Answer(), plat::simwire::kAccepted);
    printer.Freeze();
    first.Hangup();
    RawClient next(printer.socket());
    RawClient third(printer.socket());
    printer.Thaw();
    EXPECT_EQ(next.Answer(), plat::simwire::kAccepted) << "round " << i;
    EXPECT_EQ(third.Answer(), plat::simwire::kBusy) << "round " << i;
  }
}

TEST(SimPortProcess, ScriptSwitchesStateMidBlock) {
  kt::TempHome home;
  kt::WriteFileBytes(home.File("script"),
                     "# paper runs out in the middle of the block\n"
                     "after-bytes 1500 paperout\n");
  PrinterProcess printer(home.path(), {"--script", home.File("script")});
  ASSERT_TRUE(printer.Ready()) << printer.log();
  auto port = OpenConfigured(printer.socket());
  ASSERT_NE(port, nullptr);
  const std::string block = Pattern(2048);
  DWORD written = 0;
  EXPECT_FALSE(port->Write(block.data(), 2048, &written));
  EXPECT_EQ(written, 1500u);
  DWORD flags = 0;
  ASSERT_TRUE(port->ClearCommError(flags));
  EXPECT_EQ(flags, CE_OOP);
}

TEST(SimPortProcess, SlowPrinterTakesPartOfABlockPerWrite) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {"--rate", "2000"});
  ASSERT_TRUE(printer.Ready());
  auto port = OpenConfigured(printer.socket());
  ASSERT_NE(port, nullptr);
  const std::string block = Pattern(2048);
  DWORD written = 0;
  // About 220 bytes fit in the 110 ms; the bounds only say "part of it".
  EXPECT_FALSE(port->Write(block.data(), 2048, &written));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, 2048u);
  DWORD flags = 99;
  ASSERT_TRUE(port->ClearCommError(flags));
  EXPECT_EQ(flags, 0u);
}

TEST(SimPortProcess, DrainEndsTheStreamAndThePrinterHangsUp) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {"--output", home.File("out.prn")});
  ASSERT_TRUE(printer.Ready());
  auto port = OpenConfigured(printer.socket());
  ASSERT_NE(port, nullptr);
  const std::string block = Pattern(2048);
  DWORD written = 0;
  ASSERT_TRUE(port->Write(block.data(), 2048, &written));
  plat::PortDelivery d;
  ASSERT_TRUE(port->QueryDelivery(d));
  EXPECT_EQ(d.state, plat::DeliveryState::Delivered);
  EXPECT_TRUE(d.counted);
  EXPECT_EQ(d.unconfirmed, 0u);
  ASSERT_TRUE(port->Drain(10000, d));
  EXPECT_EQ(d.state, plat::DeliveryState::Delivered);
  // The printer let go of the port while ours is still open: it saw the end.
  DWORD error = 0;
  auto next = plat::OpenSimPort(printer.socket(), error);
  EXPECT_NE(next, nullptr) << error;
  EXPECT_FALSE(port->Write(block.data(), 2048, &written));
  DWORD flags = 99;
  EXPECT_TRUE(port->ClearCommError(flags));
  EXPECT_EQ(flags, 0u);
  next.reset();
  port.reset();
  printer.Stop();
  EXPECT_EQ(kt::ReadFileBytes(home.File("out.prn")), block);
}

TEST(SimPortProcess, CloseFromAnotherThreadEndsAWaitingWrite) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {});
  ASSERT_TRUE(printer.Ready());
  ASSERT_EQ(printer.Control({"stall"}), 0);
  DWORD error = 0;
  auto port = plat::OpenSimPort(printer.socket(), error);
  ASSERT_NE(port, nullptr);
  plat::COMMTIMEOUTS longWait;  // far beyond the test: only Close ends it
  longWait.WriteTotalTimeoutConstant = 3600000;
  port->SetCommTimeouts(longWait);
  std::atomic<bool> done{false};
  bool result = true;
  std::thread writer([&] {
    const std::string block = Pattern(2048);
    DWORD written = 0;
    result = port->Write(block.data(), 2048, &written);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(done.load());
  port->Close();
  writer.join();
  EXPECT_FALSE(result);
}

// --- A share's port: no time-outs set ---------------------------------------

// Runs `call` on a thread and waits (generously: the bounds at stake are a
// tenth of a second) for it to end by itself; a call that does not is
// ended by closing `port`, so the test fails instead of hanging.
bool EndsByItself(PortDevice& port, const std::function<void()>& call) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    call();
    done = true;
  });
  const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done.load() && std::chrono::steady_clock::now() < guard)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const bool byItself = done.load();
  if (!byItself) port.Close();
  worker.join();
  return byItself;
}

TEST(SimPortShare, StalledWriteWithoutATimeOutEndsByItself) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {});
  ASSERT_TRUE(printer.Ready());
  ASSERT_EQ(printer.Control({"stall"}), 0);
  DWORD error = 0;
  auto port = plat::OpenSimPort(printer.socket(), error);
  ASSERT_NE(port, nullptr);
  bool result = true;
  DWORD written = 99;
  DWORD lastError = 0;
  EXPECT_TRUE(EndsByItself(*port, [&] {
    const std::string block = Pattern(2048);
    result = port->Write(block.data(), 2048, &written);
    lastError = plat::GetLastError();
  }));
  EXPECT_FALSE(result);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(lastError, static_cast<DWORD>(ETIMEDOUT));
}

// A slow printer behind a share: each write hands back the part it took,
// as a port with its time-outs set does, instead of holding the call until
// the whole block is in.
TEST(SimPortShare, SlowPrinterTakesPartOfABlockPerWrite) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {"--rate", "500"});
  ASSERT_TRUE(printer.Ready());
  DWORD error = 0;
  auto port = plat::OpenSimPort(printer.socket(), error);
  ASSERT_NE(port, nullptr);
  const std::string block = Pattern(2048);
  DWORD written = 0;
  bool result = true;
  EXPECT_TRUE(EndsByItself(*port, [&] { result = port->Write(block.data(), 2048, &written); }));
  EXPECT_FALSE(result);
  EXPECT_LT(written, 2048u);
}

TEST(SimPortShare, ReadWithoutATimeOutDoesNotWaitForData) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {});
  ASSERT_TRUE(printer.Ready());
  DWORD error = 0;
  auto port = plat::OpenSimPort(printer.socket(), error);
  ASSERT_NE(port, nullptr);
  bool result = false;
  DWORD got = 99;
  EXPECT_TRUE(EndsByItself(*port, [&] {
    char buffer[100];
    result = port->Read(buffer, sizeof buffer, &got);
  }));
  EXPECT_TRUE(result);
  EXPECT_EQ(got, 0u);
}

// Counts the write calls the engine makes on the port.
class CountingPort final : public PortDevice {
 public:
  explicit CountingPort(std::shared_ptr<PortDevice> inner) : inner_(std::move(inner)) {}
  bool Read(void* b, DWORD s, DWORD* r) override { return inner_->Read(b, s, r); }
  bool Write(const void* d, DWORD s, DWORD* w) override {
    ++writes_;
    return inner_->Write(d, s, w);
  }
  void Close() override { inner_->Close(); }
  bool SetCommMask(DWORD m) override { return inner_->SetCommMask(m); }
  bool GetCommTimeouts(plat::COMMTIMEOUTS& t) override { return inner_->GetCommTimeouts(t); }
  bool SetCommTimeouts(const plat::COMMTIMEOUTS& t) override {
    return inner_->SetCommTimeouts(t);
  }
  bool ClearCommError(DWORD& e) override { return inner_->ClearCommError(e); }
  bool DeviceIoControl(DWORD c, void* o, DWORD s, DWORD* r) override {
    return inner_->DeviceIoControl(c, o, s, r);
  }
  int writes() const { return writes_.load(); }

 private:
  std::shared_ptr<PortDevice> inner_;
  std::atomic<int> writes_{0};
};

// Cancel Print while a printer behind a share takes nothing: the engine's
// stop test after each write call must be reached, so the block ends within
// a write call or two, long before any of the job's time-outs.
TEST(SimPortShare, StopRequestEndsAStalledBlockWithinAWriteCallOrTwo) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {});
  ASSERT_TRUE(printer.Ready());
  ASSERT_EQ(printer.Control({"stall"}), 0);
  DWORD error = 0;
  auto device = plat::OpenSimPort(printer.socket(), error);
  ASSERT_NE(device, nullptr);
  auto port = std::make_shared<CountingPort>(device);
  HANDLE h = plat::RegisterHandle(port);  // no settings, as the runner leaves a share
  JobRecord job;
  job.txTimeout = 3600000;
  job.dnsTimeout = 3600000;
  {
    SpoolerLock lock;
    g_bAbortJob = 0;
    CopyField(g_szPrinterName, "Ribbon");
  }
  const std::string block = Pattern(2048);
  const BYTE* next = reinterpret_cast<const BYTE*>(block.data());
  DWORD count = 2048;
  DWORD last = 0;
  std::int32_t code = 0;
  bool wrote = true;
  std::atomic<bool> started{false};
  std::thread stopper([&] {
    while (port->writes() == 0 && !started.load()) std::this_thread::yield();
    SpoolerLock lock;
    g_bAbortJob = 1;  // what Cancel Print sets
  });
  EXPECT_TRUE(EndsByItself(*port, [&] {
    wrote = WritePortBlock(h, next, count, last, job, code);
    started = true;
  }));
  stopper.join();
  EXPECT_FALSE(wrote);
  EXPECT_EQ(code, WRITE_ABORTED);
  EXPECT_EQ(count, 2048u);  // nothing went out
  EXPECT_LE(port->writes(), 2);
  plat::CloseHandle(h);
  SpoolerLock lock;
  g_bAbortJob = 0;
}

TEST(SimPortProcess, APrinterThatDiesIsADeviceError) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {});
  ASSERT_TRUE(printer.Ready());
  auto port = OpenConfigured(printer.socket());
  ASSERT_NE(port, nullptr);
  printer.Kill();
  const std::string block = Pattern(100);
  DWORD written = 0;
  EXPECT_FALSE(port->Write(block.data(), 100, &written));
  DWORD flags = 0;
  ASSERT_TRUE(port->ClearCommError(flags));
  EXPECT_EQ(flags, CE_IOE);
}

TEST(SimPortProcess, APrinterThatComesBackIsReachedAgain) {
  // Unplugged and plugged in again: the query before the next write finds
  // it, so a job told to go on ("Ignore") goes on where it stopped.
  kt::TempHome home;
  const std::string block = Pattern(100);
  DWORD written = 0;
  DWORD flags = 0;
  std::shared_ptr<PortDevice> port;
  {
    PrinterProcess first(home.path(), {"--output", home.File("first.prn")});
    ASSERT_TRUE(first.Ready());
    port = OpenConfigured(first.socket());
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->Write(block.data(), 100, &written));
    first.Kill();
  }
  EXPECT_FALSE(port->Write(block.data(), 100, &written));
  ASSERT_TRUE(port->ClearCommError(flags));
  EXPECT_EQ(flags, CE_IOE);  // nobody there yet
  // The killed printer left its sockets; the new one makes them anew.
  ::unlink(home.File("printer.sock").c_str());
  ::unlink(home.File("printer.sock.ctl").c_str());
  PrinterProcess second(home.path(), {"--output", home.File("second.prn")});
  ASSERT_TRUE(second.Ready());
  ASSERT_TRUE(port->ClearCommError(flags));
  EXPECT_EQ(flags, 0u);
  ASSERT_TRUE(port->Write(block.data(), 100, &written));
  EXPECT_EQ(written, 100u);
  port->Close();
  port.reset();
  second.Stop();
  EXPECT_EQ(kt::ReadFileBytes(home.File("second.prn")), block);
}

TEST(SimPortProcess, ToolRejectsBadCommandsAndKeepsFilesPrivate) {
  kt::TempHome home;
  PrinterProcess printer(home.path(), {});
  ASSERT_TRUE(printer.Ready());
  EXPECT_NE(printer.Control({"levitate"}), 0);
  EXPECT_NE(printer.Control({"raw", "XYZ"}), 0);
  EXPECT_EQ(printer.Control({"raw", "41", "68", "00"}), 0);
  for (const std::string& path :
       {printer.socket(), printer.socket() + ".ctl", printer.socket() + ".prn"}) {
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0022, 0u) << path;
  }
  // A second printer on the same socket refuses to start.
  PrinterProcess twin(home.path(), {});
  EXPECT_EQ(twin.Wait(), 1);
  EXPECT_TRUE(kt::FileExists(printer.socket()));
}

TEST(SimPortProcess, ATcpPrinterTakesCtlOnItsControlPort) {
  kt::TempHome home;
  const std::string portFile = home.File("control.port");
  const std::string log = home.File("printer.log");
  const pid_t pid = PrinterProcess::Spawn(
      {KELVANE_PRINTER_EXE, "--tcp", "0", "--output", home.File("out.prn"), "--control-port",
       "0", "--control-port-file", portFile},
      log);
  for (int i = 0; i < 500 && !kt::FileExists(portFile); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string target = "tcp:127.0.0.1:" + vprinter::TrimCommand(kt::ReadFileBytes(portFile));
  auto ctl = [&](const std::string& to, const std::string& command) {
    const pid_t tool = PrinterProcess::Spawn({KELVANE_PRINTER_EXE, "ctl", to, command}, log);
    int status = 0;
    ::waitpid(tool, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  const int paperout = ctl(target, "paperout");
  const std::string seen = kt::ReadFileBytes(log);
  const int refused = ctl(target, "levitate");
  const int elsewhere = ctl("tcp:192.0.2.1:9100", "ready");
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  EXPECT_EQ(paperout, 0);
  EXPECT_NE(seen.find("state: paperout"), std::string::npos) << seen;
  EXPECT_EQ(refused, 1);
  EXPECT_EQ(elsewhere, 2);  // the control port is on the loopback only
}

// --- Control lines without a process ---------------------------------------

TEST(SimControlCommands, ApplyToThePrinter) {
  vprinter::VirtualPrinter printer;
  std::string error;
  EXPECT_TRUE(vprinter::ApplyCommand(printer, "paperout", error));
  EXPECT_EQ(printer.state(), vprinter::PrinterState::OutOfPaper);
  EXPECT_TRUE(vprinter::ApplyCommand(printer, "  message  hello there ", error));
  char buffer[32];
  std::size_t n = printer.TakeReply(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, n), std::string("Ahello there\0", 13));
  EXPECT_TRUE(vprinter::ApplyCommand(printer, "levels 1,-2,3,-4", error));
  EXPECT_EQ(printer.levels().magenta, 3);
  EXPECT_FALSE(vprinter::ApplyCommand(printer, "levels 1,2,3", error));
  EXPECT_FALSE(vprinter::ApplyCommand(printer, "error 200", error));
  EXPECT_FALSE(vprinter::ApplyCommand(printer, "ready now", error));
  EXPECT_FALSE(error.empty());
}

TEST(SimControlCommands, ScriptsAreCheckedLineByLine) {
  vprinter::VirtualPrinter printer;
  vprinter::SimServer server(printer);
  std::string error;
  EXPECT_FALSE(server.LoadScript("after-bytes 10 ready\nafter-ms x ready\n",
                                 error));
  EXPECT_NE(error.find("line 2"), std::string::npos);
  EXPECT_FALSE(server.LoadScript("after-bytes 10 fly\n", error));
  vprinter::VirtualPrinter fresh;
  vprinter::SimServer good(fresh);
  ASSERT_TRUE(good.LoadScript("after-bytes 4 offline # soon\n", error));
  EXPECT_EQ(fresh.Accept("abcdefgh", 8), 4u);
  EXPECT_EQ(fresh.state(), vprinter::PrinterState::NotSelected);
}

}  // namespace
