// The shared spooler state's test seam: putting every variable back to its
// initial value between tests. The program itself never needs it, and
// production code never includes this header.
// A test thread, while no print thread runs.
#pragma once

// Restores every variable of app/state/spooler_state.h to its initial value.
// Not to be called while a print thread runs.
void ResetSpoolerState();
