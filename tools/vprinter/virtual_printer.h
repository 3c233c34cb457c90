// A printer of the Vorna family, simulated: the state the printer is in, how
// fast it takes data, what it has taken, the replies it has queued for the
// host, and the command frames it has recognised in the data stream.
//
// The same object serves the in-process port that tests open and the
// kelvane-printer tool that a person runs beside the spooler. Any thread: one
// mutex guards all of it. Hook actions run outside the mutex, on the thread
// whose write crossed the byte count.
#pragma once

#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/output_file.h"
#include "platform/win_types.h"

namespace vprinter {

enum class PrinterState {
  Ready,        // takes data (at the rate limit)
  NotSelected,  // takes nothing; CE_DNS raised
  OutOfPaper,   // takes nothing; CE_OOP raised
  IoError,      // takes nothing; CE_IOE raised
  Stalled,      // takes nothing and raises no flag
};

// "ready", "offline", "paperout", "ioerror", "stall".
const char* DescribeState(PrinterState state);

// A command frame as recognised in the data: 0xA5, two length bytes
// (big-endian, bytes that follow), a payload that starts with 0x50.
struct Frame {
  std::vector<BYTE> bytes;  // the whole frame, header included
  std::string name;         // "first-query", "level-query", ... or "unknown"
};

// The frames the spooler sends, by name.
namespace frames {
inline const std::vector<BYTE> kCommand1 = {0xA5, 0x00, 0x05, 0x50,
                                            0xE0, 0x0A, 0x1D, 0x70};
inline const std::vector<BYTE> kFirstQuery = {0xA5, 0x00, 0x03,
                                              0x50, 0x04, 0x0A};
inline const std::vector<BYTE> kBlackForm = {0xA5, 0x00, 0x05, 0x50,
                                             0xE0, 0x09, 0x01, 0x01};
inline const std::vector<BYTE> kColourForm = {0xA5, 0x00, 0x07, 0x50, 0xE0,
                                              0x09, 0x03, 0x02, 0x03, 0x04};
inline const std::vector<BYTE> kCommand3 = {0xA5, 0x00, 0x05, 0x50,
                                            0xE0, 0x0A, 0x01, 0x00};
inline const std::vector<BYTE> kCommand4 = {0xA5, 0x00, 0x04, 0x50,
                                            0xE0, 0x0D, 0x01};
// Its length field announces one byte more than the five listed: the
// spooler sends seven bytes, the last a pad. The printer answers as soon as
// the listed bytes are in and takes the byte after them as the pad.
inline const std::vector<BYTE> kLevelQuery = {0xA5, 0x00, 0x04, 0x50,
                                              0x04, 0x0C};
}  // namespace frames

// Name of a frame ("command-1", "first-query", "black-form", "colour-form",
// "command-3", "command-4", "level-query"), "unknown" for any other.
std::string NameFrame(const std::vector<BYTE>& frame);

// "A5 00 03 50 04 0A".
std::string FormatHex(const BYTE* data, std::size_t size);
// Parses "A5 00 03", "a50003" or "A5,00"; false on a bad digit or odd count.
bool ParseHex(const std::string& text, std::vector<BYTE>& out);

// Ink levels as the level reply carries them (signed bytes).
struct InkLevels {
  std::int8_t black = 60;
  std::int8_t cyan = 70;
  std::int8_t magenta = 80;
  std::int8_t yellow = 90;
};

// Bytes of the level reply; the levels sit at offsets 10, 14, 18 and 22.
inline constexpr std::size_t kLevelReplyLength = 24;
// A first-query reply longer than this marks a black-ink printer.
inline constexpr std::size_t kColourReplyMaxLength = 12;
// Frames whose length field exceeds this are not taken for frames.
inline constexpr std::size_t kMaxFramePayload = 64;

class VirtualPrinter {
 public:
  using Action = std::function<void(VirtualPrinter&)>;
  using LogSink = std::function<void(const std::string&)>;

  VirtualPrinter();
  ~VirtualPrinter();
  VirtualPrinter(const VirtualPrinter&) = delete;
  VirtualPrinter& operator=(const VirtualPrinter&) = delete;

  // --- State and flags -----------------------------------------------------

  // A change to a faulty state raises its flag at once; the flag stays
  // raised (comes back after each TakeFlags) while the state lasts.
  void SetState(PrinterState state);
  PrinterState state() const;
  // Raises flags once (e.g. CE_BREAK) without a change of state.
  void RaiseFlags(DWORD flags);
  // The flags raised since the last call plus those of the current state;
  // clears the former. This is the port's error query.
  DWORD TakeFlags();
  // The same without clearing.
  DWORD PeekFlags() const;

  // --- Data ----------------------------------------------------------------

  // Bytes per second taken at most; 0 = unlimited. Measured with
  // plat::GetTickCount, so a fake clock drives it.
  void SetRate(DWORD bytesPerSecond);
  // Appends everything taken to this file (created 0600); "" stops it.
  // False when the file cannot be opened.
  bool SetOutputFile(const std::string& path);
  // Whether taken bytes are kept in memory (on by default).
  void SetKeepOutput(bool keep);

  // Offers data; returns how many leading bytes the printer took (0 unless
  // ready, at most what the rate allows). Frames in the taken bytes are
  // recognised and answered; hooks whose byte count is reached run before
  // the function returns, and the bytes after the count are offered in the
  // state the hook left.
  std::size_t Accept(const void* data, std::size_t size);

