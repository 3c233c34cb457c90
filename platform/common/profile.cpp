// The user's profile (win.ini): the pure INI reading and editing functions. Sections and keys match without
// regard to case; values are read trimmed of surrounding blanks. An edit
// changes the one line it concerns and keeps every other line, comments and
// unknown lines included, byte for byte.
// Any thread. Writers in this and other processes (the driver) are
// serialised by the file's no-sharing lock; readers see the old file or the
// new one, never a mixture.
#include "platform/profile.h"

#include <cerrno>
#include <optional>

#include "platform/common/text_util.h"

namespace plat {
namespace {

// One physical line: where it starts, its content and whether it ends in a
// line break.
struct Line {
  std::size_t start;
  std::string_view content;  // without "\n" / "\r\n"
  std::size_t end;           // one past the terminator
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    std::size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    std::string_view c = text.substr(pos, (nl == std::string_view::npos ? end : nl) - pos);
    if (!c.empty() && c.back() == '\r') c.remove_suffix(1);
    lines.push_back({pos, c, end});
    pos = end;
  }
  return lines;
}

// "[name]" -> name (trimmed); other lines are not section heads.
std::optional<std::string_view> SectionName(std::string_view content) {
  std::string_view t = TrimBlanks(content);
  if (t.empty() || t.front() != '[') return std::nullopt;
  std::size_t close = t.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return TrimBlanks(t.substr(1, close - 1));
}

// "key=value" -> key and value, both trimmed; comments and lines without
// '=' are not entries.
bool SplitEntry(std::string_view content, std::string_view& key,
                std::string_view& value) {
  std::string_view t = TrimBlanks(content);
  if (t.empty() || t.front() == ';') return false;
  std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) return false;
  key = TrimBlanks(t.substr(0, eq));
  value = TrimBlanks(t.substr(eq + 1));
  return !key.empty();
}

// Calls fn(lineIndex, key, value) for each entry of every section named
// `section`, in file order; fn returns false to stop.
template <typename Fn>
void ForEachEntry(const std::vector<Line>& lines, std::string_view section, Fn fn) {
  bool inside = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (auto name = SectionName(lines[i].content)) {
      inside = EqualNoCase(*name, section);
      continue;
    }
    std::string_view k, v;
    if (inside && SplitEntry(lines[i].content, k, v))
      if (!fn(i, k, v)) return;
  }
}

// The line break the file already uses; CRLF for a new file, as the
// original profile service writes.
std::string_view LineBreakOf(std::string_view ini) {
  std::size_t nl = ini.find('\n');
  if (nl != std::string_view::npos && (nl == 0 || ini[nl - 1] != '\r')) return "\n";
  return "\r\n";
}

bool ValidName(const std::string& s, const char* forbidden) {
  return !TrimBlanks(s).empty() && s.find_first_of(forbidden) == std::string::npos;
}

}  // namespace

std::string GetIniString(std::string_view ini, const std::string& section,
                         const std::string& key, const std::string& fallback) {
  std::optional<std::string> found;
  ForEachEntry(SplitLines(ini), section,
               [&](std::size_t, std::string_view k, std::string_view v) {
                 if (!EqualNoCase(k, key)) return true;
                 found.emplace(v);
                 return false;  // the first entry wins, as in the original
               });
  return found ? *found : fallback;
}

std::vector<std::pair<std::string, std::string>> GetIniSection(
    std::string_view ini, const std::string& section) {
  std::vector<std::pair<std::string, std::string>> out;
  ForEachEntry(SplitLines(ini), section,
               [&](std::size_t, std::string_view k, std::string_view v) {
                 out.emplace_back(std::string(k), std::string(v));
                 return true;
               });
  return out;
}

std::string SetIniString(std::string_view ini, const std::string& section,
                         const std::string& key, const std::string& value) {
  // Names that cannot be written back as they are would change other
  // entries or sections; leave the text alone.
  if (!ValidName(section, "]\r\n") || !ValidName(key, "=\r\n") ||
      TrimBlanks(key).front() == ';' || TrimBlanks(key).front() == '[')
    return std::string(ini);
  // A value ends at the line's end; a line break in it would plant entries.
  std::string v = value.substr(0, value.find_first_of("\r\n"));
  const std::string_view br = LineBreakOf(ini);
  const std::vector<Line> lines = SplitLines(ini);

  std::optional<std::size_t> entry;
  ForEachEntry(lines, section, [&](std::size_t i, std::string_view k, std::string_view) {
    if (!EqualNoCase(k, key)) return true;
    entry = i;
    return false;
  });
  std::string out;
  if (entry) {
    const Line& l = lines[*entry];
    // Keep the key as spelt in the file and the line's own terminator.
    std::string_view k, old;
    SplitEntry(l.content, k, old);
    out.append(ini.substr(0, l.start));
    out.append(k);
    out += '=';
    out += v;
    out.append(ini.substr(l.start + l.content.size()));
    return out;
  }

  // No such key: add it after the last non-blank line of the first section
  // of that name, or add the section at the end.
  std::optional<std::size_t> head, last;
  bool inside = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (auto name = SectionName(lines[i].content)) {
      if (inside) break;
      inside = EqualNoCase(*name, section);
      if (inside) head = last = i;
      continue;
    }
    if (inside && !TrimBlanks(lines[i].content).empty()) last = i;
  }
  const std::string newLine = key + "=" + v;
  if (head) {
    const Line& l = lines[*last];
    out.append(ini.substr(0, l.end));
    // A last line without its line feed (perhaps with a bare CR) gets one
    // first, or the new entry would be glued to it.
    if (l.end == 0 || ini[l.end - 1] != '\n') out.append(ini[l.end - 1] == '\r' ? "\n" : br);
    out += newLine;
    out.append(br);
    out.append(ini.substr(l.end));
    return out;
  }
  out.assign(ini);
  if (!out.empty() && out.back() != '\n') out.append(out.back() == '\r' ? "\n" : br);
  out += "[" + section + "]";
  out.append(br);
  out += newLine;
  out.append(br);
  return out;
}

// Whole lines go, terminators included; every other byte stays.
std::string RemoveIniString(std::string_view ini, const std::string& section,
                            const std::string& key) {
  std::string out;
  std::size_t kept = 0;  // where the text not yet copied begins
  const std::vector<Line> lines = SplitLines(ini);
  ForEachEntry(lines, section, [&](std::size_t i, std::string_view k, std::string_view) {
    if (EqualNoCase(k, key)) {
      out.append(ini.substr(kept, lines[i].start - kept));
      kept = lines[i].end;
    }
    return true;
  });
  out.append(ini.substr(kept));
  return out;
}

std::string RemoveIniSection(std::string_view ini, const std::string& section) {
  std::string out;
  bool inside = false;
  for (const Line& line : SplitLines(ini)) {
    if (auto name = SectionName(line.content)) inside = EqualNoCase(*name, section);
    if (!inside) out.append(ini.substr(line.start, line.end - line.start));
  }
  return out;
}

}  // namespace plat
