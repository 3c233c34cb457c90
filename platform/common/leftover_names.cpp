// The names of our own leftovers (platform/common/leftover_names.h).
// Any thread: pure functions.
#include "platform/common/leftover_names.h"

namespace plat {
namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool IsRewriteTemporaryOf(const std::string& name, const std::string& base) {
  return name.size() == base.size() + 4 + 6 && StartsWith(name, base + ".tmp");
}

bool IsSettingsTemporary(const std::string& name) {
  return IsRewriteTemporaryOf(name, "registry.reg") || IsRewriteTemporaryOf(name, "win.ini");
}

unsigned long UnfinishedSpoolWriter(const std::string& name) {
  const std::string tag = ".part";
  if (name.size() <= 10 + tag.size() || !StartsWith(name, "KLV~") ||
      name.compare(10, tag.size(), tag) != 0) {
    return 0;
  }
  const std::string digits = name.substr(10 + tag.size());
  // Nine digits at most: the id fits every system's process id type.
  if (digits.empty() || digits.size() > 9 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  return std::stoul(digits);
}

}  // namespace plat
