// The benchmark report's side-by-side bookkeeping and table: which round
// counts where, and every figure under its own heading; the start-up rows,
// each against its own floor. Test thread only.
#include <gtest/gtest.h>

#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "bench/report_table.h"
#include "bench/side_by_side.h"
#include "bench/start_up.h"

namespace {

using report::AddRound;
using report::RoundSeconds;
using report::SideBySide;
using report::SideBySideRow;

TEST(SideBySideRounds, TimesThatCameAndRatiosOfSidesThatBothCame) {
  const struct {
    const char* what;
    RoundSeconds round;
    std::vector<double> service, kelvane, ratio, dd, kelvaneOverDd, spooler, spoolerOverDd;
  } cases[] = {
      {"every side", {4.0, 2.0, 1.0, 1.5}, {4.0}, {2.0}, {2.0}, {1.0}, {2.0}, {1.5}, {1.5}},
      {"no dd, no spooler alone", {3.0, 1.5, -1, -1}, {3.0}, {1.5}, {2.0}, {}, {}, {}, {}},
      {"the service's job did not come", {-1, 2.0, 1.0, 1.0}, {}, {2.0}, {}, {1.0}, {2.0},
       {1.0}, {1.0}},
      {"dd failed: the spooler's time counts, its ratio does not", {4.0, 2.0, -1, 1.5}, {4.0},
       {2.0}, {2.0}, {}, {}, {1.5}, {}},
      {"Kelvane's job did not come", {4.0, -1, 1.0, 1.5}, {4.0}, {}, {}, {1.0}, {}, {1.5},
       {1.5}},
  };
  for (const auto& c : cases) {
    SideBySideRow row;
    AddRound(row, c.round);
    EXPECT_EQ(row.service.values, c.service) << c.what;
    EXPECT_EQ(row.kelvane.values, c.kelvane) << c.what;
    EXPECT_EQ(row.ratio.values, c.ratio) << c.what;
    EXPECT_EQ(row.dd.values, c.dd) << c.what;
    EXPECT_EQ(row.kelvaneOverDd.values, c.kelvaneOverDd) << c.what;
    EXPECT_EQ(row.spooler.values, c.spooler) << c.what;
    EXPECT_EQ(row.spoolerOverDd.values, c.spoolerOverDd) << c.what;
  }
}

// The cells of one Markdown table line, trimmed.
std::vector<std::string> Cells(const std::string& line) {
  std::vector<std::string> cells;
  std::size_t start = line.find('|');
  while (start != std::string::npos) {
    const std::size_t end = line.find('|', start + 1);
    if (end == std::string::npos) break;
    std::string cell = line.substr(start + 1, end - start - 1);
    cell.erase(0, cell.find_first_not_of(' '));
    cell.erase(cell.find_last_not_of(' ') + 1);
    cells.push_back(cell);
    start = end;
  }
  return cells;
}

TEST(SideBySideTable, EveryFigureUnderItsOwnHeading) {
  SideBySide s;
  SideBySideRow small;  // no dd, no spooler alone
  small.job = "64 KiB";
  AddRound(small, {0.060, 0.020, -1, -1});
  SideBySideRow big;
  big.job = "64 MiB";
  AddRound(big, {0.500, 0.250, 0.125, 0.200});
  SideBySideRow noService;  // the print service could not be set up
  noService.job = "batch";
  AddRound(noService, {-1, 1.0, -1, -1});
  s.rows = {small, big, noService};
  s.serviceNote = "n/a (no cupsd)";

  std::istringstream table(report::SideBySideTable(s));
  std::string line;
  ASSERT_TRUE(std::getline(table, line));
  const std::vector<std::string> heading = Cells(line);
  auto column = [&](const std::string& name) {
    for (std::size_t i = 0; i < heading.size(); ++i)
      if (heading[i] == name) return i;
    ADD_FAILURE() << "no column " << name;
    return std::size_t{0};
  };
  std::vector<std::vector<std::string>> rows;
  while (std::getline(table, line)) {
    rows.push_back(Cells(line));
    EXPECT_EQ(rows.back().size(), heading.size()) << line;
  }
  ASSERT_EQ(rows.size(), 4u);  // the rule under the heading, then the jobs
  const auto& smallCells = rows[1];
  const auto& bigCells = rows[2];
  const auto& batchCells = rows[3];

  EXPECT_EQ(smallCells[column("Ratio (service / Kelvane)")],
            "3.00-3.00 (median 3.00)");
  EXPECT_EQ(smallCells[column("dd bs=2048")], "");
  EXPECT_EQ(smallCells[column("Spooler alone / dd")], "");
  EXPECT_EQ(bigCells[column("dd bs=2048")], "0.125-0.125 s (median 0.125)");
  EXPECT_EQ(bigCells[column("Kelvane / dd")], "2.00-2.00 (median 2.00)");
  EXPECT_EQ(bigCells[column("Spooler alone, job queued")], "0.200-0.200 s (median 0.200)");
  EXPECT_EQ(bigCells[column("Spooler alone / dd")], "1.60-1.60 (median 1.60)");
  EXPECT_EQ(batchCells[column("Print service")], "n/a (no cupsd)");
  EXPECT_EQ(batchCells[column("Kelvane")], "1.000-1.000 s (median 1.000)");
  EXPECT_EQ(batchCells[column("Ratio (service / Kelvane)")], "");
}

// A start measured `runs` times at `ms` of CPU and twice that of wall.
report::StartUp Started(const char* what, report::StartUpRole role, double ms, int runs = 3) {
  report::StartUp s{what, role, {}, {}};
  for (int i = 0; i < runs; ++i) {
    s.wall.Add(2 * ms);
    s.cpu.Add(ms);
  }
  return s;
}

TEST(StartUpRows, EachProgramOverTheFloorAndTheSpoolerOverItsThreadsToo) {
  using report::StartUpRole;
  const report::StartUp driver = Started("driver", StartUpRole::kProgram, 3.75);
  const report::StartUp spooler = Started("spooler", StartUpRole::kSpooler, 5.0);
  const report::StartUp threads = Started("threads", StartUpRole::kThreadsFloor, 3.5);
  const report::StartUp notRun = Started("not run", StartUpRole::kProgram, 1.0, 0);
  const report::StartUp threadsNotRun = Started("threads", StartUpRole::kThreadsFloor, 1.0, 0);
  // Not first: the floor is found by what it is, not by its place.
  const report::StartUp floor = Started("empty", StartUpRole::kFloor, 2.0);

  std::vector<report::Row> rows = report::StartUpRows({threads, driver, floor, spooler, notRun});
  ASSERT_EQ(rows.size(), 4u);  // every start but the floor's
  EXPECT_EQ(rows[0].result, "7.0 ms wall, 3.5 ms CPU (+1.5 ms CPU over the floor)");
  EXPECT_EQ(rows[1].result, "7.5 ms wall, 3.8 ms CPU (+1.8 ms CPU over the floor)");
  EXPECT_EQ(rows[1].ratio, "1.88");
  EXPECT_EQ(rows[2].result,
            "10.0 ms wall, 5.0 ms CPU (+3.0 ms CPU over the floor, +1.5 ms CPU over the floor "
            "with three threads)");
  EXPECT_EQ(rows[2].ratio, "2.50");
  EXPECT_EQ(rows[3].result, "n/a");
  EXPECT_EQ(rows[3].ratio, "");
  for (const report::Row& row : rows)
    EXPECT_EQ(row.baseline, "4.0 ms wall, 2.0 ms CPU (empty)") << row.what;

  // A floor that did not run leaves the spooler with the one it has.
  rows = report::StartUpRows({floor, threadsNotRun, spooler});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].result, "10.0 ms wall, 5.0 ms CPU (+3.0 ms CPU over the floor)");
  rows = report::StartUpRows({Started("empty", StartUpRole::kFloor, 1.0, 0), threads, spooler});
  EXPECT_EQ(rows[1].result, "10.0 ms wall, 5.0 ms CPU (+1.5 ms CPU over the floor with three "
                            "threads)");
  EXPECT_EQ(rows[1].baseline, "");
  EXPECT_EQ(rows[1].ratio, "");
}

}  // namespace
