// The simulated printer's commands and scripts, apart from how they reach
// it (a control socket, a script file, a test).
// Any thread; each call works on the printer it is given.
#include "tools/vprinter/printer_script.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace vprinter {

namespace {

bool ParseInt(const std::string& text, long long low, long long high,
              long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  out = value;
  return true;
}

// Splits off the first word; `rest` is what follows, trimmed.
std::string SplitWord(const std::string& line, std::string& rest) {
  std::string trimmed = TrimCommand(line);
  std::size_t gap = trimmed.find_first_of(" \t");
  if (gap == std::string::npos) {
    rest.clear();
    return trimmed;
  }
  rest = TrimCommand(trimmed.substr(gap));
  return trimmed.substr(0, gap);
}

}  // namespace

std::string TrimCommand(const std::string& text) {
  const char* space = " \t\r\n";
  std::size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  std::size_t last = text.find_last_not_of(space);
  return text.substr(first, last - first + 1);
}

bool ParseLevels(const std::string& text, InkLevels& levels) {
  std::stringstream in(text);
  std::string part;
  std::vector<long long> values;
  while (std::getline(in, part, ',')) {
    long long v = 0;
    if (!ParseInt(TrimCommand(part), -128, 127, v)) return false;
    values.push_back(v);
  }
  if (values.size() != 4) return false;
  levels.black = static_cast<std::int8_t>(values[0]);
  levels.cyan = static_cast<std::int8_t>(values[1]);
  levels.magenta = static_cast<std::int8_t>(values[2]);
  levels.yellow = static_cast<std::int8_t>(values[3]);
  return true;
}

bool ApplyCommand(VirtualPrinter& printer, const std::string& line,
                  std::string& error) {
  std::string rest;
  const std::string word = SplitWord(line, rest);
  const struct {
    const char* word;
    PrinterState state;
  } states[] = {{"ready", PrinterState::Ready},
                {"offline", PrinterState::NotSelected},
                {"paperout", PrinterState::OutOfPaper},
                {"ioerror", PrinterState::IoError},
                {"stall", PrinterState::Stalled}};
  for (const auto& s : states) {
    if (word == s.word && rest.empty()) {
      printer.SetState(s.state);
      return true;
    }
  }
  long long n = 0;
  if (word == "status") {
    printer.QueueStatus(rest);
    return true;
  }
  if (word == "message") {
    printer.QueueMessage(rest);
    return true;
  }
  if (word == "error") {
    std::string countText;
    std::string codeText = SplitWord(rest, countText);
    long long code = 0;
    long long count = 0;
    if (!ParseInt(codeText, -128, 127, code) ||
        (!countText.empty() && !ParseInt(countText, -128, 127, count))) {
      error = "error wants CODE [COUNT], each -128..127";
      return false;
    }
    printer.QueueError(static_cast<std::int8_t>(code),
                       static_cast<std::int8_t>(count));
    return true;
  }
  if (word == "lose" && ParseInt(rest, 0, 1000000000, n)) {
    printer.LoseLastBytes(static_cast<std::size_t>(n));
    return true;
  }
  if (word == "raw") {
    std::vector<BYTE> bytes;
    if (!ParseHex(rest, bytes) || bytes.empty()) {
      error = "raw wants hex bytes, e.g. raw 53 6F 6B 00";
      return false;
    }
    printer.QueueRaw(bytes);
    return true;
  }
  if (word == "mute" && ParseInt(rest, 0, 1000000, n)) {
    printer.MuteQueries(static_cast<int>(n));
    return true;
  }
  if (word == "levels") {
    InkLevels levels;
    if (!ParseLevels(rest, levels)) {
      error = "levels wants B,C,M,Y, each -128..127";
      return false;
    }
    printer.SetLevels(levels);
    return true;
  }
  if (word == "rate" && ParseInt(rest, 0, 0xFFFFFFFFLL, n)) {
    printer.SetRate(static_cast<DWORD>(n));
    return true;
  }
  if (word == "first-reply-length" && ParseInt(rest, 0, 4096, n)) {
    printer.SetFirstReplyLength(static_cast<std::size_t>(n));
    return true;
  }
  error = "not understood: " + TrimCommand(line);
  return false;
}

bool LoadScript(VirtualPrinter& printer, const std::string& text,
                std::vector<TimedCommand>& timed, const VirtualPrinter::LogSink& log,
                std::string& error) {
  std::stringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    line = TrimCommand(line);
    if (line.empty()) continue;
    std::string rest;
    std::string when = SplitWord(line, rest);
    std::string command;
    std::string countText = SplitWord(rest, command);
    long long count = 0;
    VirtualPrinter scratch;  // proves the command before it is scheduled
    std::string why;
    const bool known = when == "after-bytes" || when == "after-ms";
    const long long most = when == "after-ms" ? 0xFFFFFFFFLL : (1LL << 62);
    if (!known || !ParseInt(countText, 0, most, count) ||
        !ApplyCommand(scratch, command, why)) {
      error = "line " + std::to_string(number) + ": " + line +
              (why.empty() ? "" : " (" + why + ")");
      return false;
    }
    if (when == "after-ms") {
      timed.push_back({static_cast<std::uint32_t>(count), command});
    } else {
      printer.AtTotalBytes(
          static_cast<std::uint64_t>(count),
          [log, command, count](VirtualPrinter& p) {
            if (log) log("script: after-bytes " + std::to_string(count) + " " +
                command);
            std::string ignored;
            ApplyCommand(p, command, ignored);
          });
    }
  }
  std::stable_sort(timed.begin(), timed.end(),
                   [](const TimedCommand& a, const TimedCommand& b) {
                     return a.afterMs < b.afterMs;
                   });
  return true;
}

}  // namespace vprinter
