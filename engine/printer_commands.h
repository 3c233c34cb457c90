// Printer commands from the driver (WM_SPOOLER_COMMAND) and the ink-level
// query published in the "Tovrel" section of the profile.
// Main thread (commands, "-i" start) or print thread (before a Tovrel job).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win_types.h"

// 0 when refused because a job is printing, 1 otherwise.
LRESULT OnSpoolerCommand(WPARAM command);
// Without a handle (INVALID_HANDLE_VALUE) it opens g_szPortName itself. The
// port is closed at the end in every case.
void UpdateInkLevels(HANDLE port = INVALID_HANDLE_VALUE);

// ---- Pure decoding, for tests and the fuzzer ----

inline constexpr DWORD kInkReplySize = 30;
inline constexpr std::uint16_t kInkReadTimeoutMs = 500;

// "InkType" values.
inline constexpr int kInkTypeUnknown = 0;
inline constexpr int kInkTypeBlack = 1;
inline constexpr int kInkTypeColour = 2;

// A first-query reply longer than 12 bytes marks a black-ink printer.
bool IsBlackInkReply(std::size_t firstReplySize);

struct InkLevels {
  int inkType = kInkTypeUnknown;  // kInkTypeUnknown: nothing to publish
  int black = 0;                  // with kInkTypeBlack
  int cyan = 0, magenta = 0, yellow = 0;  // with kInkTypeColour
};

// Levels from a level reply of `size` received bytes. A reply that does not
// reach every offset its ink type needs (10 for black; 14, 18 and 22 for
// colour) gives kInkTypeUnknown, as one with no byte at all does: the levels
// were not read, and zeros would pass for empty cartridges.
InkLevels DecodeInkReply(bool blackInk, const BYTE* reply, std::size_t size);
