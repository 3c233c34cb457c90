// The simulated printer's logic: state, flags, rate limit, output, frames,
// replies and byte-count hooks. Any thread; see virtual_printer.h.
#include "tools/vprinter/virtual_printer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/clock.h"

namespace vprinter {

namespace {

struct NamedFrame {
  const std::vector<BYTE>* bytes;
  const char* name;
};

const NamedFrame kKnownFrames[] = {
    {&frames::kCommand1, "command-1"},     {&frames::kFirstQuery, "first-query"},
    {&frames::kBlackForm, "black-form"},   {&frames::kColourForm, "colour-form"},
    {&frames::kCommand3, "command-3"},     {&frames::kCommand4, "command-4"},
    {&frames::kLevelQuery, "level-query"},
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The frame's header as a reply starts with it: 0xA5, the big-endian count
// of the bytes that follow, then the payload of the query it answers.
std::vector<BYTE> BuildReply(std::size_t length, BYTE command) {
  std::vector<BYTE> reply(length, 0);
  const BYTE header[] = {0xA5, static_cast<BYTE>(((length - 3) >> 8) & 0xFF),
                         static_cast<BYTE>((length - 3) & 0xFF), 0x50, 0x04,
                         command};
  if (length < 3) {
    // Too short for a header: the printer still answers with something.
    std::fill(reply.begin(), reply.end(), 0x50);
    return reply;
  }
  std::copy_n(header, std::min(length, sizeof header), reply.begin());
  return reply;
}

}  // namespace

const char* DescribeState(PrinterState state) {
  switch (state) {
    case PrinterState::Ready: return "ready";
    case PrinterState::NotSelected: return "offline";
    case PrinterState::OutOfPaper: return "paperout";
    case PrinterState::IoError: return "ioerror";
    case PrinterState::Stalled: return "stall";
  }
  return "unknown";
}

std::string NameFrame(const std::vector<BYTE>& frame) {
  for (const NamedFrame& known : kKnownFrames) {
    if (*known.bytes == frame) return known.name;
  }
  const auto& level = frames::kLevelQuery;
  if (frame.size() == level.size() + 1 &&
      std::equal(level.begin(), level.end(), frame.begin())) {
    return "level-query";
  }
  return "unknown";
}

std::string FormatHex(const BYTE* data, std::size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(size * 3);
  for (std::size_t i = 0; i < size; ++i) {
    if (i > 0) text += ' ';
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0x0F];
  }
  return text;
}

bool ParseHex(const std::string& text, std::vector<BYTE>& out) {
  out.clear();
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ',' || c == ':' || c == '\t') {
      if (high >= 0) return false;  // a lone digit
      continue;
    }
    int digit = HexDigit(c);
    if (digit < 0) return false;
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<BYTE>(high * 16 + digit));
      high = -1;
    }
  }
  return high < 0;
}

VirtualPrinter::VirtualPrinter() = default;

VirtualPrinter::~VirtualPrinter() = default;

// --- State and flags -------------------------------------------------------

DWORD VirtualPrinter::StateFlagLocked() const {
  switch (state_) {
    case PrinterState::NotSelected: return CE_DNS;
    case PrinterState::OutOfPaper: return CE_OOP;
    case PrinterState::IoError: return CE_IOE;
    case PrinterState::Ready:
    case PrinterState::Stalled: return 0;
  }
  return 0;
}

void VirtualPrinter::SetStateLocked(PrinterState state, std::vector<std::string>& logs) {
  if (state_ != state) logs.push_back(std::string("state: ") + DescribeState(state));
  state_ = state;
  pendingFlags_ |= StateFlagLocked();
  NoteChangeLocked();
}

void VirtualPrinter::SetState(PrinterState state) {
  std::vector<std::string> logs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    SetStateLocked(state, logs);
  }
  Log(logs);
}

PrinterState VirtualPrinter::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void VirtualPrinter::RaiseFlags(DWORD flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  pendingFlags_ |= flags;
  NoteChangeLocked();
}

DWORD VirtualPrinter::TakeFlags() {
  std::lock_guard<std::mutex> lock(mutex_);
  DWORD flags = pendingFlags_ | StateFlagLocked();
  pendingFlags_ = 0;
  return flags;
}

DWORD VirtualPrinter::PeekFlags() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pendingFlags_ | StateFlagLocked();
}

// --- Data ------------------------------------------------------------------

