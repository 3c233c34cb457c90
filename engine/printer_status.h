// Printer status replies and port fault prompts: turning printer trouble
// into words for the user.
// Print thread or main thread; blocks until the user closes the box.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

inline constexpr std::uint16_t STATUS_NONE = 0;
inline constexpr std::uint16_t STATUS_SHOWN = 1;
inline constexpr std::uint16_t STATUS_ERROR_SHOWN = 300;
inline constexpr std::uint16_t STATUS_ERROR_SILENT = 301;

inline constexpr DWORD kStatusReplySize = 100;
inline constexpr std::uint16_t kStatusReadTimeoutMs = 500;

std::uint16_t QueryPrinterStatus(HANDLE port, std::int16_t& count);
int PromptPortError(std::int32_t code);
