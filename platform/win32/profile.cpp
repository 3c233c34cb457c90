// The user's profile on Windows: win.ini through the system's profile
// calls, which the driver uses too, so both see one file however the system
// keeps it. The same names and values are refused as on the other systems:
// a line break would plant entries of its own.
// Any thread.
#include "platform/profile.h"

#include "platform/files.h"
#include "platform/win32/windows_api.h"

// Ours, not the system's A/W macro.

namespace plat {
namespace {

// The longest section or value we ask for; the profile calls cannot say
// how long a value is, only that it did not fit.
constexpr W32_DWORD kMaxProfileText = 1u << 20;

bool ValidName(const std::string& s, const char* forbidden) {
  return !TrimBlanks(s).empty() && s.find_first_of(forbidden) == std::string::npos;
}

}  // namespace

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& fallback) {
  std::string buffer(256, '\0');
  for (;;) {
    const W32_DWORD size = static_cast<W32_DWORD>(buffer.size());
    const W32_DWORD length = ::GetProfileStringA(section.c_str(), key.c_str(), fallback.c_str(),
                                                 buffer.data(), size);
    // size - 1 means "cut short".
    if (length + 1 < size || size >= kMaxProfileText) {
      buffer.resize(length);
      return buffer;
    }
    buffer.assign(static_cast<std::size_t>(size) * 2, '\0');
  }
}

std::vector<std::pair<std::string, std::string>> GetProfileSection(const std::string& section) {
  std::string buffer(1024, '\0');
  W32_DWORD length = 0;
  for (;;) {
    const W32_DWORD size = static_cast<W32_DWORD>(buffer.size());
    length = ::GetProfileSectionA(section.c_str(), buffer.data(), size);
    // size - 2 means "cut short".
    if (length + 2 < size || size >= kMaxProfileText) break;
    buffer.assign(static_cast<std::size_t>(size) * 2, '\0');
  }
  // "key=value\0key=value\0\0": entries without '=' are not ours to read.
  std::vector<std::pair<std::string, std::string>> entries;
  std::size_t pos = 0;
  while (pos < length && buffer[pos] != '\0') {
    const std::string entry(buffer.c_str() + pos);
    pos += entry.size() + 1;
    const std::size_t eq = entry.find('=');
    if (eq == std::string::npos) continue;
    const std::string_view name = TrimBlanks(std::string_view(entry).substr(0, eq));
    if (name.empty() || name.front() == ';') continue;
    entries.emplace_back(std::string(name),
                         std::string(TrimBlanks(std::string_view(entry).substr(eq + 1))));
  }
  return entries;
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value) {
  if (!ValidName(section, "]\r\n") || !ValidName(key, "=\r\n") ||
      value.find_first_of("\r\n") != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!::WriteProfileStringA(section.c_str(), key.c_str(), value.c_str())) {
    SetLastError(::GetLastError());
    return false;
  }
  return true;
}

bool DeleteProfileString(const std::string& section, const std::string& key) {
  if (!ValidName(section, "]\r\n") || !ValidName(key, "=\r\n")) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // No value: the system removes the key.
  if (!::WriteProfileStringA(section.c_str(), key.c_str(), nullptr)) {
    SetLastError(::GetLastError());
    return false;
  }
  return true;
}

}  // namespace plat
