// The one error vocabulary: the classes that real failures of files and
// ports fall into, the ports' sorting read from the same classes, the
// classes a retried open waits out, and the last error a failed prepend
// leaves for its caller to sort.
// Test thread only.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/files_test_support.h"
#include "platform/posix/polled_port.h"
#include "tests/support/test_support.h"

namespace {

using plat::ErrorClass;

DWORD ErrorOfOpen(const std::string& path, plat::ShareMode share) {
  HANDLE h = plat::OpenFile(path, plat::Access::ReadWrite, share,
                            plat::Disposition::OpenExisting);
  if (h == INVALID_HANDLE_VALUE) return plat::GetLastError();
  plat::CloseHandle(h);
  return 0;
}

TEST(ErrorClasses, FailuresOfTheFilesLayerSortAsTheQueueExpects) {
  kt::TempHome home;
  const std::string path = home.File("queue.dat");

  EXPECT_EQ(plat::ClassifyError(ErrorOfOpen(path, plat::ShareMode::None)),
            ErrorClass::NotFound);

  kt::WriteFileBytes(path, "record");
  HANDLE holder = plat::OpenFile(path, plat::Access::ReadWrite, plat::ShareMode::None,
                                 plat::Disposition::OpenExisting);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const DWORD refused = ErrorOfOpen(path, plat::ShareMode::ReadWrite);
  plat::CloseHandle(holder);
  EXPECT_EQ(refused, plat::ERROR_SHARING_VIOLATION_CODE);
  EXPECT_EQ(plat::ClassifyError(refused), ErrorClass::SharingViolation);

  // A directory where a file was expected will not change by waiting.
  EXPECT_EQ(plat::ClassifyError(ErrorOfOpen(home.path(), plat::ShareMode::None)),
            ErrorClass::Fatal);
  EXPECT_EQ(plat::ClassifyError(0), ErrorClass::None);
}

TEST(ErrorClasses, NamedCodesAndPlatformNumbersFallInTheirClasses) {
  EXPECT_EQ(plat::ClassifyError(plat::kErrorNotFound), ErrorClass::NotFound);
  EXPECT_EQ(plat::ClassifyError(plat::kErrorTimedOut), ErrorClass::PrinterState);
  EXPECT_EQ(plat::ClassifyError(plat::kErrorInvalidParameter), ErrorClass::Fatal);
  EXPECT_EQ(plat::ClassifyError(plat::kErrorInsufficientBuffer), ErrorClass::Fatal);

  for (int e : {EINTR, EAGAIN, EWOULDBLOCK, EMFILE, ENFILE, ENOMEM})
    EXPECT_EQ(plat::ClassifyError(static_cast<DWORD>(e)), ErrorClass::Transient) << e;
  for (int e : {ENOSPC, EIO, ETIMEDOUT})
    EXPECT_EQ(plat::ClassifyError(static_cast<DWORD>(e)), ErrorClass::PrinterState) << e;
  for (int e : {ENODEV, ENXIO, EPIPE, ECONNRESET, EBADF, EACCES, EISDIR})
    EXPECT_EQ(plat::ClassifyError(static_cast<DWORD>(e)), ErrorClass::Fatal) << e;

  for (int e : {EACCES, EPERM, EROFS})
    EXPECT_TRUE(plat::IsAccessDenied(static_cast<DWORD>(e))) << e;
  for (int e : {0, ENOENT, EBUSY, EAGAIN, ENOSPC})
    EXPECT_FALSE(plat::IsAccessDenied(static_cast<DWORD>(e))) << e;
}

// The ports see a busy device as a printer that does not take data for now,
// as the command frames do, and nothing the files call a passing refusal is
// a device that has gone.
TEST(ErrorClasses, PortsSortByTheSameClasses) {
  EXPECT_EQ(plat::ClassifyErrno(EBUSY), plat::ErrnoClass::PrinterState);
  EXPECT_EQ(plat::ClassifyErrno(ETIMEDOUT), plat::ErrnoClass::PrinterState);
  for (int e : {EINTR, EAGAIN, EMFILE, ENFILE, ENOMEM})
    EXPECT_EQ(plat::ClassifyErrno(e), plat::ErrnoClass::Retry) << e;
  EXPECT_EQ(plat::ClassifyErrno(ENOENT), plat::ErrnoClass::Fatal);
  EXPECT_EQ(plat::ClassifyErrno(0), plat::ErrnoClass::Fatal);
}

// An open that meets a passing shortage waits it out only when asked to; a
// sharing violation is waited out either way, a missing file never.
TEST(OpenWithRetry, WaitsOutTheClassesItIsAskedTo) {
  kt::TempHome home;
  plat::ScopedFakeClock clock;
  const std::string path = home.File("queue.dat");
  kt::WriteFileBytes(path, "record");
  int refusals = 0;
  plat::SetFileFaultHook([&](plat::FileFault point, const std::string&) {
    if (point != plat::FileFault::OpenForWriting || refusals == 0) return 0;
    --refusals;
    return EMFILE;
  });

  refusals = 3;
  HANDLE h = plat::OpenWithRetry(path, plat::Access::ReadWrite, plat::ShareMode::None,
                                 plat::Disposition::OpenExisting);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::ClassifyError(plat::GetLastError()), ErrorClass::Transient);
  EXPECT_EQ(refusals, 2);

  refusals = 3;
  h = plat::OpenWithRetry(path, plat::Access::ReadWrite, plat::ShareMode::None,
                          plat::Disposition::OpenExisting, plat::kSharingRetryMs,
                          plat::OpenRetry::PassingRefusals);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(refusals, 0);
  plat::CloseHandle(h);
  plat::SetFileFaultHook(nullptr);

  h = plat::OpenWithRetry(home.File("missing.dat"), plat::Access::ReadWrite,
                          plat::ShareMode::None, plat::Disposition::OpenExisting,
                          plat::kSharingRetryMs, plat::OpenRetry::PassingRefusals);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::ClassifyError(plat::GetLastError()), ErrorClass::NotFound);
}

// A spool file is read again from an earlier byte when the printer lost
// what it had taken; a handle that is no file says so in the system's terms.
TEST(SetFilePointer, ReadsGoOnFromTheOffsetGiven) {
  kt::TempHome home;
  const std::string path = home.File("job.prn");
  kt::WriteFileBytes(path, "0123456789");
  HANDLE h = plat::OpenFile(path, plat::Access::Read, plat::ShareMode::None,
                            plat::Disposition::OpenExisting);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buffer[16] = {};
  DWORD got = 0;
  ASSERT_TRUE(plat::ReadFile(h, buffer, 8, &got));
  ASSERT_TRUE(plat::SetFilePointer(h, 3));
  ASSERT_TRUE(plat::ReadFile(h, buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(buffer, got), "3456789");
  plat::CloseHandle(h);
  EXPECT_FALSE(plat::SetFilePointer(h, 0));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(EBADF));
}

}  // namespace