void VirtualPrinter::SetRate(DWORD bytesPerSecond) {
  std::lock_guard<std::mutex> lock(mutex_);
  rate_ = bytesPerSecond;
  rateTokens_ = 0;
  rateStarted_ = false;
  NoteChangeLocked();
}

bool VirtualPrinter::SetOutputFile(const std::string& path) {
  plat::OutputFile file;
  std::uint64_t size = 0;
  if (!path.empty()) {
    if (!file.OpenToAppend(path)) return false;
    if (!file.GetLength(size)) size = 0;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  outputFile_ = std::move(file);  // closes the one before
  outputFileSize_ = size;
  return true;
}

void VirtualPrinter::SetKeepOutput(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keepOutput_ = keep;
  if (!keep) output_.clear();
}

std::size_t VirtualPrinter::RateAllowanceLocked() {
  if (rate_ == 0) return SIZE_MAX;
  DWORD now = plat::GetTickCount();
  if (!rateStarted_) {
    rateStarted_ = true;
    rateLastTick_ = now;
  }
  DWORD elapsed = now - rateLastTick_;
  rateLastTick_ = now;
  // One second's worth at most: an idle printer does not bank a flood.
  const std::uint64_t cap = static_cast<std::uint64_t>(rate_) * 1000;
  rateTokens_ = std::min<std::uint64_t>(
      cap, rateTokens_ + static_cast<std::uint64_t>(elapsed) * rate_);
  return static_cast<std::size_t>(rateTokens_ / 1000);
}

std::size_t VirtualPrinter::Accept(const void* data, std::size_t size) {
  const BYTE* bytes = static_cast<const BYTE*>(data);
  std::size_t taken = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++offers_;
  }
  for (;;) {
    std::vector<Action> due;
    std::vector<std::string> logs;
    std::size_t n = 0;
    bool stateChanged = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto collectDue = [&] {
        while (!hooks_.empty() && hooks_.front().at <= total_) {
          if (hooks_.front().state) {
            SetStateLocked(*hooks_.front().state, logs);
            stateChanged = true;
          } else {
            due.push_back(std::move(hooks_.front().action));
          }
          hooks_.erase(hooks_.begin());
        }
      };
      collectDue();
      if (due.empty() && state_ == PrinterState::Ready && taken < size) {
        n = size - taken;
        if (!hooks_.empty()) {
          n = static_cast<std::size_t>(
              std::min<std::uint64_t>(n, hooks_.front().at - total_));
        }
        if (rate_ != 0) {
          n = std::min(n, RateAllowanceLocked());
          rateTokens_ -= static_cast<std::uint64_t>(n) * 1000;
        }
        if (n > 0) {
          RecordLocked(bytes + taken, n, logs);
          taken += n;
          NoteChangeLocked();
        }
        collectDue();
      }
    }
    Log(logs);
    for (Action& action : due) action(*this);
    if (due.empty() && n == 0 && !stateChanged) break;
  }
  return taken;
}

void VirtualPrinter::RecordLocked(const BYTE* data, std::size_t size,
                                  std::vector<std::string>& logs) {
  total_ += size;
  if (keepOutput_) output_.append(reinterpret_cast<const char*>(data), size);
  // A file we cannot write to only loses the copy on disk, never the
  // printer's run.
  if (outputFile_.IsOpen()) {
    if (outputFile_.WriteAll(data, size)) {
      outputFileSize_ += size;
    } else {
      logs.push_back(std::string("output: write failed: ") + std::strerror(errno));
    }
  }
  ScanFramesLocked(data, size, logs);
}

std::string VirtualPrinter::output() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

std::uint64_t VirtualPrinter::totalAccepted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

std::uint64_t VirtualPrinter::offers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return offers_;
}

void VirtualPrinter::ClearOutput() {
  std::lock_guard<std::mutex> lock(mutex_);
  output_.clear();
}

void VirtualPrinter::LoseLastBytes(std::size_t count) {
  std::vector<std::string> logs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    output_.resize(output_.size() - std::min(count, output_.size()));
    if (outputFile_.IsOpen()) {
      outputFileSize_ -= std::min<std::uint64_t>(count, outputFileSize_);
      if (!outputFile_.CutTo(outputFileSize_))
        logs.push_back(std::string("output: cut failed: ") + std::strerror(errno));
    }
    logs.push_back("printer: lost the last " + std::to_string(count) + " bytes");
    NoteChangeLocked();
  }
  Log(logs);
}

// --- Frames ----------------------------------------------------------------

