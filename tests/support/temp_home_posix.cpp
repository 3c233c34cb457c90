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
  SetEnv("KELVANE_HOME", path_);
  ResetSpoolerState();
}

TempHome::~TempHome() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  if (hadHome_)
    SetEnv("KELVANE_HOME", oldHome_);
  else
    UnsetEnv("KELVANE_HOME");
}

}  // namespace kt

namespace kt {

void SetEnv(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}

void UnsetEnv(const std::string& name) { ::unsetenv(name.c_str()); }

}  // namespace kt
