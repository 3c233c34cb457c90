// The print job runner: the body of the print thread. One run takes jobs one
// after another (queue mode) or the hand-opened file (manual mode), sends
// them to the port in 2048-byte blocks, handles faults through the prompts,
// honours the stop and pause requests and decides whether the program
// closes itself at the end.
// Print thread only.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

inline constexpr BYTE JOB_PREFIX[6] = {0x1B, 0x00, 0x04, 0x45, 0x00, 0x00};
inline constexpr DWORD kBlockSize = 2048;
inline constexpr DWORD kStallDelayMs = 1250;

// Exit codes.
inline constexpr DWORD kExitNormal = 0;
inline constexpr DWORD kExitStopped = 1;
inline constexpr DWORD kExitSpoolOpen = 2;
inline constexpr DWORD kExitPortOpen = 3;
inline constexpr DWORD kExitSpoolRead = 4;
inline constexpr DWORD kExitPortFault = 5;
inline constexpr DWORD kExitOutOfPaper = 6;
// The head record could not be removed from the queue file (or the file
// cannot be written at all): the run ended with the queue left as it was.
inline constexpr DWORD kExitQueueKept = 7;

DWORD PrintThreadProc(void* ignored);