// Frames may be split across writes and may start inside print data that
// happens to hold 0xA5, so every 0xA5 in the window is a candidate until its
// header proves otherwise; the first candidate to complete wins and the
// bytes it covers are not looked at again.
void VirtualPrinter::ScanFramesLocked(const BYTE* data, std::size_t size,
                                      std::vector<std::string>& logs) {
  for (std::size_t k = 0; k < size; ++k) {
    if (levelPadPending_) {
      levelPadPending_ = false;
      if (data[k] != 0xA5 && !frames_.empty()) {
        frames_.back().bytes.push_back(data[k]);
        continue;
      }
    }
    if (scanWindow_.empty() && data[k] != 0xA5) continue;
    scanWindow_.push_back(data[k]);
    if (scanWindow_ == frames::kLevelQuery) {
      // Answered before its pad byte: a sender that leaves the pad out
      // still gets its levels.
      Frame frame{scanWindow_, "level-query"};
      logs.push_back("frame: " +
                     FormatHex(frame.bytes.data(), frame.bytes.size()) +
                     " " + frame.name);
      frames_.push_back(frame);
      AnswerFrameLocked(frame, logs);
      scanWindow_.clear();
      levelPadPending_ = true;
      continue;
    }
    const std::size_t have = scanWindow_.size();
    std::size_t firstLive = have;
    bool completed = false;
    for (std::size_t i = 0; i < have; ++i) {
      if (scanWindow_[i] != 0xA5) continue;
      bool live = true;
      std::size_t length = 0;
      if (have - i >= 3) {
        length = (std::size_t{scanWindow_[i + 1]} << 8) | scanWindow_[i + 2];
        if (length == 0 || length > kMaxFramePayload) live = false;
      }
      if (live && have - i >= 4 && scanWindow_[i + 3] != 0x50) live = false;
      if (!live) continue;
      if (have - i >= 3 && have - i == 3 + length) {
        Frame frame;
        frame.bytes.assign(scanWindow_.begin() + static_cast<long>(i),
                           scanWindow_.end());
        frame.name = NameFrame(frame.bytes);
        logs.push_back("frame: " +
                       FormatHex(frame.bytes.data(), frame.bytes.size()) +
                       " " + frame.name);
        frames_.push_back(frame);
        AnswerFrameLocked(frame, logs);
        completed = true;
        break;
      }
      if (firstLive == have) firstLive = i;
    }
    if (completed) {
      scanWindow_.clear();
    } else {
      scanWindow_.erase(scanWindow_.begin(),
                        scanWindow_.begin() + static_cast<long>(firstLive));
    }
  }
}

void VirtualPrinter::AnswerFrameLocked(const Frame& frame,
                                       std::vector<std::string>& logs) {
  const bool first = frame.name == "first-query";
  const bool level = frame.name == "level-query";
  if (!first && !level) return;
  if (mute_ > 0) {
    --mute_;
    logs.push_back("reply: none to " + frame.name + " (muted)");
    return;
  }
  std::vector<BYTE> reply;
  if (first) {
    reply = BuildReply(firstReplyLength_, 0x0A);
  } else {
    reply = BuildReply(kLevelReplyLength, 0x0C);
    reply[10] = static_cast<BYTE>(levels_.black);
    reply[14] = static_cast<BYTE>(levels_.cyan);
    reply[18] = static_cast<BYTE>(levels_.magenta);
    reply[22] = static_cast<BYTE>(levels_.yellow);
  }
  logs.push_back("reply: " + std::to_string(reply.size()) + " bytes to " +
                 frame.name);
  replies_.insert(replies_.end(), reply.begin(), reply.end());
}

// --- Hooks -----------------------------------------------------------------

void VirtualPrinter::AtTotalBytes(std::uint64_t totalBytes, Action action) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto pos = std::upper_bound(
      hooks_.begin(), hooks_.end(), totalBytes,
      [](std::uint64_t at, const Hook& hook) { return at < hook.at; });
  hooks_.insert(pos, Hook{totalBytes, std::move(action), std::nullopt});
  NoteChangeLocked();  // a hook already due runs at the next Accept
}

void VirtualPrinter::SetStateAtTotalBytes(std::uint64_t totalBytes,
                                          PrinterState state) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto pos = std::upper_bound(
      hooks_.begin(), hooks_.end(), totalBytes,
      [](std::uint64_t at, const Hook& hook) { return at < hook.at; });
  hooks_.insert(pos, Hook{totalBytes, nullptr, state});
  NoteChangeLocked();
}

