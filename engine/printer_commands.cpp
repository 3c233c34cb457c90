// Printer commands that the driver asks for through WM_SPOOLER_COMMAND, and
// the ink-level query whose answer the driver reads from the "Tovrel"
// section of the profile.
// OnSpoolerCommand: main thread. UpdateInkLevels: main thread (command 5,
// "-i" start) or the print thread before it opens the port for a job. Neither
// holds g_csSpooler across port I/O; the profile needs no lock.
#include "engine/printer_commands.h"

#include <cstring>
#include <string>

#include "app/state/spooler_state.h"
#include "engine/port_channel.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/window_messages.h"

namespace {

// Every frame: 0xA5, big-endian length of what follows, 0x50, command bytes.
constexpr BYTE kCommand1[] = {0xA5, 0x00, 0x05, 0x50, 0xE0, 0x0A, 0x1D, 0x70};
constexpr BYTE kFirstQuery[] = {0xA5, 0x00, 0x03, 0x50, 0x04, 0x0A};
constexpr BYTE kBlackForm[] = {0xA5, 0x00, 0x05, 0x50, 0xE0, 0x09, 0x01, 0x01};
constexpr BYTE kColourForm[] = {0xA5, 0x00, 0x07, 0x50, 0xE0,
                                0x09, 0x03, 0x02, 0x03, 0x04};
constexpr BYTE kCommand3[] = {0xA5, 0x00, 0x05, 0x50, 0xE0, 0x0A, 0x01, 0x00};
constexpr BYTE kCommand4[] = {0xA5, 0x00, 0x04, 0x50, 0xE0, 0x0D, 0x01};
// The level query has always gone out as seven bytes: its length field
// counts a closing zero after 0x0C, and printers wait for that byte.
constexpr BYTE kLevelQuery[] = {0xA5, 0x00, 0x04, 0x50, 0x04, 0x0C, 0x00};

// The frame length field must agree with the bytes that follow it.
template <std::size_t N>
constexpr bool IsWellFormed(const BYTE (&frame)[N]) {
  return N >= 4 && frame[0] == 0xA5 && frame[3] == 0x50 &&
         ((std::size_t{frame[1]} << 8) | frame[2]) == N - 3;
}
static_assert(IsWellFormed(kCommand1) && IsWellFormed(kFirstQuery) &&
              IsWellFormed(kBlackForm) && IsWellFormed(kColourForm) &&
              IsWellFormed(kCommand3) && IsWellFormed(kCommand4) &&
              IsWellFormed(kLevelQuery));

constexpr char kProfileSection[] = "Tovrel";
constexpr std::size_t kBlackOffset = 10;
constexpr std::size_t kCyanOffset = 14;
constexpr std::size_t kMagentaOffset = 18;
constexpr std::size_t kYellowOffset = 22;

// A frame is a few bytes; a printer that has not taken it within this time
// is not going to, and the driver does not learn the outcome anyway.
constexpr DWORD kFrameSendLimitMs = 1000;

enum class WriteFault { Retry, GiveUp };

// A write that a signal or a busy device cut short, or that the port's write
// time-out ended, may go on; anything else (bad handle, device gone, an
// error line or no paper) will not get better by writing again.
WriteFault SortWriteError(DWORD error) {
  switch (plat::ClassifyError(error)) {
    case plat::ErrorClass::None:
    case plat::ErrorClass::Transient:
    case plat::ErrorClass::SharingViolation:
      return WriteFault::Retry;
    case plat::ErrorClass::PrinterState:
      return error == plat::kErrorTimedOut ? WriteFault::Retry
                                           : WriteFault::GiveUp;
    default:
      return WriteFault::GiveUp;
  }
}

// Sends one frame, advancing over partial writes, for a bounded time.
template <std::size_t N>
void SendFrame(HANDLE port, const BYTE (&frame)[N]) {
  const BYTE* next = frame;
  DWORD left = static_cast<DWORD>(N);
  const DWORD start = plat::GetTickCount();
  while (left > 0) {
    DWORD written = 0;
    plat::SetLastError(0);
    const bool ok = plat::WriteFile(port, next, left, &written);
    if (written > left) written = left;
    next += written;
    left -= written;
    if (left == 0) return;
    if (!ok && SortWriteError(plat::GetLastError()) == WriteFault::GiveUp) {
      return;
    }
    if (plat::GetTickCount() - start >= kFrameSendLimitMs) return;
    if (written == 0) plat::PausePolling();
  }
}

// One read of a reply into a zeroed buffer, so that bytes of an earlier
// reply never pass for this one. `received` never exceeds the buffer.
bool ReadReply(HANDLE port, BYTE (&buffer)[kInkReplySize], DWORD& received) {
  std::memset(buffer, 0, sizeof buffer);
  received = 0;
  const bool ok = ReadPortWithTimeout(port, buffer, sizeof buffer, received,
                                      kInkReadTimeoutMs);
  if (received > sizeof buffer) received = sizeof buffer;
  return ok;
}

void WriteLevel(const char* key, int level) {
  plat::WriteProfileString(kProfileSection, key, std::to_string(level));
}

void PublishUnknownInk() {
  plat::WriteProfileString(kProfileSection, "InkType", "0");
}

void PublishLevels(const InkLevels& levels) {
  if (levels.inkType == kInkTypeBlack) {
    plat::WriteProfileString(kProfileSection, "InkType", "1");
    WriteLevel("BlackLevel", levels.black);
  } else if (levels.inkType == kInkTypeColour) {
    plat::WriteProfileString(kProfileSection, "InkType", "2");
    WriteLevel("CyanLevel", levels.cyan);
    WriteLevel("MagentaLevel", levels.magenta);
    WriteLevel("YellowLevel", levels.yellow);
  } else {
    PublishUnknownInk();
  }
}

int LevelAt(const BYTE* reply, std::size_t offset) {
  return static_cast<int>(static_cast<std::int8_t>(reply[offset]));
}

// Command 2: the first query's answer tells which form this printer takes.
void SendInkForm(HANDLE port) {
  SendFrame(port, kFirstQuery);
  BYTE reply[kInkReplySize];
  DWORD received = 0;
  const bool ok = ReadReply(port, reply, received);
  if (ok && IsBlackInkReply(received)) {
    SendFrame(port, kBlackForm);
  } else {
    SendFrame(port, kColourForm);
  }
}

}  // namespace

