// The temporary KELVANE_HOME on POSIX systems, where the home holds the
// registry and win.ini stand-ins too.
// Test threads only.
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "app/spooler_state.h"
#include "tests/support/test_support.h"

namespace kt {

TempHome::TempHome() {
  const char* old = std::getenv("KELVANE_HOME");
  hadHome_ = old != nullptr;
  if (old) oldHome_ = old;
  std::string tmpl = (std::filesystem::temp_directory_path() / "kelvane-test-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) std::abort();
  path_ = buf.data();
  setenv("KELVANE_HOME", path_.c_str(), 1);
  ResetSpoolerState();
}

TempHome::~TempHome() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  if (hadHome_)
    setenv("KELVANE_HOME", oldHome_.c_str(), 1);
  else
    unsetenv("KELVANE_HOME");
}

}  // namespace kt

