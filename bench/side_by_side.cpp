// The side-by-side comparison and the job's end (see side_by_side.h).
// bench_report's main thread; the programs run as child processes in a
// temporary home, the loopback printer reads on its own thread.
#include "bench/side_by_side.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>

#include "bench/loopback_printer.h"
#include "bench/print_service.h"
#include "platform/profile.h"

namespace report {

using namespace std::chrono_literals;

namespace {

// Seconds from the start of `argv` until `bytes` have arrived at `printer`;
// negative when they do not come within a minute.
double TimeToLastByte(LoopbackPrinter& printer, const std::vector<std::string>& argv,
                      std::uint64_t bytes) {
  printer.Expect(bytes);
  const auto start = Clock::now();
  kt::ChildProcess submit;
  StartChild(submit, argv);
  const auto last = printer.WaitForLastByte(60000ms);
  submit.Wait(60000ms);
  if (!last) return -1;
  return std::chrono::duration<double>(*last - start).count();
}

}  // namespace

void AddRound(SideBySideRow& row, const RoundSeconds& round) {
  auto add = [](MinMax& values, double seconds) {
    if (seconds >= 0) values.Add(seconds);
  };
  auto ratio = [](MinMax& values, double over, double under) {
    if (over > 0 && under > 0) values.Add(over / under);
  };
  add(row.service, round.service);
  add(row.kelvane, round.kelvane);
  add(row.dd, round.dd);
  add(row.spooler, round.spooler);
  ratio(row.ratio, round.service, round.kelvane);
  ratio(row.kelvaneOverDd, round.kelvane, round.dd);
  ratio(row.spoolerOverDd, round.spooler, round.dd);
}

SideBySide MeasureSideBySide(const Programs& p, int rounds) {
  SideBySide result;
  result.rounds = rounds;
  LoopbackPrinter printer;
  Home home;
  {
    kt::ChildProcess install;
    StartChild(install, {p.driver, "install"});
    if (install.Wait(20000ms) != 0) return result;
  }
  const std::string target = "socket://127.0.0.1:" + std::to_string(printer.port());
  if (!plat::WriteProfileString("ports", "LPT1:", target)) return result;
  PrintService service(printer.port());
  result.serviceNote = service.note();

  // Each side is a way to get the same bytes to the printer; it returns
  // the seconds from its first submission to the last byte, negative when
  // they did not come. They take turns, each going first in its turn, so
  // that whatever else loads the machine falls on all alike; one run each
  // before the counted ones is not counted: the first job of a fresh setup
  // pays for things done once (cupsd's first job, Kelvane's default
  // settings written to the registry), and a file fresh in the cache.
  // The spooler alone (`runSpooler`) is timed where dd is: the two show what
  // of Kelvane's time is the copy to the printer and what the driver's.
  auto measure = [&](SideBySideRow& row, const std::function<double()>& runService,
                     const std::function<double()>& runKelvane,
                     const std::function<double()>& runDd,
                     const std::function<double()>& runSpooler) {
    struct Side {
      std::function<double()> run;
      double RoundSeconds::*seconds;
    };
    std::vector<Side> sides = {{runService, &RoundSeconds::service},
                               {runKelvane, &RoundSeconds::kelvane}};
    if (runDd) sides.push_back({runDd, &RoundSeconds::dd});
    if (runSpooler) sides.push_back({runSpooler, &RoundSeconds::spooler});
    for (auto& side : sides) side.run();
    for (int i = 0; i < rounds; ++i) {
      RoundSeconds round;
      for (std::size_t k = 0; k < sides.size(); ++k) {
        const Side& side = sides[(static_cast<std::size_t>(i) + k) % sides.size()];
        round.*side.seconds = side.run();
      }
      std::fprintf(stderr, "bench_report:   service %.3f s, Kelvane %.3f s", round.service,
                   round.kelvane);
      if (runDd) std::fprintf(stderr, ", dd %.3f s", round.dd);
      if (runSpooler) std::fprintf(stderr, ", spooler alone %.3f s", round.spooler);
      std::fprintf(stderr, "\n");
      AddRound(row, round);
    }
  };

  const std::string bash = FindTool("bash", "/bin/bash");
  const struct {
    const char* label;
    std::size_t bytes;
    bool dd;  // dd bs=2048 straight to the printer too: the copy's own speed
  } sizes[] = {{"64 KiB", 64u << 10, false}, {"1 MiB", 1u << 20, false},
               {"64 MiB", 64u << 20, true}};
  for (const auto& size : sizes) {
    SideBySideRow row;
    row.job = size.label;
    const std::string job = home.File("job.bin");
    WriteJobFile(job, size.bytes);
    std::fprintf(stderr, "bench_report: side by side, %s...\n", size.label);
    auto runService = [&] {
      if (!service.ready()) return -1.0;
      const double seconds = TimeToLastByte(printer, service.SubmitCommand(job), size.bytes);
      printer.WaitUntilIdle(60000ms);  // the backend has finished the job
      return seconds;
    };
    auto runKelvane = [&] {
      // The job prefix comes first at the printer.
      const double seconds = TimeToLastByte(
          printer, {p.driver, "submit", "--spooler", p.headless, job}, size.bytes + 6);
      SpoolerEnds(30000ms);  // the next submission starts a spooler again
      printer.WaitUntilIdle(10000ms);
      return seconds;
    };
    // bash opens the connection (/dev/tcp) and dd copies into it.
    auto runDd = [&] {
      const double seconds = TimeToLastByte(
          printer,
          {bash, "-c",
           "exec dd if='" + job + "' bs=2048 status=none >/dev/tcp/127.0.0.1/" +
               std::to_string(printer.port())},
          size.bytes);
      printer.WaitUntilIdle(10000ms);
      return seconds;
    };
    // The driver queues the job first, untimed; then the spooler alone.
    auto runSpooler = [&] {
      kt::ChildProcess queue;
      StartChild(queue, {p.driver, "submit", "--no-start", job});
      if (queue.Wait(60000ms) != 0) return -1.0;
      const double seconds =
          TimeToLastByte(printer, {p.headless, "-f", home.File("queue.txt")}, size.bytes + 6);
      printer.WaitUntilIdle(10000ms);
      return seconds;
    };
    const bool withDd = size.dd && !bash.empty();
    measure(row, runService, runKelvane, withDd ? std::function<double()>(runDd) : nullptr,
            withDd ? std::function<double()>(runSpooler) : nullptr);
    result.rows.push_back(row);
  }

  // A batch: 100 small jobs submitted one after the other, each submission
  // returning before the next starts, timed from the first submission to
  // the batch's last byte at the printer.
  {
    constexpr int kJobs = 100;
    constexpr std::size_t kBytes = 8u << 10;
    SideBySideRow row;
    row.job = std::to_string(kJobs) + " jobs of 8 KiB, back to back";
    const std::string job = home.File("batch.bin");
    WriteJobFile(job, kBytes);
    std::fprintf(stderr, "bench_report: side by side, %s...\n", row.job.c_str());
    auto runBatch = [&](const std::vector<std::string>& argv, std::uint64_t bytesPerJob) {
      printer.Expect(bytesPerJob * kJobs);
      const auto start = Clock::now();
      for (int j = 0; j < kJobs; ++j) {
        kt::ChildProcess submit;
        StartChild(submit, argv);
        if (submit.Wait(60000ms) != 0) return -1.0;
      }
      const auto last = printer.WaitForLastByte(120000ms);
      if (!last) return -1.0;
      return std::chrono::duration<double>(*last - start).count();
    };
    auto runService = [&] {
      if (!service.ready()) return -1.0;
      const double seconds = runBatch(service.SubmitCommand(job), kBytes);
      printer.WaitUntilIdle(60000ms);
      return seconds;
    };
    auto runKelvane = [&] {
      const double seconds =
          runBatch({p.driver, "submit", "--spooler", p.headless, job}, kBytes + 6);
      SpoolerEnds(30000ms);
      printer.WaitUntilIdle(10000ms);
      return seconds;
    };
    measure(row, runService, runKelvane, nullptr, nullptr);
    result.rows.push_back(row);
  }

  // The close: kelvane-headless started by us, so that its end is its own
  // exit and not a marker. The job is small; only the end is timed. The job
  // is done once the printer has closed its side after the whole job: the
  // wait for that close is timed against the printer's own close time,
  // which a card printer spends printing the card.
  WriteJobFile(home.File("job.bin"), 64u << 10);
  for (const int closeMs : {0, 100}) {
    std::fprintf(stderr, "bench_report: last byte to spooler gone, printer closing after %d ms...\n",
                 closeMs);
    printer.SetCloseTime(std::chrono::milliseconds(closeMs));
    JobEnd end;
    end.printerCloseMs = closeMs;
    for (int i = 0; i < rounds; ++i) {
      kt::ChildProcess queue;
      StartChild(queue, {p.driver, "submit", "--no-start", home.File("job.bin")});
      if (queue.Wait(20000ms) != 0) break;
      printer.Expect((64u << 10) + 6);
      kt::ChildProcess spooler;
      StartChild(spooler, {p.headless, "-f", home.File("queue.txt")});
      const auto last = printer.WaitForLastByte(30000ms);
      if (!last) {
        end.note = "n/a (the job did not arrive)";
        break;
      }
      if (spooler.Wait(30000ms) == -1) {
        end.note = "n/a (the spooler did not close within 30 s)";
        break;
      }
      const auto gone = Clock::now();
      printer.WaitUntilIdle(10000ms);
      const auto closed = printer.LastClose();
      if (!closed) {
        end.note = "n/a (the printer did not close)";
        break;
      }
      end.lastToClose.Add(std::chrono::duration<double, std::milli>(*closed - *last).count());
      end.lastToGone.Add(std::chrono::duration<double, std::milli>(gone - *last).count());
      end.closeToGone.Add(std::chrono::duration<double, std::milli>(gone - *closed).count());
    }
    result.ends.push_back(end);
  }
  printer.SetCloseTime(0ms);
  return result;
}

}  // namespace report
