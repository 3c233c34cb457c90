// Profile: the user's win.ini in $KELVANE_HOME, INI sections and keys matched
// without regard to case as the original profile service does. A write
// creates the file, the section and the key as needed and replaces the file
// atomically under its no-sharing lock.
// Any thread.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/common/text_util.h"  // the blank and case rules used below

namespace plat {

// The value, or `fallback` when the file, section or key is missing.
std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& fallback = "");
bool WriteProfileString(const std::string& section, const std::string& key,
                        const std::string& value);
// Removes every entry of that key from the section (as the system's call
// does when given no value); true also when there was none.
bool DeleteProfileString(const std::string& section, const std::string& key);
// All key=value pairs of a section in file order ([ports], [devices]).
std::vector<std::pair<std::string, std::string>> GetProfileSection(
    const std::string& section);

// The same on explicit text, for tests and the fuzzer.
std::string GetIniString(std::string_view ini, const std::string& section,
                         const std::string& key, const std::string& fallback);
std::string SetIniString(std::string_view ini, const std::string& section,
                         const std::string& key, const std::string& value);
std::vector<std::pair<std::string, std::string>> GetIniSection(
    std::string_view ini, const std::string& section);
std::string RemoveIniString(std::string_view ini, const std::string& section,
                            const std::string& key);
// Removes every section of that name, its head and its lines up to the
// next section; every other byte stays.
std::string RemoveIniSection(std::string_view ini, const std::string& section);

}  // namespace plat
