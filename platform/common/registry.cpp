// The REGEDIT4 text format: the parser and formatter (pure, exact round
// trip). The POSIX store keeps the registry in such a file; on Windows they
// read and write .reg files only.
// Any thread; no state.
#include "platform/registry.h"

#include <cerrno>
#include <cstdio>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/common/text_util.h"

namespace plat {
namespace {

constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE\\";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted string at the front of `s` with regedit's two escapes
// (\\ and \"); anything else after a backslash is not regedit's and makes
// the line unreadable.
bool ParseQuoted(std::string_view& s, std::string& out) {
  if (s.empty() || s.front() != '"') return false;
  out.clear();
  std::size_t i = 1;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s.size()) return false;
      char n = s[i + 1];
      if (n != '\\' && n != '"') return false;
      out += n;
      ++i;
      continue;
    }
    out += c;
  }
  return false;
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

// "2c,00,ff" (blanks allowed around items); an empty list is valid.
bool ParseHexBytes(std::string_view s, std::vector<BYTE>& out) {
  out.clear();
  s = TrimBlanks(s);
  if (s.empty()) return true;
  for (;;) {
    std::size_t comma = s.find(',');
    std::string_view item = TrimBlanks(s.substr(0, comma));
    if (item.size() != 2) return false;
    int hi = HexDigit(item[0]);
    int lo = HexDigit(item[1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<BYTE>(hi * 16 + lo));
    if (comma == std::string_view::npos) return true;
    s.remove_prefix(comma + 1);
    // regedit ends a continued line with a comma; the list may end there.
    if (TrimBlanks(s).empty()) return true;
  }
}

// The data part after '=': a string, dword: or hex[(n)]: list.
bool ParseData(std::string_view s, RegValue& value) {
  s = TrimBlanks(s);
  if (!s.empty() && s.front() == '"') {
    std::string text;
    if (!ParseQuoted(s, text) || !TrimBlanks(s).empty()) return false;
    value.type = REG_SZ;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    return true;
  }
  if (s.size() >= 6 && EqualNoCase(s.substr(0, 6), "dword:")) {
    std::string_view digits = s.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    DWORD v = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) return false;
      v = v * 16 + static_cast<DWORD>(d);
    }
    value.type = REG_DWORD;
    value.data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8),
                  static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)};
    return true;
  }
  if (s.size() >= 3 && EqualNoCase(s.substr(0, 3), "hex")) {
    s.remove_prefix(3);
    DWORD type = REG_BINARY;
    if (!s.empty() && s.front() == '(') {
      std::size_t close = s.find(')');
      if (close == std::string_view::npos || close == 1 || close > 9) return false;
      type = 0;
      for (char c : s.substr(1, close - 1)) {
        int d = HexDigit(c);
        if (d < 0) return false;
        type = type * 16 + static_cast<DWORD>(d);
      }
      s.remove_prefix(close + 1);
    }
    if (s.empty() || s.front() != ':') return false;
    s.remove_prefix(1);
    value.type = type;
    return ParseHexBytes(s, value.data);
  }
  return false;
}

// A value line's content (continuations already joined).
bool ParseValueContent(std::string_view s, std::string& name, RegValue& value) {
  if (s.empty()) return false;
  if (s.front() == '@') {
    name.clear();
    s.remove_prefix(1);
  } else if (!ParseQuoted(s, name)) {
    return false;
  }
  s = TrimBlanks(s);
  if (s.empty() || s.front() != '=') return false;
  s.remove_prefix(1);
  return ParseData(s, value);
}

// "[HKEY_LOCAL_MACHINE\path]" -> path. Other roots are not ours.
bool ParseKeyContent(std::string_view s, std::string& key) {
  s = TrimBlanks(s);
  if (s.size() < 2 || s.front() != '[' || s.back() != ']') return false;
  s = s.substr(1, s.size() - 2);
  if (s.size() < kRoot.size() || !EqualNoCase(s.substr(0, kRoot.size()), kRoot))
    return false;
  key.assign(s.substr(kRoot.size()));
  return true;
}

