// What each system's temporary home body gives the shared TempHome
// (tests/support/temp_home.cpp). Test threads only.
#pragma once

#include <string>

namespace kt {

// A new empty folder for a temporary home; aborts when none can be made.
std::string MakeTempHomeFolder();

// Empties what the spooler keeps outside its home on this system (nothing
// where the home holds everything).
void ClearSystemState();

}  // namespace kt
