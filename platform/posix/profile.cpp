// The user's profile on POSIX: win.ini in the spooler's home, read whole,
// edited one line at a time (platform/common/profile.cpp) and written back
// whole under its no-sharing lock.
// Any thread. Writers in this and other processes (the driver) are
// serialised by the file's no-sharing lock; readers see the old file or the
// new one, never a mixture.
#include "platform/profile.h"

#include <cerrno>

#include "platform/files.h"
#include "platform/home.h"

namespace plat {
namespace {

bool ValidName(const std::string& s, const char* forbidden) {
  return !TrimBlanks(s).empty() && s.find_first_of(forbidden) == std::string::npos;
}

}  // namespace

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& fallback) {
  std::string text;
  if (!ReadWholeFile(ProfilePath(), text)) return fallback;
  return GetIniString(text, section, key, fallback);
}

std::vector<std::pair<std::string, std::string>> GetProfileSection(
    const std::string& section) {
  std::string text;
  if (!ReadWholeFile(ProfilePath(), text)) return {};
  return GetIniSection(text, section);
}

bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value) {
  if (!ValidName(section, "]\r\n") || !ValidName(key, "=\r\n") ||
      value.find_first_of("\r\n") != std::string::npos) {
    SetLastError(EINVAL);
    return false;
  }
  if (!MakeDirectories(KelvaneHome(), 0700)) return false;
  return UpdateFileContents(ProfilePath(), Disposition::OpenAlways,
                            [&](const std::string& text, std::string& updated) {
                              updated = SetIniString(text, section, key, value);
                              return true;
                            });
}

bool DeleteProfileString(const std::string& section, const std::string& key) {
  if (!ValidName(section, "]\r\n") || !ValidName(key, "=\r\n")) {
    SetLastError(EINVAL);
    return false;
  }
  std::string text;
  if (!ReadWholeFile(ProfilePath(), text) ||
      RemoveIniString(text, section, key).size() == text.size())
    return true;  // nothing to remove: the file is not written
  return UpdateFileContents(ProfilePath(), Disposition::OpenAlways,
                            [&](const std::string& current, std::string& updated) {
                              updated = RemoveIniString(current, section, key);
                              return true;
                            });
}

}  // namespace plat
