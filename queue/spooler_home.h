// The spooler's home as the programs that feed it set it up: the folders
// (home, spool, run), the settings key with its port, and the profile's
// entries a first job needs (LPT1: in [ports], our printers in [devices]
// where that section is our stand-in for the system's list, the handshake
// section's InkType). Shared by the printer driver and the CUPS backend.
// Any thread; what it writes goes through the settings store and the
// profile, which take care of other writers.
#pragma once

#include <string>

// The folder of the spool files, under KELVANE_HOME.
std::string SpoolDirectory();

// Creates what is missing of the home; keeps every existing value. False
// with `error` in words for the user when a folder, the key or the profile
// cannot be made, or when the home is too long for a spool file's path to
// fit on a record's line.
bool InstallSpoolerHome(std::string& error);
