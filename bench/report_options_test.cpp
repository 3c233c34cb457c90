// bench_report's command line: what it accepts and what it refuses, with
// the words of the refusal. Test thread only.
#include "bench/report_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using report::ParseReportOptions;
using report::ReportOptions;
using report::ReportScope;

TEST(ReportOptions, Accepted) {
  const struct {
    std::vector<std::string> args;
    std::string build, out, mib;
    int rounds;
    ReportScope scope;
  } cases[] = {
      {{"--build", "b"}, "b", "", "64", 5, ReportScope::Everything},
      {{"--build", "b", "--mib", "256", "--rounds", "9", "--out", "o.md"}, "b", "o.md", "256", 9,
       ReportScope::Everything},
      {{"--side-by-side-only", "--build", "b", "--rounds", "3"}, "b", "", "64", 3,
       ReportScope::SideBySideOnly},
      {{"--build", "b", "--start-up-only"}, "b", "", "64", 5, ReportScope::StartUpOnly},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.size());
    ReportOptions options;
    std::string error;
    ASSERT_TRUE(ParseReportOptions(c.args, options, error)) << error;
    EXPECT_EQ(options.build, c.build);
    EXPECT_EQ(options.out, c.out);
    EXPECT_EQ(options.mib, c.mib);
    EXPECT_EQ(options.rounds, c.rounds);
    EXPECT_EQ(options.scope, c.scope);
    EXPECT_FALSE(options.help);
  }
}

TEST(ReportOptions, Refused) {
  const struct {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{"--build", "b", "--round", "3"}, "unknown flag --round"},
      {{"--build", "b", "extra"}, "unexpected argument extra"},
      {{"--build"}, "--build needs a value"},
      {{"--build", "b", "--out", "--mib", "8"}, "--out needs a value"},
      {{"--build", "b", "--mib", "many"}, "--mib needs a whole number of MiB from 1 up, not many"},
      {{"--build", "b", "--rounds", "0"}, "--rounds needs a whole number from 1 up, not 0"},
      {{"--build", "b", "--start-up-only", "--side-by-side-only"},
       "--side-by-side-only and --start-up-only exclude each other"},
      {{"--mib", "8"}, "--build DIR is required"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    ReportOptions options;
    std::string error;
    EXPECT_FALSE(ParseReportOptions(c.args, options, error));
    EXPECT_EQ(error, c.error);
  }
}

TEST(ReportOptions, HelpNeedsNothingElse) {
  ReportOptions options;
  std::string error;
  ASSERT_TRUE(ParseReportOptions({"--help"}, options, error));
  EXPECT_TRUE(options.help);
}

}  // namespace
