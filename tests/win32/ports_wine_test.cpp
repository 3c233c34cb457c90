// LPT1: under Wine, with a plain file standing in for the printer: the
// prefix's dosdevices\lpt1 is where Wine looks for the device, so a file
// there receives what the port is given. The communications calls fail on
// such a file, which the port must take as harmless (no flags, no abort).
// Skipped outside Wine. Test thread only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/state/spooler_state.h"
#include "engine/port_channel.h"
#include "platform/files.h"
#include "platform/port_device.h"
#include "platform/win32/windows_api.h"

namespace {

bool RunningUnderWine() {
  W32_HANDLE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll && ::GetProcAddress(static_cast<HMODULE>(ntdll), "wine_get_version");
}

std::string ReadAll(const std::string& path) {
  std::string text;
  W32_HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (h == w32::InvalidHandle()) return "(cannot open " + path + ")";
  char buffer[256];
  W32_DWORD n = 0;
  while (::ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
  ::CloseHandle(h);
  return text;
}

// The prefix's dosdevices\lpt1 as a plain file of our own for one test,
// reached from Windows through Z:, which is the Unix root. The path is
// given with \\?\ in front, since a last component named lpt1 would
// otherwise mean the device itself.
class LptStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* prefix = std::getenv("WINEPREFIX");
    if (!RunningUnderWine() || !prefix || prefix[0] != '/')
      GTEST_SKIP() << "needs Wine and its WINEPREFIX";
    path_ = std::string("\\\\?\\Z:") + prefix + "/dosdevices/lpt1";
    for (char& c : path_)
      if (c == '/') c = '\\';
    // Another LPT1 of the prefix (a link to a real printer, or to nothing)
    // is left alone; CREATE_NEW does not follow a dangling link either.
    W32_HANDLE h = ::CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == w32::InvalidHandle()) GTEST_SKIP() << "the prefix has an LPT1 of its own";
    ::CloseHandle(h);
    created_ = true;
  }
  void TearDown() override {
    if (created_) ::DeleteFileA(path_.c_str());
  }

  std::string path_;
  bool created_ = false;
};

TEST_F(LptStandIn, WrittenBytesLandInTheDevicesFile) {
  HANDLE port = plat::OpenPort("LPT1:");
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << plat::GetLastError();
  DWORD written = 0;
  const std::string data = "\x1b@page one\f";
  EXPECT_TRUE(plat::WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written));
  EXPECT_EQ(written, data.size());
  // Opened with no sharing: the same device by another spelling is refused.
  EXPECT_EQ(plat::OpenPort("lpt1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  ASSERT_TRUE(plat::CloseHandle(port));
  EXPECT_EQ(ReadAll(path_), data);
}

TEST_F(LptStandIn, FailingCommunicationsCallsReadAsNoFlags) {
  HANDLE port = plat::OpenPort("lpt1");
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << plat::GetLastError();
  // The settings the engine applies; on a file they may fail, harmlessly.
  plat::SetCommMask(port, EV_TXEMPTY | EV_ERR | EV_PERR);
  plat::COMMTIMEOUTS timeouts;
  timeouts.WriteTotalTimeoutMultiplier = 7;
  plat::GetCommTimeouts(port, &timeouts);
  timeouts.ReadTotalTimeoutConstant = 50;
  timeouts.WriteTotalTimeoutConstant = 110;
  plat::SetCommTimeouts(port, &timeouts);
  DWORD errors = 0xFFFF;
  plat::ClearCommError(port, &errors);
  EXPECT_EQ(errors, 0u);
  DWORD written = 0;
  EXPECT_TRUE(plat::WriteFile(port, "ok", 2, &written));
  EXPECT_EQ(written, 2u);
  ASSERT_TRUE(plat::CloseHandle(port));
  EXPECT_EQ(ReadAll(path_), "ok");
}

TEST_F(LptStandIn, TheEngineOpensItWithItsSettingsAndWritesABlock) {
  {
    SpoolerLock lock;
    CopyField(g_szPortName, "LPT1:");
    g_bAbortJob = 0;
  }
  HANDLE port = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(OpenPrinterPort(port)) << plat::GetLastError();
  const std::string text = "\x1b@block of a job\r\n";
  const BYTE* block = reinterpret_cast<const BYTE*>(text.data());
  DWORD count = static_cast<DWORD>(text.size());
  DWORD last = 0;
  std::int32_t code = 0;
  JobRecord job;
  job.txTimeout = 45000;
  job.dnsTimeout = 45000;
  EXPECT_TRUE(WritePortBlock(port, block, count, last, job, code)) << code;
  EXPECT_EQ(last, text.size());
  ASSERT_TRUE(plat::CloseHandle(port));
  EXPECT_EQ(ReadAll(path_), text);
}

}  // namespace
