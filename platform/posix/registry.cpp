// The registry on POSIX: a REGEDIT4 text file in the spooler's home
// (registry.reg), read whole or rewritten whole under its no-sharing lock.
// Any thread. No state is kept between calls; concurrent setters in this or
// other processes are serialised by the file lock (platform/files.h).
#include "platform/registry.h"

#include <cerrno>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/common/text_util.h"

namespace plat {
namespace {

constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE\\";

bool IsBracketLine(const RegFileLine& line) {
  std::string_view c = TrimBlanks(LineContent(line.text));
  return !c.empty() && c.front() == '[';
}

// Lines that belong to `keyPath`: for each block of that key, the index of
// its key line and one past its last line.
struct Block {
  std::size_t keyLine;
  std::size_t end;
};

std::vector<Block> BlocksOf(const std::vector<RegFileLine>& lines,
                            const std::string& keyPath) {
  std::vector<Block> blocks;
  bool inside = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const RegFileLine& l = lines[i];
    if (l.kind == RegFileLine::Kind::Key || IsBracketLine(l)) {
      if (inside) blocks.back().end = i;
      inside = l.kind == RegFileLine::Kind::Key && EqualNoCase(l.key, keyPath);
      if (inside) blocks.push_back({i, lines.size()});
    }
  }
  return blocks;
}

// The last line of `keyPath` that holds value `name`, as the registry import
// would leave it (a later duplicate wins).
const RegFileLine* FindValue(const std::vector<RegFileLine>& lines,
                             const std::vector<Block>& blocks,
                             const std::string& name, std::size_t* index) {
  const RegFileLine* found = nullptr;
  for (const Block& b : blocks)
    for (std::size_t i = b.keyLine + 1; i < b.end; ++i)
      if (lines[i].kind == RegFileLine::Kind::Value &&
          EqualNoCase(lines[i].name, name)) {
        found = &lines[i];
        if (index) *index = i;
      }
  return found;
}

void EnsureTerminated(RegFileLine& line) {
  // A bare CR at the end only lacks its line feed.
  if (!line.text.empty() && line.text.back() != '\n')
    line.text += line.text.back() == '\r' ? "\n" : "\r\n";
}

// Opens the store, lets `edit` change its lines, and writes the result back
// in place of the old file. `edit` returns false to give up untouched.
template <typename Edit>
bool UpdateStore(Disposition disposition, Edit edit) {
  return UpdateFileContents(RegistryPath(), disposition,
                            [&](const std::string& text, std::string& updated) {
                              std::vector<RegFileLine> lines = ParseRegFile(text);
                              if (!edit(lines)) return false;
                              updated = FormatRegFile(lines);
                              return true;
                            });
}

bool LoadStore(std::vector<RegFileLine>& lines) {
  std::string text;
  if (!ReadWholeFile(RegistryPath(), text)) return false;
  lines = ParseRegFile(text);
  return true;
}

}  // namespace

bool RegKeyExists(const std::string& keyPath) {
  std::vector<RegFileLine> lines;
  if (!LoadStore(lines)) return false;
  return !BlocksOf(lines, keyPath).empty();
}

std::optional<RegValue> RegQueryValue(const std::string& keyPath,
                                      const std::string& name) {
  std::vector<RegFileLine> lines;
  if (!LoadStore(lines)) return std::nullopt;
  const RegFileLine* v = FindValue(lines, BlocksOf(lines, keyPath), name, nullptr);
  if (!v) return std::nullopt;
  return v->value;
}

namespace {

bool EndsInContinuation(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return !text.empty() && text.back() == '\\';
}

}  // namespace

bool RegSetValue(const std::string& keyPath, const std::string& name,
                 const RegValue& value) {
  // A line break in a name would split the line and damage the file.
  if (name.find_first_of("\r\n") != std::string::npos) {
    SetLastError(EINVAL);
    return false;
  }
  return UpdateStore(Disposition::OpenExisting, [&](std::vector<RegFileLine>& lines) {
    std::vector<Block> blocks = BlocksOf(lines, keyPath);
    if (blocks.empty()) {
      SetLastError(ENOENT);  // keys are made by installation only
      return false;
    }
    RegFileLine line;
    line.kind = RegFileLine::Kind::Value;
    line.name = name;
    line.value = value;
    line.text = FormatRegValueLine(name, value) + "\r\n";

    std::size_t at = 0;
    if (FindValue(lines, blocks, name, &at)) {
      // Keep the spelling of the name as it stands in the file.
      line.text = FormatRegValueLine(lines[at].name, value) + "\r\n";
      line.name = lines[at].name;
      lines[at] = std::move(line);
      return true;
    }
    // After the block's last non-blank line, so that the blank line that
    // separates it from the next key stays where it was.
    const Block& b = blocks.back();
    std::size_t after = b.keyLine;
    for (std::size_t i = b.keyLine + 1; i < b.end; ++i)
      if (lines[i].kind != RegFileLine::Kind::Blank) after = i;
    // A line ending in a backslash continues on the next one: a value put
    // behind it would be read as part of it and lost. The key line never
    // ends in one, so the value goes right under it then.
    if (EndsInContinuation(lines[after].text)) after = b.keyLine;
    EnsureTerminated(lines[after]);
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after) + 1, std::move(line));
    return true;
  });
}

bool RegCreateKey(const std::string& keyPath) {
  if (keyPath.find_first_of("\r\n]") != std::string::npos) {
    SetLastError(EINVAL);
    return false;
  }
  if (!MakeDirectories(KelvaneHome(), 0700)) return false;
  return UpdateStore(Disposition::OpenAlways, [&](std::vector<RegFileLine>& lines) {
    if (lines.empty()) {
      RegFileLine header;
      header.kind = RegFileLine::Kind::Header;
      header.text = "REGEDIT4\r\n";
      RegFileLine blank;
      blank.kind = RegFileLine::Kind::Blank;
      blank.text = "\r\n";
      lines.push_back(header);
      lines.push_back(blank);
    }
    if (!BlocksOf(lines, keyPath).empty()) return true;
    EnsureTerminated(lines.back());
    RegFileLine key;
    key.kind = RegFileLine::Kind::Key;
    key.key = keyPath;
    key.text = "[" + std::string(kRoot) + keyPath + "]\r\n";
    RegFileLine blank;
    blank.kind = RegFileLine::Kind::Blank;
    blank.text = "\r\n";
    // regedit separates key blocks by one blank line.
    if (lines.back().kind != RegFileLine::Kind::Blank) lines.push_back(blank);
    lines.push_back(key);
    lines.push_back(blank);
    return true;
  });
}

}  // namespace plat
