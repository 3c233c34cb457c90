// kelvane-driver: the command line of the printer driver stand-in.
//   install | submit [options] FILE... | command N | ink | status
// Driver process, one thread.
#include <CLI/CLI.hpp>

#include <iostream>

#include "tools/driver/driver_ops.h"

int main(int argc, char** argv) {
  CLI::App app{"Kelvane printer driver stand-in: queues jobs for the spooler and "
               "talks to the running spooler"};
  app.require_subcommand(1);

  CLI::App* install = app.add_subcommand(
      "install", "Create the settings key and the base win.ini (keeps existing values)");

  driver::JobSpec job;
  bool noStart = false;
  std::string spooler;
  CLI::App* submit = app.add_subcommand(
      "submit", "Spool FILEs as one job, append it to the queue file and start the "
                "spooler when none runs");
  submit->add_option("--queue", job.queueFile, "Queue file (default $KELVANE_HOME/queue.txt)");
  submit->add_option("--port", job.port, "Port of the job")->capture_default_str();
  submit->add_option("--copies", job.copies, "Copies, 0 to 255")
      ->capture_default_str()
      ->check(CLI::Range(0, 255));
  submit->add_option("--printer", job.printer, "Printer model")->capture_default_str();
  submit->add_option("--ribbon", job.ribbon, "Ribbon type the job needs")
      ->capture_default_str();
  submit->add_option("--name", job.name, "Job name (default: the first file's name)");
  submit->add_flag("--old-form", job.oldForm,
                   "Write the old record form (no printer and ribbon lines)");
  submit->add_flag("--no-start", noStart, "Only queue the job; start no spooler");
  submit->add_option("--spooler", spooler, "Spooler program to start");
  std::string faultPolicy = driver::kDefaultFaultPolicy;
  submit->add_option("--on-fault", faultPolicy,
                     "What a headless spooler we start answers to a fault nobody is "
                     "there to answer: retry[=SECONDS] or keep")
      ->capture_default_str()
      ->check([](const std::string& value) -> std::string {
        if (value == "keep" || value == "retry") return "";
        const std::string digits = value.rfind("retry=", 0) == 0 ? value.substr(6) : "";
        if (!digits.empty() && digits.size() <= 5 &&
            digits.find_first_not_of("0123456789") == std::string::npos &&
            std::stoul(digits) >= 1 && std::stoul(digits) <= 86400) {
          return "";
        }
        return "not keep, retry or retry=SECONDS (1 to 86400): " + value;
      });
  submit->add_option("FILE", job.files, "Files of the job, in print order")
      ->required()
      ->check(CLI::ExistingFile);

  unsigned command = 0;
  unsigned timeoutMs = 15000;
  CLI::App* commandApp = app.add_subcommand(
      "command", "Send printer command N (0 to 5) to the running spooler; prints its "
                 "result (1 done, 0 refused while printing)");
  commandApp->add_option("N", command, "Command number")->required();
  commandApp->add_option("--timeout", timeoutMs, "Milliseconds to wait for the answer")
      ->capture_default_str();

  CLI::App* ink = app.add_subcommand("ink", "Print the ink levels the spooler published");

  unsigned statusTimeoutMs = 15000;
  CLI::App* statusApp = app.add_subcommand(
      "status", "Print the running spooler's job, copy, bytes sent and printer state");
  statusApp->add_option("--timeout", statusTimeoutMs, "Milliseconds to wait for each answer")
      ->capture_default_str();

  CLI11_PARSE(app, argc, argv);

  if (*install) {
    driver::Outcome outcome = driver::Install();
    if (!outcome.ok) {
      std::cerr << "kelvane-driver: " << outcome.error << "\n";
      return 1;
    }
    return 0;
  }
  if (*submit) {
    std::string queueFile;
    driver::Outcome outcome = driver::Submit(job, &queueFile);
    if (!outcome.ok) {
      std::cerr << "kelvane-driver: " << outcome.error << "\n";
      return 1;
    }
    if (!noStart) {
      bool started = false;
      outcome = driver::StartSpoolerIfIdle(queueFile, spooler, &started, faultPolicy);
      if (!outcome.ok) {
        std::cerr << "kelvane-driver: job queued, but " << outcome.error << "\n";
        return 1;
      }
      std::cout << (started ? "queued; spooler started\n"
                            : "queued for the running spooler\n");
    } else {
      std::cout << "queued\n";
    }
    return 0;
  }
  if (*commandApp) {
    LRESULT result = 0;
    if (!driver::SendCommand(command, timeoutMs, &result)) {
      std::cerr << "kelvane-driver: no spooler answered\n";
      return 1;
    }
    std::cout << result << "\n";
    return 0;
  }
  if (*statusApp) {
    SpoolerStatus status;
    if (!driver::QueryStatus(statusTimeoutMs, status)) {
      std::cerr << "kelvane-driver: no spooler answered\n";
      return 1;
    }
    std::cout << FormatSpoolerStatus(status);
    return 0;
  }
  if (*ink) {
    std::cout << driver::InkReport();
    return 0;
  }
  return 1;
}
