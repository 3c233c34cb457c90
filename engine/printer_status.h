// Printer status replies and port fault prompts: turning printer trouble
// into words for the user.
// Print thread or main thread; blocks until the user closes the box.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win_types.h"

inline constexpr std::uint16_t STATUS_NONE = 0;
inline constexpr std::uint16_t STATUS_SHOWN = 1;
inline constexpr std::uint16_t STATUS_ERROR_SHOWN = 300;
inline constexpr std::uint16_t STATUS_ERROR_SILENT = 301;

inline constexpr DWORD kStatusReplySize = 100;
inline constexpr std::uint16_t kStatusReadTimeoutMs = 500;

std::uint16_t QueryPrinterStatus(HANDLE port, std::int16_t& count);
// Puts the port fault `code` to the user (PortFaultQuestion, in the mode of
// the run) and returns the answer, 0 for none.
int PromptPortError(std::int32_t code);

// ---- Pure decoding, for tests and the fuzzer (no port, no lock, no box) ----

enum class StatusReplyKind { None, Message, Status, Error, Other };

// What one status reply asks of the user.
struct StatusReplyDecision {
  StatusReplyKind kind = StatusReplyKind::None;
  bool showBox = false;
  UINT captionId = 0;
  std::string caption;   // loaded with kCaptionLoadMax
  std::string text;
  UINT style = 0;
  bool hasCount = false;  // count is delivered for every "E" reply
  std::int16_t count = 0;
  std::uint16_t result = STATUS_NONE;
};

// True when the reply is an "E" reply with code 3, whose text quotes the
// current job's ribbon type.
bool StatusReplyNeedsRibbonType(const BYTE* bytes, std::size_t size);

// Decodes `size` received bytes. A text ends at its first NUL or at the last
// byte received, whichever comes first. An "E" reply too short to carry its
// code (fewer than 6 bytes) is shown as an unknown error; one too short to
// carry its count (fewer than 4 bytes) delivers the count 0.
StatusReplyDecision DecodeStatusReply(const BYTE* bytes, std::size_t size,
                                      std::string_view ribbonType);
