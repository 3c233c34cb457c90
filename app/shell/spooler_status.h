// The running spooler's status as the driver asks for it on the command
// channel (plat::kStatusRequest): the job, the copy, the bytes sent and what
// the printer keeps us waiting for. The spooler side answers on the main
// thread; the reader side runs in the driver's process.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "app/state/spooler_state.h"

struct SpoolerStatus {
  bool printing = false;
  std::string jobName;          // at most kStatusNameBytes bytes
  std::uint16_t copy = 0;
  std::uint16_t copies = 0;
  std::uint32_t sent = 0;       // bytes of the current copy
  std::uint32_t total = 0;      // bytes of one copy
  PrinterWait wait = PrinterWait::None;
  bool hasTimeOut = false;      // the wait ends by itself
  std::uint32_t msLeft = 0;     // until it does
  std::int64_t waitStart = 0;   // wall-clock seconds at which it began
};

inline constexpr std::size_t kStatusNameBytes = 128;
// Parts: 1 flags, copy, copies and the name's length; 2 sent and total;
// 3 the wait's start; 4 the milliseconds left; 5 on: the name, 8 bytes each.
inline constexpr unsigned kStatusNamePart = 5;
inline constexpr unsigned kStatusPartCount = kStatusNamePart + kStatusNameBytes / 8;

// A copy of the shared state (under g_csSpooler), with the wait's start on
// the wall clock `nowWall` read at tick `nowTick`.
SpoolerStatus TakeSpoolerStatus(DWORD nowTick, std::time_t nowWall);

// One part of `status` as an answer; 0 for a part that does not exist.
std::int64_t EncodeStatusPart(const SpoolerStatus& status, unsigned part);

// Main thread: the answer to kStatusRequest part `part`.
LRESULT AnswerStatusRequest(WPARAM part);

// Reader side: asks every part through `ask` (false: nobody answered) and
// puts them together; retries a few times when another reader's request
// came in between. False when nobody answered or it never came out whole.
using StatusAsker = std::function<bool(WPARAM part, LRESULT& answer)>;
bool ReadSpoolerStatus(const StatusAsker& ask, SpoolerStatus& status);

// The driver's report: "job: ...", "copy: 1 of 2", "sent: 4096 of 10012
// bytes", "printer: out of paper (since 14:02:11)", one per line; "no job is
// printing" when idle.
std::string FormatSpoolerStatus(const SpoolerStatus& status);
