// libFuzzer entry point for the ink-level decoder: the first input byte is
// the length of the answer to the first query, the rest is what the level
// query's read delivered (cut to the 30-byte reply buffer). Fuzzer thread
// only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/printer_commands.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

bool IsSignedByte(int value) { return value >= -128 && value <= 127; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  const bool blackInk = IsBlackInkReply(data[0] % (kInkReplySize + 1));
  const std::uint8_t* reply = data + 1;
  std::size_t replySize = size - 1;
  if (replySize > kInkReplySize) replySize = kInkReplySize;

  const InkLevels levels = DecodeInkReply(blackInk, reply, replySize);
  // A reply that stops before the last offset its ink type needs (10 for
  // black, 22 for colour) is no answer at all: nothing is published.
  const std::size_t needed = blackInk ? 11 : 23;
  if (replySize < needed) {
    Require(levels.inkType == kInkTypeUnknown);
    Require(levels.black == 0 && levels.cyan == 0 && levels.magenta == 0 &&
            levels.yellow == 0);
    return 0;
  }
  Require(levels.inkType == (blackInk ? kInkTypeBlack : kInkTypeColour));
  Require(IsSignedByte(levels.black) && IsSignedByte(levels.cyan) &&
          IsSignedByte(levels.magenta) && IsSignedByte(levels.yellow));
  if (blackInk) {
    Require(levels.cyan == 0 && levels.magenta == 0 && levels.yellow == 0);
    Require(levels.black == static_cast<std::int8_t>(reply[10]));
  } else {
    Require(levels.black == 0);
    Require(levels.yellow == static_cast<std::int8_t>(reply[22]));
  }
  return 0;
}
