// What the engine knows about the printer models a job can name (the
// record's printer line), in one place with the reason for each.
// Any thread (constants only).
#pragma once

// "VORNA Cantella" stalls instead of raising a flag when it cannot take a
// block: after 750 ms the write gives up with WRITE_STALLED and the runner
// reads the printer's own status reply. It also keeps the spooler open after
// the queue has emptied, for the driver's commands, until the idle rule
// closes the program.
inline constexpr const char* kStallingModel = "VORNA Cantella";

// "Tovrel" is the ink printer: its ink levels are queried (and published
// for the driver) before each of its jobs.
inline constexpr const char* kInkModel = "Tovrel";