  std::string output() const;
  std::uint64_t totalAccepted() const;
  // How many times data was offered (Accept calls), taken or not: tells a
  // port that waits for the printer from one that keeps asking.
  std::uint64_t offers() const;
  void ClearOutput();
  // The printer spoils the last `count` bytes it took (a jam): they are no
  // longer in its output (in memory and in the output file), as a printer
  // that reports "lost COUNT bytes" in its error reply means.
  void LoseLastBytes(std::size_t count);

  // --- Hooks ---------------------------------------------------------------

  // Runs `action` once when the total of taken bytes reaches `totalBytes`
  // (exactly: the printer takes up to that byte, then runs the action).
  // A count already reached runs at the next Accept.
  void AtTotalBytes(std::uint64_t totalBytes, Action action);
  // Shorthand: switch state at a byte count.
  void SetStateAtTotalBytes(std::uint64_t totalBytes, PrinterState state);

  // --- Replies to the host -------------------------------------------------

  void QueueMessage(const std::string& text);  // "A" text NUL
  void QueueStatus(const std::string& text);   // "S" text NUL
  // "E", two filler bytes, the count, a filler byte, the code.
  void QueueError(std::int8_t code, std::int8_t count = 0);
  void QueueRaw(const std::vector<BYTE>& bytes);
  // Takes up to `size` queued reply bytes; returns how many.
  std::size_t TakeReply(void* buffer, std::size_t size);
  std::size_t pendingReplyBytes() const;
  void ClearReplies();

  // --- Queries -------------------------------------------------------------

  // Length of the reply to the first query (default 20: black ink).
  void SetFirstReplyLength(std::size_t length);
  void SetLevels(const InkLevels& levels);
  InkLevels levels() const;
  // The next `count` queries (first or level) get no answer.
  void MuteQueries(int count);

  // --- Waiting for the printer ---------------------------------------------

  // A count that moves on with every change a waiting port cares about: a
  // state or flag change, bytes taken, a reply queued, a new rate, Wake().
  // Read it before trying, then WaitForChange(count, ...) cannot miss a
  // change that came in between.
  std::uint64_t changeCount() const;
  // Sleeps until the count differs from `seen` or `maxMs` milliseconds of
  // real time have passed (0: returns at once). Real-clock waiters only: a
  // fake clock does not move while this sleeps.
  void WaitForChange(std::uint64_t seen, DWORD maxMs) const;
  // Moves the count on without a change, e.g. to end a wait at Close.
  void Wake();
  // Milliseconds until the rate limit lets `want` more bytes through (or,
  // when `want` is more, a batch of 10 ms worth of the rate, so that a slow
  // printer is not asked byte by byte): 0 when it would now or there is no
  // limit, kNoAcceptExpected when the state takes nothing until it changes.
  static constexpr DWORD kNoAcceptExpected = 0xFFFFFFFFu;
  DWORD MsUntilAccept(std::size_t want) const;

  // --- What was seen -------------------------------------------------------

  std::vector<Frame> frames() const;
  // Names of the recognised frames, in order.
  std::vector<std::string> frameNames() const;
  int CountFrames(const std::string& name) const;
  // Log lines ("frame: A5 00 03 50 04 0A first-query", "state: offline").
  void SetLogSink(LogSink sink);

 private:
  struct Hook {
    std::uint64_t at;
    Action action;
    // A state change is made under the lock with the bytes that reach
    // `at`: run later, as an action, it could land after a SetState that
    // another thread made once it saw those bytes, and undo it.
    std::optional<PrinterState> state;
  };
  void SetStateLocked(PrinterState state, std::vector<std::string>& logs);

  DWORD StateFlagLocked() const;
  std::size_t RateAllowanceLocked();
  void RecordLocked(const BYTE* data, std::size_t size,
                    std::vector<std::string>& logs);
  void ScanFramesLocked(const BYTE* data, std::size_t size,
                        std::vector<std::string>& logs);
  void AnswerFrameLocked(const Frame& frame, std::vector<std::string>& logs);
  void Log(const std::vector<std::string>& lines);

  void NoteChangeLocked();

  mutable std::mutex mutex_;  // guards every member below
  mutable std::condition_variable changed_;  // signalled with changes_
  std::uint64_t changes_ = 0;
  PrinterState state_ = PrinterState::Ready;
  DWORD pendingFlags_ = 0;

  DWORD rate_ = 0;
  // Rate tokens in byte-milliseconds per second: one byte = 1000 units.
  std::uint64_t rateTokens_ = 0;
  DWORD rateLastTick_ = 0;
  bool rateStarted_ = false;

  plat::OutputFile outputFile_;  // closed: no copy on disk
  // Bytes in the output file (what was there at opening and what we wrote).
  std::uint64_t outputFileSize_ = 0;
  bool keepOutput_ = true;
  std::string output_;
  std::uint64_t total_ = 0;
  std::uint64_t offers_ = 0;

  std::vector<Hook> hooks_;  // sorted by `at`

  std::vector<BYTE> replies_;
  std::size_t firstReplyLength_ = 20;
  InkLevels levels_;
  int mute_ = 0;

  // The last bytes taken that may still be the start of a frame.
  std::vector<BYTE> scanWindow_;
  bool levelPadPending_ = false;  // the next byte may be the query's pad
  std::vector<Frame> frames_;

  LogSink logSink_;
};

}  // namespace vprinter
