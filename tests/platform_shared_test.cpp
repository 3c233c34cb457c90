// The pieces every system's platform bodies share: the transfer loop of a
// file handle, the names of our leftovers, the time left of a self-timed
// call and the port calls' argument checks. Main thread only.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/common/files_shared.h"
#include "platform/common/leftover_names.h"
#include "platform/common/port_dispatch.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/port_device.h"

namespace {

// A system call that moves `chunks` in turn, then fails with `error`.
struct ScriptedCalls {
  explicit ScriptedCalls(std::vector<DWORD> moves, DWORD failure = 0)
      : chunks(std::move(moves)), error(failure) {}
  std::vector<DWORD> chunks;
  DWORD error;
  std::vector<std::pair<DWORD, DWORD>> asked;  // (done, left) per call
  std::size_t next = 0;
  bool operator()(DWORD done, DWORD left, DWORD& moved) {
    asked.emplace_back(done, left);
    if (next == chunks.size()) {
      plat::SetLastError(error);
      return false;
    }
    moved = chunks[next++];
    return true;
  }
};

TEST(TransferAll, CallsAgainWithWhatIsLeftUntilAllMoved) {
  ScriptedCalls calls({3, 4, 3});
  DWORD counted = 99;
  EXPECT_TRUE(plat::TransferAll(10, &counted, true, std::ref(calls)));
  EXPECT_EQ(counted, 10u);
  const std::vector<std::pair<DWORD, DWORD>> expected{{0, 10}, {3, 7}, {7, 3}};
  EXPECT_EQ(calls.asked, expected);
}

TEST(TransferAll, NothingMovedEndsAReadShortButFailsAWriteAsFull) {
  ScriptedCalls read({4, 0});
  DWORD counted = 0;
  EXPECT_TRUE(plat::TransferAll(10, &counted, false, std::ref(read)));
  EXPECT_EQ(counted, 4u);

  ScriptedCalls write({4, 0});
  plat::SetLastError(0);
  EXPECT_FALSE(plat::TransferAll(10, &counted, true, std::ref(write)));
  EXPECT_EQ(counted, 4u);
  EXPECT_EQ(plat::GetLastError(), plat::kErrorDiskFull);
}

TEST(TransferAll, AFailedCallKeepsItsErrorAndCountsWhatMovedBefore) {
  ScriptedCalls calls({6}, plat::kErrorTimedOut);
  DWORD counted = 0;
  EXPECT_FALSE(plat::TransferAll(10, &counted, true, std::ref(calls)));
  EXPECT_EQ(counted, 6u);
  EXPECT_EQ(plat::GetLastError(), plat::kErrorTimedOut);
}

TEST(LeftoverNames, RewriteTemporariesAreTheBaseAndSixCharacters) {
  EXPECT_TRUE(plat::IsRewriteTemporaryOf("queue.dat.tmpAb3xYz", "queue.dat"));
  EXPECT_FALSE(plat::IsRewriteTemporaryOf("queue.dat.tmpAb3xY", "queue.dat"));
  EXPECT_FALSE(plat::IsRewriteTemporaryOf("queue.dat.tmpAb3xYz1", "queue.dat"));
  EXPECT_FALSE(plat::IsRewriteTemporaryOf("other.dat.tmpAb3xYz", "queue.dat"));
  EXPECT_TRUE(plat::IsSettingsTemporary("registry.reg.tmp123456"));
  EXPECT_TRUE(plat::IsSettingsTemporary("win.ini.tmp123456"));
  EXPECT_FALSE(plat::IsSettingsTemporary("queue.dat.tmp123456"));
}

TEST(LeftoverNames, UnfinishedSpoolFilesNameTheirWriter) {
  EXPECT_EQ(plat::UnfinishedSpoolWriter("KLV~a1b2c3.part4711"), 4711u);
  EXPECT_EQ(plat::UnfinishedSpoolWriter("KLV~a1b2c3.part999999999"), 999999999u);
  EXPECT_EQ(plat::UnfinishedSpoolWriter("KLV~a1b2c3.part1234567890"), 0u);  // too long
  EXPECT_EQ(plat::UnfinishedSpoolWriter("KLV~a1b2c3.part"), 0u);
  EXPECT_EQ(plat::UnfinishedSpoolWriter("KLV~a1b2c3.part12x"), 0u);
  EXPECT_EQ(plat::UnfinishedSpoolWriter("KLV~a1b2c3"), 0u);
  EXPECT_EQ(plat::UnfinishedSpoolWriter("XYZ~a1b2c3.part12"), 0u);
}

TEST(CallDeadline, NoLimitLeavesNoTime) {
  EXPECT_EQ(plat::CallDeadline(0).LeftMs(), 0u);
  EXPECT_GT(plat::CallDeadline(3600000).LeftMs(), 0u);
}

// A port that fails its error query after raising a flag.
class FailingQueryPort final : public plat::PortDevice {
 public:
  bool Read(void*, DWORD, DWORD*) override { return false; }
  bool Write(const void*, DWORD, DWORD*) override { return false; }
  void Close() override {}
  bool SetCommMask(DWORD) override { return true; }
  bool GetCommTimeouts(plat::COMMTIMEOUTS&) override { return true; }
  bool SetCommTimeouts(const plat::COMMTIMEOUTS&) override { return true; }
  bool ClearCommError(DWORD& errors) override {
    errors = CE_IOE;
    plat::SetLastError(plat::kErrorTimedOut);
    return false;
  }
  bool DeviceIoControl(DWORD, void*, DWORD, DWORD*) override { return false; }
};

class OneDeviceOpener final : public plat::PortOpener {
 public:
  std::shared_ptr<plat::PortDevice> Open(const std::string&, DWORD&) override {
    return std::make_shared<FailingQueryPort>();
  }
};

class PortDispatch : public ::testing::Test {
 protected:
  void SetUp() override { plat::SetPortOpener(&opener_); }
  void TearDown() override { plat::SetPortOpener(nullptr); }
  OneDeviceOpener opener_;
};

TEST_F(PortDispatch, MissingTimeoutsAreRefusedInTheSystemsNumbers) {
  HANDLE port = plat::OpenPort("LPT1:");
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(plat::GetCommTimeouts(port, nullptr));
  EXPECT_EQ(plat::GetLastError(), plat::kErrorNullArgument);
  EXPECT_FALSE(plat::SetCommTimeouts(port, nullptr));
  EXPECT_EQ(plat::GetLastError(), plat::kErrorNullArgument);
  plat::CloseHandle(port);
}

TEST_F(PortDispatch, AFailedErrorQueryReportsNoFlags) {
  HANDLE port = plat::OpenPort("LPT1:");
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DWORD flags = 0xFFFF;
  EXPECT_FALSE(plat::ClearCommError(port, &flags));
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(plat::GetLastError(), plat::kErrorTimedOut);
  plat::CloseHandle(port);
}

TEST(PortDispatchHandles, AHandleThatNamesNothingIsRefused) {
  DWORD flags = 0;
  EXPECT_FALSE(plat::ClearCommError(INVALID_HANDLE_VALUE, &flags));
  EXPECT_EQ(plat::GetLastError(), plat::kErrorBadHandle);
}

}  // namespace
