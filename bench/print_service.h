// PrintService: the system's print service for the side-by-side
// comparison, private to one run of the report.
// bench_report's main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace report {

// The system's print service, private to this run: a cupsd of our own on a
// Unix socket in a temporary directory (the machine's print service is not
// touched) with one raw queue on the loopback printer.
class PrintService {
 public:
  explicit PrintService(std::uint16_t printerPort);
  ~PrintService();
  PrintService(const PrintService&) = delete;
  PrintService& operator=(const PrintService&) = delete;
  // Whether the queue is there to print to; when not, note() says why.
  bool ready() const { return ready_; }
  const std::string& note() const { return note_; }
  // The command that submits `file` as a raw job to the queue.
  std::vector<std::string> SubmitCommand(const std::string& file) const;

 private:
  static constexpr const char* kQueue = "KelvaneBenchRaw";
  std::string lp_;
  std::string work_;
  std::string note_;
  bool ready_ = false;
  kt::ChildProcess cupsd_;
};

}  // namespace report
