// The registry on Windows: HKEY_LOCAL_MACHINE itself, in the view the
// drivers see (registry_view.h). Each call opens the
// key, does its one query or set and closes it again; no key handle is
// kept, so the driver's and the installer's changes are seen at once.
// Failures leave the system's code (ERROR_FILE_NOT_FOUND for a missing key
// or value ...) as the last error.
// Any thread.
#include "platform/registry.h"

#include "platform/files.h"
#include "platform/win32/windows_api.h"
#include "platform/win32/registry_view.h"

namespace plat {
namespace {

// The key opened for `access`, or nullptr with the last error set.
HKEY OpenKey(const std::string& keyPath, REGSAM access) {
  HKEY key = nullptr;
  const W32_LONG rc = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0,
                                         access | kDriverRegistryView, &key);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return nullptr;
  }
  return key;
}

// A line break in a name cannot be written to the REGEDIT4 file the other
// systems keep; refused here too, so a caller meets the same rule everywhere.
bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

bool RegKeyExists(const std::string& keyPath) {
  HKEY key = OpenKey(keyPath, KEY_READ);
  if (!key) return false;
  ::RegCloseKey(key);
  return true;
}

std::optional<RegValue> RegQueryValue(const std::string& keyPath, const std::string& name) {
  HKEY key = OpenKey(keyPath, KEY_QUERY_VALUE);
  if (!key) return std::nullopt;
  RegValue value;
  W32_DWORD type = 0;
  W32_DWORD size = 0;
  W32_LONG rc = ::RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
  // The value may grow between the two calls: ask again until it fits.
  while (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
    value.data.resize(size);
    rc = ::RegQueryValueExA(key, name.c_str(), nullptr, &type,
                            value.data.empty() ? nullptr : value.data.data(), &size);
    if (rc == ERROR_SUCCESS) {
      value.data.resize(size);
      break;
    }
  }
  ::RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return std::nullopt;
  }
  value.type = type;
  // A string stored without its terminator reads as if it had one.
  if (type == REG_SZ && (value.data.empty() || value.data.back() != 0)) value.data.push_back(0);
  return value;
}

bool RegSetValue(const std::string& keyPath, const std::string& name, const RegValue& value) {
  if (HasLineBreak(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // Keys are made by installation only: a missing one fails here.
  HKEY key = OpenKey(keyPath, KEY_SET_VALUE);
  if (!key) return false;
  const W32_LONG rc =
      ::RegSetValueExA(key, name.c_str(), 0, value.type,
                       value.data.empty() ? nullptr : value.data.data(),
                       static_cast<W32_DWORD>(value.data.size()));
  ::RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return false;
  }
  return true;
}

bool RegCreateKey(const std::string& keyPath) {
  if (HasLineBreak(keyPath) || keyPath.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  HKEY key = nullptr;
  const W32_LONG rc = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr,
                                        REG_OPTION_NON_VOLATILE, KEY_WRITE | kDriverRegistryView, nullptr, &key,
                                        nullptr);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return false;
  }
  ::RegCloseKey(key);
  return true;
}

}  // namespace plat
