// The recent-file list of the desktop spooler in kelvane.ini, as plain INI
// text: section [Recent File List], keys File1 to File4, each value the
// path as it is (no quoting, no escapes), most recent first. Files written
// by earlier versions, in the toolkit's escaped form ([Recent\ File\ List],
// backslashes doubled), are still read, and the next save rewrites them
// plainly.
// Any thread: pure functions, and the file read and written whole.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace app {

inline constexpr const char* kRecentFileSection = "Recent File List";

// The paths listed in `ini`, most recent first, at most `count`.
std::vector<std::string> ParseRecentFiles(std::string_view ini, int count);
// `ini` with its list replaced by `files` (most recent first); the other
// sections stay as they are.
std::string WithRecentFiles(std::string_view ini, const std::vector<std::string>& files);

// The same on the file at `path`; a missing file lists nothing. False when
// the file cannot be written.
std::vector<std::string> LoadRecentFiles(const std::string& path, int count);
bool SaveRecentFiles(const std::string& path, const std::vector<std::string>& files);

}  // namespace app
