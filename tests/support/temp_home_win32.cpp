// The temporary home's folder on Windows, and what lives outside it: the
// spooler's settings in the real registry and its handshake in the real
// win.ini (of the Wine prefix under test), which the guard empties when it
// starts and when it ends, so that no suite sees another's values.
// Test threads only.
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "platform/single_instance.h"
#include "tests/support/temp_home_system.h"
#include "tests/support/test_support.h"
#include "platform/win32/windows_api.h"
#include "platform/win32/registry_view.h"

namespace kt {

void ClearSystemState() {
  // The product's key (queue/settings_store.h's kProductKey, whose header
  // cannot sit beside the system's: both name a PRINTER_INFO_2).
  HKEY vendor = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VORNA", 0,
                      KEY_ALL_ACCESS | kDriverRegistryView, &vendor) == ERROR_SUCCESS) {
    ::RegDeleteTreeA(vendor, "Kelvane");
    ::RegDeleteKeyExA(vendor, "Kelvane", kDriverRegistryView, 0);
    ::RegCloseKey(vendor);
  }
  // A null key removes the whole section.
  ::WriteProfileStringA(plat::kHandshakeSection, nullptr, nullptr);
}

std::string MakeTempHomeFolder() {
  std::mt19937 random{std::random_device{}()};
  const std::filesystem::path temp = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate =
        (temp / ("kelvane-test-" + std::to_string(random() % 1000000000u))).string();
    if (::CreateDirectoryA(candidate.c_str(), nullptr)) return candidate;
  }
  std::abort();
}

}  // namespace kt

int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && std::getenv(name)) return 0;
  // An empty value would remove the variable: none of ours is empty.
  return ::_putenv_s(name, value) == 0 ? 0 : -1;
}

int unsetenv(const char* name) { return ::_putenv_s(name, "") == 0 ? 0 : -1; }
