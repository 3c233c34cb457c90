// The string table: every text the user reads that has an id, and the loader
// with the original cut-off lengths.
// Any thread.
#pragma once

#include <string>

#include "platform/win_types.h"

// The caption of the spooler's own error boxes (with its full stop; the
// port prompts' caption, id IDS_CAPTION_PORT_ERROR, has none).
inline constexpr const char* kSpoolerErrorCaption = "Kelvane Error.";

inline constexpr int kCaptionLoadMax = 40;   // captions
inline constexpr int kPromptLoadMax = 250;   // port prompts

// The text of `id` cut to at most maxChars - 1 characters (as the original
// loader did with a buffer of maxChars); "" for an unknown id.
std::string LoadResString(UINT id, int maxChars = 256);
