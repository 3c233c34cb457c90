// The recent-file list in kelvane.ini (see recent_files.h).
#include "app/shell/recent_files.h"

#include "platform/files.h"
#include "platform/profile.h"

namespace app {
namespace {

// The section as the toolkit's configuration files wrote its name, with
// each blank escaped.
constexpr const char* kEscapedSection = "Recent\\ File\\ List";

std::string KeyOf(int index) { return "File" + std::to_string(index); }

// A value as the toolkit's configuration files wrote it: in quotes when it
// began or ended with a blank, a backslash before a backslash or a quote,
// and \n, \r, \t for line breaks and tabs.
std::string UnescapeValue(std::string_view value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    switch (value[++i]) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      default: out += value[i]; break;  // \\ and \" and anything else
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> ParseRecentFiles(std::string_view ini, int count) {
  const bool plain = !plat::GetIniSection(ini, kRecentFileSection).empty();
  std::vector<std::string> files;
  for (int i = 1; i <= count; ++i) {
    std::string value =
        plain ? plat::GetIniString(ini, kRecentFileSection, KeyOf(i), "")
              : UnescapeValue(plat::GetIniString(ini, kEscapedSection, KeyOf(i), ""));
    if (!value.empty()) files.push_back(std::move(value));
  }
  return files;
}

std::string WithRecentFiles(std::string_view ini, const std::vector<std::string>& files) {
  std::string out = plat::RemoveIniSection(plat::RemoveIniSection(ini, kEscapedSection),
                                           kRecentFileSection);
  for (std::size_t i = 0; i < files.size(); ++i)
    out = plat::SetIniString(out, kRecentFileSection, KeyOf(static_cast<int>(i + 1)), files[i]);
  return out;
}

std::vector<std::string> LoadRecentFiles(const std::string& path, int count) {
  std::string ini;
  if (!plat::ReadWholeFile(path, ini)) return {};
  return ParseRecentFiles(ini, count);
}

bool SaveRecentFiles(const std::string& path, const std::vector<std::string>& files) {
  std::string ini;
  if (!plat::ReadWholeFile(path, ini)) ini.clear();
  return plat::WriteFileAtomically(path, WithRecentFiles(ini, files));
}

}  // namespace app
