// Small text helpers for the INI-style files the spooler shares with the
// driver and the user (win.ini, the registry store): blanks are spaces and
// tabs only, and names compare without regard to ASCII case, as the
// original profile service compares them.
// Any thread: pure functions.
#pragma once

#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>

namespace plat {

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// `s` without the blanks around it (line breaks are not blanks).
inline std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// `s` without the blanks and line breaks around it (a typed answer, a
// field of a device ID).
inline std::string_view TrimSpace(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// `s` in ASCII lower case.
inline std::string ToLower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The line without its terminator ("\n" or "\r\n").
inline std::string_view LineContent(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

inline bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace plat