std::string HexList(const std::vector<BYTE>& data) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", data[i]);
    out += buf;
  }
  return out;
}

bool IsPlainString(const std::vector<BYTE>& data) {
  if (data.empty() || data.back() != 0) return false;
  for (std::size_t i = 0; i + 1 < data.size(); ++i)
    if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') return false;
  return true;
}

std::string FormatLine(const RegFileLine& line) {
  if (!line.text.empty()) return line.text;
  switch (line.kind) {
    case RegFileLine::Kind::Header: return "REGEDIT4\r\n";
    case RegFileLine::Kind::Blank: return "\r\n";
    case RegFileLine::Kind::Key:
      return "[" + std::string(kRoot) + line.key + "]\r\n";
    case RegFileLine::Kind::Value:
      return FormatRegValueLine(line.name, line.value) + "\r\n";
    case RegFileLine::Kind::Other: return "";
  }
  return "";
}

}  // namespace

std::vector<RegFileLine> ParseRegFile(std::string_view text) {
  std::vector<RegFileLine> lines;
  // Physical lines, each with its terminator.
  std::vector<std::string_view> physical;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::size_t len = nl == std::string_view::npos ? text.size() : nl + 1;
    physical.push_back(text.substr(0, len));
    text.remove_prefix(len);
  }

  for (std::size_t i = 0; i < physical.size(); ++i) {
    RegFileLine line;
    std::string_view c = LineContent(physical[i]);
    line.text.assign(physical[i]);
    if (i == 0 && c == "REGEDIT4") {
      line.kind = RegFileLine::Kind::Header;
    } else if (TrimBlanks(c).empty()) {
      line.kind = RegFileLine::Kind::Blank;
    } else if (ParseKeyContent(c, line.key)) {
      line.kind = RegFileLine::Kind::Key;
    } else {
      // A value may run on over lines that end in a backslash.
      std::string joined(c);
      std::size_t last = i;
      while (!joined.empty() && joined.back() == '\\' && last + 1 < physical.size()) {
        joined.pop_back();
        ++last;
        joined += TrimBlanks(LineContent(physical[last]));
      }
      if (ParseValueContent(joined, line.name, line.value)) {
        line.kind = RegFileLine::Kind::Value;
        for (std::size_t k = i + 1; k <= last; ++k) line.text.append(physical[k]);
        i = last;
      } else if (last != i && ParseValueContent(c, line.name, line.value)) {
        // A stray backslash at the end of a complete value line.
        line.kind = RegFileLine::Kind::Value;
      } else {
        line.kind = RegFileLine::Kind::Other;
        line.name.clear();
        line.value = RegValue{};
      }
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string FormatRegFile(const std::vector<RegFileLine>& lines) {
  std::string out;
  for (const RegFileLine& l : lines) out += FormatLine(l);
  return out;
}

std::string FormatRegValueLine(const std::string& name, const RegValue& value) {
  std::string out = name.empty() ? "@" : Quote(name);
  out += '=';
  const auto& d = value.data;
  if (value.type == REG_SZ && IsPlainString(d)) {
    out += Quote(std::string_view(reinterpret_cast<const char*>(d.data()), d.size() - 1));
  } else if (value.type == REG_DWORD && d.size() == 4) {
    char buf[16];
    DWORD v = static_cast<DWORD>(d[0]) | static_cast<DWORD>(d[1]) << 8 |
              static_cast<DWORD>(d[2]) << 16 | static_cast<DWORD>(d[3]) << 24;
    std::snprintf(buf, sizeof buf, "dword:%08x", v);
    out += buf;
  } else if (value.type == REG_BINARY) {
    out += "hex:" + HexList(d);
  } else {
    // Strings that a quoted form cannot carry (no terminator, inner zeros,
    // line breaks) and DWORDs of odd length keep their bytes this way.
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", value.type);
    out += buf + HexList(d);
  }
  return out;
}

}  // namespace plat
