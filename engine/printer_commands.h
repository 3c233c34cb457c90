// Printer commands from the driver (WM_SPOOLER_COMMAND) and the ink-level
// query published in the "Tovrel" section of the profile.
// Main thread (commands, "-i" start) or print thread (before a Tovrel job).
#pragma once

#include "platform/win_types.h"

// 0 when refused because a job is printing, 1 otherwise.
LRESULT OnSpoolerCommand(WPARAM command);
// Without a handle (INVALID_HANDLE_VALUE) it opens g_szPortName itself. The
// port is closed at the end in every case.
void UpdateInkLevels(HANDLE port = INVALID_HANDLE_VALUE);
