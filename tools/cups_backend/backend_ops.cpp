// The backend's pure parts (see backend_ops.h).
// Backend process, one thread.
#include "tools/cups_backend/backend_ops.h"

#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/port_names.h"
#include "platform/common/text_util.h"

namespace cupsbackend {
namespace {

constexpr const char* kScheme = "kelvane:";
// A record line holds 77 characters; printer and ribbon fields 49.
constexpr std::size_t kMaxLine = 77;
constexpr std::size_t kMaxField = 49;
constexpr std::size_t kBoxTextIndent = 6;  // the width of "text: "

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Decode(const std::string& text, bool plusIsBlank, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else if (c == '+' && plusIsBlank) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return true;
}

bool HasControl(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// The port as the listing names it: "LPT1:" for every spelling of LPT1.
std::string ListedPortName(const std::string& key) {
  if (plat::LptNumber(key) != 0) return plat::CanonicalPortName(key) + ":";
  return std::string(plat::TrimBlanks(key));
}

// 0..100, or -1 for a level that is missing or out of range.
int MarkerLevel(const std::string& text) {
  if (text.empty()) return -1;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || value < 0 || value > 100) return -1;
  return static_cast<int>(value);
}

// What the spooler's boxes say about their buttons: nobody can press them
// from a print service's client, so the print service is not told.
std::string WithoutButtonWords(std::string text) {
  for (const char* words : {"Abort cancels all jobs.", "Retry starts current job over.",
                            "Ignore continues with current job."}) {
    for (std::size_t at; (at = text.find(words)) != std::string::npos;) {
      std::size_t from = at;  // with the blanks in front of it
      while (from > 0 && text[from - 1] == ' ') --from;
      text.erase(from, at - from + std::strlen(words));
    }
  }
  return std::string(plat::TrimBlanks(text));
}

constexpr const char* kPortNotOpened = "Could not get handle to port.";

}  // namespace

bool ParseDeviceUri(const std::string& uri, DeviceUri& parsed, std::string& error) {
  if (!StartsWith(uri, kScheme)) {
    error = "not a kelvane: device URI: " + uri;
    return false;
  }
  std::string rest = uri.substr(std::string(kScheme).size());
  // kelvane:/LPT1: and kelvane://LPT1: name the same port.
  std::size_t start = rest.find_first_not_of('/');
  rest = start == std::string::npos ? "" : rest.substr(start);
  const std::size_t question = rest.find('?');
  const std::string query = question == std::string::npos ? "" : rest.substr(question + 1);
  DeviceUri result;
  if (!Decode(rest.substr(0, question), false, result.port)) {
    error = "bad %-escape in the port of " + uri;
    return false;
  }
  if (result.port.empty()) {
    error = "no port in the device URI " + uri;
    return false;
  }
  if (HasControl(result.port) || result.port.size() > kMaxLine) {
    error = "the port of " + uri + " is not a port name";
    return false;
  }
  std::size_t at = 0;
  while (at < query.size()) {
    std::size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(at, end - at);
    at = end + 1;
    if (pair.empty()) continue;
    const std::size_t equals = pair.find('=');
    const std::string key = pair.substr(0, equals);
    std::string value;
    if (equals == std::string::npos || !Decode(pair.substr(equals + 1), true, value)) {
      error = "bad parameter '" + pair + "' in " + uri;
      return false;
    }
    if (value.empty() || HasControl(value) || value.size() > kMaxField) {
      error = "the " + key + " of " + uri + " must have 1 to 49 characters";
      return false;
    }
    if (key == "printer") {
      if (value.find('~') != std::string::npos) {
        error = "the printer of " + uri + " must not contain '~'";
        return false;
      }
      result.printer = value;
    } else if (key == "ribbon") {
      result.ribbon = value;
    } else {
      error = "unknown parameter '" + key + "' in " + uri + " (printer, ribbon)";
      return false;
    }
  }
  parsed = result;
  return true;
}

bool ApplyJobOptions(const std::string& options, DeviceUri& device, std::string& error) {
  std::size_t at = 0;
  const std::size_t size = options.size();
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  DeviceUri result = device;
  while (at < size) {
    while (at < size && blank(options[at])) ++at;
    std::string name;
    while (at < size && !blank(options[at]) && options[at] != '=') name += options[at++];
    std::string value;
    if (at < size && options[at] == '=') {
      ++at;
      char quote = 0;
      while (at < size) {
        const char c = options[at];
        if (quote == 0 && blank(c)) break;
        ++at;
        if (c == '\\' && at < size) {
          value += options[at++];
        } else if (quote == 0 && value.empty() && (c == '\'' || c == '"')) {
          quote = c;
        } else if (c == quote) {
          quote = 0;
        } else {
          value += c;
        }
      }
    }
    // "printer" as in the device URI, "model" as the printer dialogs
    // would call it.
    if (name == "printer") name = "model";
    if (name != "ribbon" && name != "model") continue;
    if (value.empty() || HasControl(value) || value.size() > kMaxField) {
      error = "the job's " + name + " option must have 1 to 49 characters";
      return false;
    }
    if (name == "model") {
      if (value.find('~') != std::string::npos) {
        error = "the job's model option must not contain '~'";
        return false;
      }
      result.printer = value;
    } else {
      result.ribbon = value;
    }
  }
  device = result;
  return true;
}

std::string FormatDeviceUri(const std::string& port) {
  static const char* kHex = "0123456789ABCDEF";
  std::string uri = "kelvane:/";
  for (unsigned char c : port) {
    if (std::isalnum(c) || c == ':' || c == '-' || c == '.' || c == '_' || c == '~') {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  return uri;
}

std::string SanitizeForReport(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = ' ';
  }
  return out;
}

std::string QuoteField(const std::string& text) {
  std::string out = "\"";
  for (char c : SanitizeForReport(text)) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

std::vector<std::string> FormatPortListing(const IniSection& ports, const IniSection& devices) {
  std::vector<std::string> lines;
  std::set<std::string> seen;
  for (const auto& [key, device] : ports) {
    const std::string port = ListedPortName(key);
    if (port.empty() || port.size() > kMaxLine || HasControl(port)) continue;
    // The same port in two spellings would be two devices in the dialogs.
    const std::string same = plat::ToLower(plat::CanonicalPortName(port));
    if (!seen.insert(same).second) continue;
    std::string model = "VORNA printer";
    for (const auto& [printer, value] : devices) {
      // "kelvane,LPT1:": the driver name, then the port.
      const std::size_t comma = value.find(',');
      if (comma == std::string::npos) continue;
      const std::string devicePort(plat::TrimBlanks(std::string_view(value).substr(comma + 1)));
      if (plat::ToLower(plat::CanonicalPortName(devicePort)) == same) {
        model = std::string(plat::TrimBlanks(printer));
        break;
      }
    }
    lines.push_back("direct " + FormatDeviceUri(port) + " " + QuoteField(model) + " " +
                    QuoteField("Kelvane " + port + " (" +
                               std::string(plat::TrimBlanks(device)) + ")"));
  }
  return lines;
}

std::vector<int> CopiesPerRecord(const std::string& copiesArgument, bool haveFileArgument) {
  if (!haveFileArgument) return {1};
  char* end = nullptr;
  long copies = std::strtol(copiesArgument.c_str(), &end, 10);
  if (end == copiesArgument.c_str() || *end != '\0') return {1};
  if (copies <= 0) return {0};
  if (copies > kMaxCopies) return {};
  std::vector<int> records;
  for (; copies > 0; copies -= 255) records.push_back(static_cast<int>(std::min(copies, 255L)));
  return records;
}

std::string NotPrinterReady(const std::string& contentType, const std::string& head) {
  auto begins = [&](std::string_view magic) {
    return head.size() >= magic.size() && head.compare(0, magic.size(), magic) == 0;
  };
  if (begins("%PDF-") || contentType == "application/pdf") return "a PDF document";
  if (begins("%!") || contentType == "application/postscript") return "a PostScript document";
  if (begins("\x89PNG") || begins("\xFF\xD8\xFF") || begins("GIF8") ||
      begins(std::string_view("II*\0", 4)) || begins(std::string_view("MM\0*", 4)) ||
      StartsWith(contentType, "image/"))
    return "an image";
  if (StartsWith(contentType, "text/")) return "text";
  return "";
}

std::string PortHomeName(const std::string& port) {
  std::string name;
  for (const char c : plat::CanonicalPortName(port)) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '_') {
      name += static_cast<char>(std::toupper(u));
    } else {
      static const char* const kHex = "0123456789ABCDEF";
      name += '%';
      name += kHex[u >> 4];
      name += kHex[u & 15];
    }
  }
  if (name.size() <= kMaxPortHomeName) return name;
  // FNV-1a of the whole name: two long shares that differ only at the end
  // still get homes of their own.
  std::uint32_t hash = 2166136261u;
  for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char tail[10];
  std::snprintf(tail, sizeof tail, "-%08X", static_cast<unsigned>(hash));
  return name.substr(0, kMaxPortHomeName - 9) + tail;
}

PortsUpdate UpdateOfPorts(const IniSection& shared, const IniSection& own) {
  // Port keys match as a lookup matches them: "lpt1" is "LPT1:".
  auto same = [](const std::string& a, const std::string& b) {
    return plat::EqualNoCase(plat::CanonicalPortName(a), plat::CanonicalPortName(b));
  };
  using Entry = std::pair<std::string, std::string>;
  auto find = [&](const IniSection& section, const std::string& key) -> const Entry* {
    for (const auto& entry : section)
      if (same(entry.first, key)) return &entry;  // the first wins, as in a lookup
    return nullptr;
  };
  PortsUpdate update;
  for (const auto& entry : shared) {
    if (find(shared, entry.first) != &entry) continue;  // a later duplicate is never read
    // The port home's own spelling of the key, so that the entry a lookup
    // finds there is the one written.
    const auto* mine = find(own, entry.first);
    if (!mine) update.write.push_back(entry);
    else if (mine->second != entry.second) update.write.emplace_back(mine->first, entry.second);
  }
  for (const auto& [key, value] : own) {
    // Every spelling of it: a lookup would find the one left.
    if (!find(shared, key) &&
        std::none_of(update.remove.begin(), update.remove.end(),
                     [&](const std::string& k) { return plat::EqualNoCase(k, key); }))
      update.remove.push_back(key);
  }
  return update;
}

int ExitCodeForSpoolerEnd(bool printed, int spoolerStatus) {
  const SpoolerEnd end =
      WIFEXITED(spoolerStatus) ? SpoolerEndOfExitCode(WEXITSTATUS(spoolerStatus))
                               : SpoolerEnd::Abnormal;
  const SpoolerEndCodes& codes = CodesOf(end);
  return printed ? codes.backendJobGone : codes.backendJobQueued;
}

PublishedInk InkFromSection(const IniSection& section) {
  PublishedInk ink;
  ink.inkType = "0";
  for (const auto& [rawKey, rawValue] : section) {
    // Keys match without regard to case, as the profile's own lookups do.
    const std::string key = plat::ToLower(std::string(plat::TrimBlanks(rawKey)));
    const std::string value(plat::TrimBlanks(rawValue));
    if (key == "inktype") ink.inkType = value;
    else if (key == "blacklevel") ink.black = value;
    else if (key == "cyanlevel") ink.cyan = value;
    else if (key == "magentalevel") ink.magenta = value;
    else if (key == "yellowlevel") ink.yellow = value;
  }
  return ink;
}

std::string FormatMarkerAttributes(const PublishedInk& ink, MarkerKind kind) {
  struct Marker {
    const std::string* level;
    const char* colour;
    const char* name;
  };
  std::vector<Marker> markers;
  if (ink.inkType == "1") {
    markers = {{&ink.black, "#000000", "Black"}};
  } else if (ink.inkType == "2") {
    markers = {{&ink.cyan, "#00FFFF", "Cyan"},
               {&ink.magenta, "#FF00FF", "Magenta"},
               {&ink.yellow, "#FFFF00", "Yellow"}};
  } else {
    return "";
  }
  const char* type = kind == MarkerKind::Ink ? "ink" : "ink-ribbon";
  std::string colours, levels, lows, highs, names, types;
  std::vector<std::string> low;
  for (const Marker& marker : markers) {
    const char* comma = colours.empty() ? "" : ",";
    const int level = MarkerLevel(*marker.level);
    colours += comma + std::string(marker.colour);
    levels += comma + std::to_string(level);
    lows += comma + std::to_string(kLowMarkerLevel);
    highs += comma + std::string("100");
    names += comma + std::string(marker.name);
    types += comma + std::string(type);
    if (level >= 0 && level <= kLowMarkerLevel) low.push_back(marker.name);
  }
  // No commas: the print service would take each part for a value.
  std::string message;
  for (std::size_t i = 0; i < low.size(); ++i)
    message += (i == 0 ? "" : i + 1 == low.size() ? " and " : " ") + low[i];
  if (!message.empty()) message += kind == MarkerKind::Ink ? " ink low" : " ribbon low";
  return "ATTR: marker-colors=" + colours + " marker-levels=" + levels +
         " marker-low-levels=" + lows + " marker-high-levels=" + highs +
         " marker-names=" + names + " marker-types=" + types + " marker-message='" + message +
         "'";
}

std::vector<std::string> StatusRelay::SetReason(const std::string& reason) {
  std::vector<std::string> lines;
  for (const std::string& old : reasons_) {
    if (old != reason) lines.push_back("STATE: -" + old);
  }
  reasons_.clear();
  reasons_.insert(reason);
  lines.push_back("STATE: +" + reason);
  return lines;
}

std::vector<std::string> StatusRelay::Connecting(const std::string& port) {
  port_ = SanitizeForReport(port);
  printing_ = false;
  std::vector<std::string> lines = SetReason("connecting-to-device");
  lines.push_back("INFO: Connecting to the printer on " + port_);
  return lines;
}

std::vector<std::string> StatusRelay::Printing() {
  if (printing_) return {};
  printing_ = true;
  std::vector<std::string> lines = ClearAll();
  lines.push_back("INFO: Printing" + (port_.empty() ? std::string() : " on " + port_));
  return lines;
}

std::vector<std::string> StatusRelay::ClearAll() {
  std::vector<std::string> lines;
  for (const std::string& old : reasons_) lines.push_back("STATE: -" + old);
  reasons_.clear();
  return lines;
}

std::vector<std::string> StatusRelay::TakeLine(const std::string& raw) {
  std::string line = raw;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  // A prompt nobody answered stands in front of the policy's answer.
  while (StartsWith(line, "answer? ")) line.erase(0, 8);

  std::vector<std::string> lines;
  if (box_ != BoxPart::None) {
    if (box_ == BoxPart::Caption && StartsWith(line, "caption: ")) return lines;
    if (StartsWith(line, "text: ")) {
      box_ = BoxPart::Text;
      boxText_ = line.substr(6);
      return lines;
    }
    // Later lines of the text are indented, an empty one is the indent alone.
    if (box_ == BoxPart::Text && line.size() >= kBoxTextIndent &&
        line.compare(0, kBoxTextIndent, std::string(kBoxTextIndent, ' ')) == 0) {
      const std::string more(plat::TrimBlanks(line));
      if (!more.empty()) boxText_ += (boxText_.empty() ? "" : " ") + more;
      return lines;
    }
    const bool ended = StartsWith(line, "buttons: ");
    if (box_ == BoxPart::Text) {
      std::string text = WithoutButtonWords(std::string(plat::TrimBlanks(boxText_)));
      // The printer is off, unplugged or refusing: say so as the print
      // service's own backends do, and in words a user can act on.
      if (StartsWith(text, kPortNotOpened)) {
        const std::vector<std::string> state = SetReason("offline-report");
        lines.insert(lines.end(), state.begin(), state.end());
        text = "The printer cannot be reached: check that it is on and connected, and that "
               "its port is set up (" + text + ")";
      }
      lines.push_back("INFO: " + SanitizeForReport(text));
    }
    box_ = BoxPart::None;
    boxText_.clear();
    if (ended) return lines;
  }

  if (line == "--- message box ---") {
    box_ = BoxPart::Caption;
    return lines;
  }
  std::vector<std::string> state;
  if (line == "state: out of paper") {
    state = SetReason("media-empty");
  } else if (line == "state: not selected") {
    state = SetReason("offline-report");
  } else if (line == "state: not accepting data" || line == "state: stalled") {
    state = SetReason("other");
  } else if (line == "state: printing") {
    // Data moves again: the fault's reason and message go.
    printing_ = false;
    state = Printing();
  } else {
    state.push_back("DEBUG: " + SanitizeForReport(line));
  }
  lines.insert(lines.end(), state.begin(), state.end());
  return lines;
}

}  // namespace cupsbackend
