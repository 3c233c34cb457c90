// The Windows port devices on the real services: a file port, a raw TCP
// printer over Winsock against a listener of the test's own, the printer
// device restriction of the network redirection, and the installed-printer
// list.
// Test thread only.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/state/spooler_state.h"
#include "engine/port_channel.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/net_redirect.h"
#include "platform/port_device.h"
#include "platform/printers.h"
#include "platform/win32/windows_api.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteAll(HANDLE port, const std::string& data) {
  DWORD written = 0;
  return plat::WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written) &&
         written == data.size();
}

// A file path of its own in the temporary folder, removed at the end.
class TempPath {
 public:
  explicit TempPath(const char* name) {
    char dir[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, dir);
    path_ = std::string(dir) + "kelvane-" + std::to_string(::GetCurrentProcessId()) + "-" + name;
    ::DeleteFileA(path_.c_str());
  }
  ~TempPath() { ::DeleteFileA(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(WindowsFilePortTest, AppendsWhatIsPrintedAndHoldsTheFileAlone) {
  TempPath file("file-port.prn");
  HANDLE port = plat::OpenPort(file.path());
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << plat::GetLastError();
  EXPECT_TRUE(WriteAll(port, "first "));
  // No sharing: a second opener is refused while the port is held.
  EXPECT_EQ(plat::OpenPort(file.path()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  ASSERT_TRUE(plat::CloseHandle(port));

  port = plat::OpenPort(file.path());
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(WriteAll(port, "second"));
  ASSERT_TRUE(plat::CloseHandle(port));
  EXPECT_EQ(ReadAll(file.path()), "first second");
}

TEST(WindowsFilePortTest, KeepsTheSettingsAndRaisesNoFlags) {
  TempPath file("settings.prn");
  HANDLE port = plat::OpenPort(file.path());
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  plat::COMMTIMEOUTS set;
  set.ReadTotalTimeoutConstant = 50;
  set.WriteTotalTimeoutConstant = 110;
  set.WriteTotalTimeoutMultiplier = 3;
  EXPECT_TRUE(plat::SetCommTimeouts(port, &set));
  plat::COMMTIMEOUTS got;
  EXPECT_TRUE(plat::GetCommTimeouts(port, &got));
  EXPECT_EQ(got.ReadTotalTimeoutConstant, 50u);
  EXPECT_EQ(got.WriteTotalTimeoutConstant, 110u);
  EXPECT_EQ(got.WriteTotalTimeoutMultiplier, 3u);
  DWORD errors = 0xFFFF;
  EXPECT_TRUE(plat::ClearCommError(port, &errors));
  EXPECT_EQ(errors, 0u);
  DWORD returned = 1;
  EXPECT_TRUE(plat::DeviceIoControl(port, plat::kCancelJobIoControl, nullptr, 0, &returned));
  EXPECT_EQ(returned, 0u);
  char reply[8];
  DWORD read = 1;
  EXPECT_TRUE(plat::ReadFile(port, reply, sizeof reply, &read));
  EXPECT_EQ(read, 0u);
  plat::CloseHandle(port);
}

TEST(WindowsFilePortTest, MissingFolderAndUnknownDeviceDoNotOpen) {
  TempPath missing("no-such-folder\\out.prn");
  EXPECT_EQ(plat::OpenPort(missing.path()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  // A device name the system does not have fails; it never becomes a file.
  EXPECT_EQ(plat::OpenPort("KELVANENOSUCHDEVICE7:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::ClassifyError(plat::GetLastError()), plat::ErrorClass::NotFound);
  // The virtual printer's Unix socket does not exist on this system.
  EXPECT_EQ(plat::OpenPort("sim:/run/vp.sock"), INVALID_HANDLE_VALUE);
}

// --------------------------------------------------- device with no settings

// A pipe stands in for a share: the system opens it by a \\.\ name, it
// has no communications settings, and a write waits while nobody reads.
TEST(WindowsDevicePortTest, AWriteNoDriverTimeOutBoundsEndsWithWhatMoved) {
  const std::string name =
      "\\\\.\\pipe\\kelvane-port-" + std::to_string(::GetCurrentProcessId());
  W32_HANDLE printer = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX,
                                          PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(printer, w32::InvalidHandle());
  HANDLE port = plat::OpenPort(name);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << plat::GetLastError();
  plat::COMMTIMEOUTS timeouts;
  timeouts.WriteTotalTimeoutConstant = 110;
  plat::SetCommTimeouts(port, &timeouts);  // refused by a pipe, harmlessly
  DWORD errors = 0xFFFF;
  plat::ClearCommError(port, &errors);
  EXPECT_EQ(errors, 0u);

  const std::vector<char> block(1u << 20, 'x');
  DWORD written = 0;
  EXPECT_FALSE(plat::WriteFile(port, block.data(), static_cast<DWORD>(block.size()), &written));
  EXPECT_LT(written, block.size());
  EXPECT_EQ(plat::ClassifyError(plat::GetLastError()), plat::ErrorClass::PrinterState);
  plat::CloseHandle(port);
  ::CloseHandle(printer);
}

// ------------------------------------------------------------- TCP printer

class SocketPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener_, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int length = sizeof address;
    ASSERT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
  }
  void TearDown() override {
    if (peer_ != INVALID_SOCKET) ::closesocket(peer_);
    if (listener_ != INVALID_SOCKET) ::closesocket(listener_);
    ::WSACleanup();
  }

  std::string Name() const { return "socket://127.0.0.1:" + std::to_string(port_); }
  // The printer's end of the connection the port made.
  void Accept() {
    peer_ = ::accept(listener_, nullptr, nullptr);
    ASSERT_NE(peer_, INVALID_SOCKET);
  }
  std::string Receive(std::size_t count) {
    std::string got;
    char buffer[256];
    while (got.size() < count) {
      const int n = ::recv(peer_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

  // A port to a printer with a small receive buffer that reads nothing,
  // its writes ended after `writeTimeoutMs`; INVALID_HANDLE_VALUE (and a
  // failure) when it cannot be set up.
  HANDLE OpenToAPrinterThatReadsNothing(DWORD writeTimeoutMs) {
    int small = 4096;
    ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small),
                 sizeof small);
    EXPECT_EQ(::listen(listener_, 1), 0);
    HANDLE port = plat::OpenPort(Name());
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    if (port == INVALID_HANDLE_VALUE) return port;
    Accept();
    plat::COMMTIMEOUTS timeouts;
    timeouts.WriteTotalTimeoutConstant = writeTimeoutMs;
    EXPECT_TRUE(plat::SetCommTimeouts(port, &timeouts));
    return port;
  }

  // An abortive close: the port's side gets a reset, not an orderly end.
  void ResetByPrinter() {
    linger hard{1, 0};
    ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
                 sizeof hard);
    ::closesocket(peer_);
    peer_ = INVALID_SOCKET;
  }
  // The reset travels over loopback; a few queries see it (the delivery
  // query looks even right after a write the socket took whole).
  static bool DeviceErrorWithin(HANDLE port) {
    DWORD errors = 0;
    for (int i = 0; i < 200 && errors == 0; ++i) {
      plat::PortDelivery delivery;
      plat::QueryPortDelivery(port, &delivery);
      plat::ClearCommError(port, &errors);
      if (errors == 0) ::Sleep(5);
    }
    return errors == CE_IOE;
  }

  SOCKET listener_ = INVALID_SOCKET;
  SOCKET peer_ = INVALID_SOCKET;
  unsigned port_ = 0;
};

TEST_F(SocketPortTest, BytesArriveAndRepliesComeBack) {
  ASSERT_EQ(::listen(listener_, 1), 0);
  HANDLE port = plat::OpenPort(Name());
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << plat::GetLastError();
  Accept();
  EXPECT_TRUE(WriteAll(port, "\x1b@hello"));
  EXPECT_EQ(Receive(7), "\x1b@hello");

  plat::COMMTIMEOUTS timeouts;
  timeouts.ReadTotalTimeoutConstant = 50;
  ASSERT_TRUE(plat::SetCommTimeouts(port, &timeouts));
  ASSERT_EQ(::send(peer_, "OK", 2, 0), 2);
  char reply[16] = {};
  DWORD read = 0;
  std::string heard;
  // The reply may come in pieces; every read waits for it in its time-out.
  for (int i = 0; i < 100 && heard.size() < 2; ++i) {
    ASSERT_TRUE(plat::ReadFile(port, reply, sizeof reply, &read));
    heard.append(reply, read);
  }
  EXPECT_EQ(heard, "OK");
  DWORD errors = 0xFFFF;
  EXPECT_TRUE(plat::ClearCommError(port, &errors));
  EXPECT_EQ(errors, 0u);

  // A second spooler cannot take the printer while this one holds it.
  EXPECT_EQ(plat::OpenPort(Name()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::ClassifyError(plat::GetLastError()), plat::ErrorClass::SharingViolation);
  plat::CloseHandle(port);
}

TEST_F(SocketPortTest, PrinterThatStopsReadingGivesAPartialWriteAndNoFlag) {
  HANDLE port = OpenToAPrinterThatReadsNothing(100);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);

  // Far more than the connection's buffers can hold.
  const std::vector<char> block(64u << 20, 'x');
  DWORD written = 0;
  EXPECT_FALSE(plat::WriteFile(port, block.data(), static_cast<DWORD>(block.size()), &written));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, block.size());
  EXPECT_EQ(plat::ClassifyError(plat::GetLastError()), plat::ErrorClass::PrinterState);
  DWORD errors = 0xFFFF;
  EXPECT_TRUE(plat::ClearCommError(port, &errors));
  EXPECT_EQ(errors, 0u);
  plat::CloseHandle(port);
}

TEST_F(SocketPortTest, RefusedConnectionIsADeviceError) {
  // Bound but not listening: the connection is refused.
  HANDLE port = plat::OpenPort(Name());
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DWORD errors = 0;
  EXPECT_TRUE(plat::ClearCommError(port, &errors));
  EXPECT_EQ(errors, CE_IOE);  // the engine stops the job with a device error
  // Cleared by the query; the next write tries again and is refused again.
  EXPECT_TRUE(plat::ClearCommError(port, &errors));
  EXPECT_EQ(errors, 0u);
  DWORD written = 1;
  EXPECT_FALSE(plat::WriteFile(port, "x", 1, &written));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(WSAECONNREFUSED));
  EXPECT_EQ(plat::ClassifyError(plat::GetLastError()), plat::ErrorClass::Fatal);
  EXPECT_TRUE(plat::ClearCommError(port, &errors));
  EXPECT_EQ(errors, CE_IOE);
  plat::CloseHandle(port);
}

TEST_F(SocketPortTest, ResetByThePrinterShowsAtTheNextQuery) {
  ASSERT_EQ(::listen(listener_, 1), 0);
  HANDLE port = plat::OpenPort(Name());
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  Accept();
  ResetByPrinter();
  DWORD errors = 0;
  // The reset travels over loopback; a few queries see it.
  for (int i = 0; i < 200 && errors == 0; ++i) {
    plat::ClearCommError(port, &errors);
    if (errors == 0) ::Sleep(5);
  }
  EXPECT_EQ(errors, CE_IOE);
  plat::CloseHandle(port);
}

// The rest of a job must not follow on a new connection once one that
// carried part of it broke: the printer would take it for a new job. One
// that broke before the first byte is made again.
TEST_F(SocketPortTest, AConnectionIsMadeAgainOnlyIfItBrokeBeforeCarryingAByte) {
  ASSERT_EQ(::listen(listener_, 2), 0);
  HANDLE port = plat::OpenPort(Name());
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  Accept();
  ResetByPrinter();
  EXPECT_TRUE(DeviceErrorWithin(port));
  EXPECT_TRUE(WriteAll(port, "first"));
  Accept();
  EXPECT_EQ(Receive(5), "first");

  EXPECT_TRUE(WriteAll(port, "second"));
  EXPECT_EQ(Receive(6), "second");
  ResetByPrinter();
  EXPECT_TRUE(DeviceErrorWithin(port));
  DWORD written = 1;
  EXPECT_FALSE(plat::WriteFile(port, "third", 5, &written));
  EXPECT_EQ(written, 0u);
  DWORD errors = 0;
  EXPECT_TRUE(plat::ClearCommError(port, &errors));
  EXPECT_EQ(errors, CE_IOE);
  plat::PortDelivery delivery;
  ASSERT_TRUE(plat::QueryPortDelivery(port, &delivery));
  EXPECT_EQ(delivery.state, plat::DeliveryState::Lost);
  ASSERT_TRUE(plat::DrainPort(port, 0, &delivery));
  EXPECT_EQ(delivery.state, plat::DeliveryState::Lost);
  // Nobody knocked again.
  fd_set waiting;
  FD_ZERO(&waiting);
  FD_SET(listener_, &waiting);
  timeval now{0, 0};
  EXPECT_EQ(::select(0, &waiting, nullptr, nullptr, &now), 0);
  plat::CloseHandle(port);
}

TEST_F(SocketPortTest, ACancelledJobIsCutOffInsteadOfSentToTheEnd) {
  HANDLE port = OpenToAPrinterThatReadsNothing(200);  // until the port is closed
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  const std::vector<char> job(8u << 20, 'c');
  DWORD written = 0;
  plat::WriteFile(port, job.data(), static_cast<DWORD>(job.size()), &written);
  ASSERT_GT(written, 0u);
  DWORD returned = 1;
  EXPECT_TRUE(plat::DeviceIoControl(port, plat::kCancelJobIoControl, nullptr, 0, &returned));
  plat::CloseHandle(port);
  std::size_t got = 0;
  char buffer[65536];
  for (int n; (n = ::recv(peer_, buffer, sizeof buffer, 0)) > 0;) got += static_cast<std::size_t>(n);
  EXPECT_LT(got, written);
}

TEST_F(SocketPortTest, TheEngineStopsAJobOnARefusedPrinterWithADeviceError) {
  {
    SpoolerLock lock;
    CopyField(g_szPortName, Name().c_str());
    g_bAbortJob = 0;
  }
  HANDLE port = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(OpenPrinterPort(port));  // the port exists; the printer refuses
  const std::string text = "page";
  const BYTE* block = reinterpret_cast<const BYTE*>(text.data());
  DWORD count = static_cast<DWORD>(text.size());
  DWORD last = 1;
  std::int32_t code = 0;
  JobRecord job;
  job.txTimeout = 45000;
  EXPECT_FALSE(WritePortBlock(port, block, count, last, job, code));
  EXPECT_EQ(code, ERROR_IO_DEVICE);
  EXPECT_EQ(last, 0u);
  EXPECT_EQ(count, text.size());
  plat::CloseHandle(port);
}

// ------------------------------------------------------ network redirection

TEST(WindowsNetRedirectTest, OnlyPrinterDevicesAreRedirected) {
  const std::string share = "\\\\print-host\\ribbon";
  for (const char* device : {"COM1", "LPT0", "LPT10", "D:", "", "PRN"}) {
    EXPECT_EQ(plat::AddConnection(device, share), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
        << device;
    EXPECT_EQ(plat::CancelConnection(device, true), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
        << device;
    EXPECT_FALSE(plat::RedirectedShare(device).has_value()) << device;
  }
  for (const char* notShare : {"print-host\\ribbon", "\\\\", "C:\\spool"}) {
    EXPECT_EQ(plat::AddConnection("LPT1", notShare), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
        << notShare;
  }
}

// --------------------------------------------------------- installed printers

TEST(WindowsPrintersTest, TheDefaultListIsTheSpoolersLocalPrinters) {
  std::vector<plat::InstalledPrinter> system;
  ASSERT_TRUE(plat::ListDefaultPrinters(system));
  plat::SetPrinterSource(nullptr);
  std::vector<plat::InstalledPrinter> listed = {{"left over", "LPT9:"}};
  ASSERT_TRUE(plat::ListInstalledPrinters(listed));
  ASSERT_EQ(listed.size(), system.size());
  for (std::size_t i = 0; i < listed.size(); ++i) {
    EXPECT_FALSE(listed[i].printerName.empty());
    EXPECT_EQ(listed[i].printerName, system[i].printerName);
    EXPECT_EQ(listed[i].portName, system[i].portName);
  }
}

}  // namespace
