// How a spooler's exit code reads to the programs that start it: the end it
// tells of, what the print service's backend exits with for it (its job
// still queued or gone), and whether the driver takes it as a spooler that
// took the queue and closed. Test thread only.
#include <gtest/gtest.h>

#include <string>

#include "engine/spooler_outcomes.h"

namespace {

TEST(SpoolerOutcomes, ExitCodeToEndBackendAndDriver) {
  struct Case {
    int exitCode;
    SpoolerEnd end;
    int backendQueued;
    int backendGone;
    bool driverClosed;
  };
  const Case cases[] = {
      {0, SpoolerEnd::Closed, kBackendRetry, kBackendOk, true},
      {2, SpoolerEnd::StartFailed, kBackendStop, kBackendOk, false},
      {3, SpoolerEnd::JobsSetAside, kBackendCancel, kBackendCancel, true},
      {1, SpoolerEnd::Abnormal, kBackendFailed, kBackendOk, false},
      {127, SpoolerEnd::Abnormal, kBackendFailed, kBackendOk, false},
      {-1, SpoolerEnd::Abnormal, kBackendFailed, kBackendOk, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.exitCode));
    const SpoolerEnd end = SpoolerEndOfExitCode(c.exitCode);
    EXPECT_EQ(end, c.end);
    EXPECT_EQ(CodesOf(end).backendJobQueued, c.backendQueued);
    EXPECT_EQ(CodesOf(end).backendJobGone, c.backendGone);
    EXPECT_EQ(CodesOf(end).driverTakesAsClosed, c.driverClosed);
  }
}

TEST(SpoolerOutcomes, EveryEndThatHasAnExitCodeReadsBackAsItself) {
  for (SpoolerEnd end : {SpoolerEnd::Closed, SpoolerEnd::StartFailed, SpoolerEnd::JobsSetAside}) {
    SCOPED_TRACE(static_cast<int>(end));
    EXPECT_GE(SpoolerExitCode(end), 0);
    EXPECT_EQ(SpoolerEndOfExitCode(SpoolerExitCode(end)), end);
  }
  EXPECT_LT(SpoolerExitCode(SpoolerEnd::Abnormal), 0);
}

}  // namespace