// --- Replies ---------------------------------------------------------------

void VirtualPrinter::QueueMessage(const std::string& text) {
  std::vector<BYTE> bytes{'A'};
  bytes.insert(bytes.end(), text.begin(), text.end());
  bytes.push_back(0);
  QueueRaw(bytes);
}

void VirtualPrinter::QueueStatus(const std::string& text) {
  std::vector<BYTE> bytes{'S'};
  bytes.insert(bytes.end(), text.begin(), text.end());
  bytes.push_back(0);
  QueueRaw(bytes);
}

void VirtualPrinter::QueueError(std::int8_t code, std::int8_t count) {
  QueueRaw({'E', 0, 0, static_cast<BYTE>(count), 0, static_cast<BYTE>(code)});
}

void VirtualPrinter::QueueRaw(const std::vector<BYTE>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.insert(replies_.end(), bytes.begin(), bytes.end());
  NoteChangeLocked();
}

std::size_t VirtualPrinter::TakeReply(void* buffer, std::size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = std::min(size, replies_.size());
  std::copy_n(replies_.begin(), n, static_cast<BYTE*>(buffer));
  replies_.erase(replies_.begin(), replies_.begin() + static_cast<long>(n));
  return n;
}

std::size_t VirtualPrinter::pendingReplyBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return replies_.size();
}

void VirtualPrinter::ClearReplies() {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_.clear();
}

// --- Queries ---------------------------------------------------------------

void VirtualPrinter::SetFirstReplyLength(std::size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  firstReplyLength_ = length;
}

void VirtualPrinter::SetLevels(const InkLevels& levels) {
  std::lock_guard<std::mutex> lock(mutex_);
  levels_ = levels;
}

InkLevels VirtualPrinter::levels() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return levels_;
}

// --- Waiting ---------------------------------------------------------------

void VirtualPrinter::NoteChangeLocked() {
  ++changes_;
  changed_.notify_all();
}

std::uint64_t VirtualPrinter::changeCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return changes_;
}

void VirtualPrinter::WaitForChange(std::uint64_t seen, DWORD maxMs) const {
  if (maxMs == 0) return;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(maxMs),
                    [&] { return changes_ != seen; });
}

void VirtualPrinter::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  NoteChangeLocked();
}

DWORD VirtualPrinter::MsUntilAccept(std::size_t want) const {
  std::lock_guard<std::mutex> lock(mutex_);
  // A hook that is due runs at the next Accept, whatever the state.
  if (!hooks_.empty() && hooks_.front().at <= total_) return 0;
  if (state_ != PrinterState::Ready) return kNoAcceptExpected;
  if (rate_ == 0 || want == 0 || !rateStarted_) return 0;
  // The same sums as RateAllowanceLocked, without spending anything.
  const std::uint64_t cap = static_cast<std::uint64_t>(rate_) * 1000;
  const DWORD elapsed = plat::GetTickCount() - rateLastTick_;
  const std::uint64_t tokens = std::min<std::uint64_t>(
      cap, rateTokens_ + static_cast<std::uint64_t>(elapsed) * rate_);
  const std::uint64_t batch = std::max<std::uint64_t>(1, rate_ / 100);
  const std::uint64_t need =
      std::min<std::uint64_t>(std::min<std::uint64_t>(want, batch), rate_) * 1000;
  if (tokens >= need) return 0;
  const std::uint64_t ms = (need - tokens + rate_ - 1) / rate_;
  return ms >= kNoAcceptExpected ? kNoAcceptExpected - 1
                                 : static_cast<DWORD>(ms);
}

void VirtualPrinter::MuteQueries(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  mute_ = std::max(0, count);
}

// --- What was seen ---------------------------------------------------------

std::vector<Frame> VirtualPrinter::frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

std::vector<std::string> VirtualPrinter::frameNames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> names;
  for (const Frame& frame : frames_) names.push_back(frame.name);
  return names;
}

int VirtualPrinter::CountFrames(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count_if(
      frames_.begin(), frames_.end(),
      [&](const Frame& frame) { return frame.name == name; }));
}

void VirtualPrinter::SetLogSink(LogSink sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  logSink_ = std::move(sink);
}

void VirtualPrinter::Log(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  LogSink sink;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sink = logSink_;
  }
  if (!sink) return;
  for (const std::string& line : lines) sink(line);
}

}  // namespace vprinter
