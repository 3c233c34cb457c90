// The spool files' names (platform/spool_names.h).
// Driver process, main thread.
#include "platform/spool_names.h"

#include <random>

#include "platform/files.h"
#include "platform/spool_guard.h"

namespace plat {

std::string RandomSpoolSuffix() {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 random{std::random_device{}()};
  std::string s;
  for (int i = 0; i < 6; ++i) s += kLetters[random() % (sizeof kLetters - 1)];
  return s;
}

std::string UnfinishedSuffixOf(unsigned long processId) {
  return std::string(kUnfinishedSpoolSuffix) + std::to_string(processId);
}

std::string NameFinishedSpoolFile(
    const std::string& unfinished, const std::string& suffix, const std::string& folder,
    const std::function<bool(const std::string&, const std::string&, int&)>& rename,
    const std::function<bool(int)>& isNameTaken, std::string& lastTried, int& error) {
  std::string finished = unfinished.substr(0, unfinished.size() - suffix.size());
  error = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (rename(unfinished, finished, error)) return finished;
    if (!isNameTaken(error)) break;
    finished = plat::JoinPath(folder, "KLV~" + RandomSpoolSuffix());
  }
  lastTried = finished;
  return "";
}

}  // namespace plat
