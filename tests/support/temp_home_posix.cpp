// The temporary home's folder on POSIX systems, where the home holds the
// registry and win.ini stand-ins too: nothing lives outside it.
// Test threads only.
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "tests/support/temp_home_system.h"

namespace kt {

std::string MakeTempHomeFolder() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kelvane-test-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) std::abort();
  return buf.data();
}

void ClearSystemState() {}

}  // namespace kt
