// The simulated printer's control commands and scripts, whatever carries
// them (kelvane-printer's control socket or port, a script file, a test).
//
// Control commands (also the actions of a script):
//   ready | offline | paperout | ioerror | stall
//   status TEXT | message TEXT | error CODE COUNT | raw HEX
//   mute N | levels B,C,M,Y | rate BYTES_PER_SEC | first-reply-length N
//   lose N (the printer spoils the last N bytes it took)
// Script lines: "after-bytes N COMMAND" and "after-ms N COMMAND" (from the
// server's start); "#" starts a comment.
// Any thread; each call works on the printer it is given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vprinter/virtual_printer.h"

namespace vprinter {

// `text` without the blanks and line ends around it, as a command line is
// read.
std::string TrimCommand(const std::string& text);

// Carries out one control command on the printer. False with `error` set
// when the command is not understood.
bool ApplyCommand(VirtualPrinter& printer, const std::string& line,
                  std::string& error);

// Parses "B,C,M,Y" (each -128..127).
bool ParseLevels(const std::string& text, InkLevels& levels);

struct TimedCommand {
  std::uint32_t afterMs;
  std::string command;
};

// Loads a script: byte-count events go to the printer at once (logged to
// `log` when they run), timed ones are appended to `timed`, sorted by time,
// for the server's loop to run. False with `error` naming the bad line.
bool LoadScript(VirtualPrinter& printer, const std::string& text,
                std::vector<TimedCommand>& timed, const VirtualPrinter::LogSink& log,
                std::string& error);

}  // namespace vprinter
