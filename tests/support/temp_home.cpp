// The temporary KELVANE_HOME: points the variable at a new folder for the
// guard's life, then removes the folder and puts the variable back. The
// folder and what lives outside it come from each system's body.
// Test threads only.
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>

#include "app/state/spooler_state.h"
#include "app/state/spooler_state_test_support.h"
#include "tests/support/temp_home_system.h"
#include "tests/support/test_support.h"

namespace kt {

TempHome::TempHome() {
  const char* old = std::getenv("KELVANE_HOME");
  hadHome_ = old != nullptr;
  if (old) oldHome_ = old;
  path_ = MakeTempHomeFolder();
  setenv("KELVANE_HOME", path_.c_str(), 1);
  ClearSystemState();
  ResetSpoolerState();
}

TempHome::~TempHome() {
  ClearSystemState();
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  if (hadHome_)
    setenv("KELVANE_HOME", oldHome_.c_str(), 1);
  else
    unsetenv("KELVANE_HOME");
}

}  // namespace kt
