// The spooler measured as the programs it is: kelvane-headless idling
// (processor time and resident memory from /proc), the time from a start
// to the first byte at kelvane-printer, the ink query round trip through
// kelvane-driver, and the desktop spooler's memory under Xvfb.
// bench_report's main thread.
#pragma once

#include <string>

#include "bench/report_support.h"

namespace report {

struct SpoolerFigures {
  double idleCpuPerSecond = -1;
  double idleSeconds = 0;
  double rssKiB = -1;
  double inkMs = -1;
  int inkResult = -1;
  std::string inkLevels;  // as kelvane-driver ink reports them
  double firstByteQueueMs = -1;
  double firstByteDriverMs = -1;
  double desktopRssKiB = -1;
  std::string desktopNote;
};

SpoolerFigures MeasureSpooler(const Programs& p);

}  // namespace report