bool IsBlackInkReply(std::size_t firstReplySize) { return firstReplySize > 12; }

InkLevels DecodeInkReply(bool blackInk, const BYTE* reply, std::size_t size) {
  InkLevels levels;
  // A reply cut short before the last level it has to carry tells nothing
  // about the levels it lacks; read as zeros they would say "empty" to the
  // driver, so the whole reply counts as no answer.
  const std::size_t needed = (blackInk ? kBlackOffset : kYellowOffset) + 1;
  if (reply == nullptr || size < needed) return levels;
  if (blackInk) {
    levels.inkType = kInkTypeBlack;
    levels.black = LevelAt(reply, kBlackOffset);
  } else {
    levels.inkType = kInkTypeColour;
    levels.cyan = LevelAt(reply, kCyanOffset);
    levels.magenta = LevelAt(reply, kMagentaOffset);
    levels.yellow = LevelAt(reply, kYellowOffset);
  }
  return levels;
}

void UpdateInkLevels(HANDLE port) {
  if (port == INVALID_HANDLE_VALUE && !OpenPrinterPort(port)) {
    PublishUnknownInk();
    return;
  }

  BYTE reply[kInkReplySize];
  DWORD received = 0;
  // Whatever the printer said before we asked is not an answer.
  ReadReply(port, reply, received);

  SendFrame(port, kFirstQuery);
  bool ok = ReadReply(port, reply, received);
  if (received == 0) {
    // A printer that has just woken up may miss the first query.
    SendFrame(port, kFirstQuery);
    ok = ReadReply(port, reply, received);
  }
  if (!ok || received == 0) {
    PublishUnknownInk();
    plat::CloseHandle(port);
    return;
  }
  const bool blackInk = IsBlackInkReply(received);

  SendFrame(port, kLevelQuery);
  ok = ReadReply(port, reply, received);
  // A silent level query publishes "0", not levels made up of nothing: the
  // driver would take zeros for empty cartridges.
  const InkLevels levels =
      ok ? DecodeInkReply(blackInk, reply, received) : InkLevels{};
  PublishLevels(levels);
  plat::CloseHandle(port);
}

LRESULT OnSpoolerCommand(WPARAM command) {
  {
    SpoolerLock lock;
    // The port belongs to the print job runner while a job prints.
    if (g_bPrinting) return 0;
  }

  HANDLE port = INVALID_HANDLE_VALUE;
  const bool opened = OpenPrinterPort(port);
  if (!opened) port = INVALID_HANDLE_VALUE;
  bool portClosed = !opened;

  switch (command) {
    case 0:
      if (!portClosed) plat::CloseHandle(port);
      portClosed = true;
      plat::PostMessage(g_hMainWnd, WM_CLOSE, 0, 0);
      break;
    case 1:
      if (opened) SendFrame(port, kCommand1);
      break;
    case 2:
      if (opened) SendInkForm(port);
      break;
    case 3:
      if (opened) SendFrame(port, kCommand3);
      break;
    case 4:
      if (opened) SendFrame(port, kCommand4);
      break;
    case 5:
      // Runs even without an open port: it then tries the port itself and
      // publishes "InkType" "0" when that fails too. It closes the port.
      UpdateInkLevels(port);
      portClosed = true;
      break;
    default:
      break;
  }
  if (!portClosed) plat::CloseHandle(port);
  return 1;
}
