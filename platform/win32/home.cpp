// Where the spooler keeps its runtime files on Windows: KELVANE_HOME, else
// the user's roaming application data folder. The settings themselves live
// in the real registry and profile there.
// Any thread (reads the environment; the program sets it only at start-up).
#include <cstdlib>

#include "platform/home.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsDirectory(const std::string& path) {
  const W32_DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Where the first folder that can be created starts: past "C:\" or
// "\\server\share\", which exist or not but are never ours to make.
std::string::size_type FirstCreatable(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':') return 2;
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    std::string::size_type at = 2;
    for (int part = 0; part < 2 && at != std::string::npos; ++part)
      at = path.find_first_of("\\/", at + 1);
    return at == std::string::npos ? path.size() : at;
  }
  return 0;
}

}  // namespace

std::string KelvaneHome() {
  const char* home = std::getenv("KELVANE_HOME");
  if (home && *home) {
    // Given as C:/Users/x/k it would mix with the backslashes of the paths
    // joined below it; the system reads either.
    std::string path = home;
    for (char& c : path)
      if (c == '/') c = '\\';
    return path;
  }
  const char* appData = std::getenv("APPDATA");
  if (appData && *appData) return JoinPath(appData, "Kelvane");
  const char* profile = std::getenv("USERPROFILE");
  if (profile && *profile) return JoinPath(profile, "Kelvane");
  return ".";
}

// The folder inherits its parent's permissions: under the user's profile
// only the user and the administrators may write it, which is what the
// POSIX body's mode 0700 asks for.
std::string RunDirectory() {
  std::string run = JoinPath(KelvaneHome(), "run");
  return MakeDirectories(run) ? run : "";
}

// `mode` has no counterpart here: a new folder takes its parent's ACL.
bool MakeDirectories(const std::string& path, unsigned /*mode*/) {
  if (path.empty()) return false;
  if (IsDirectory(path)) return true;
  std::string::size_type pos = FirstCreatable(path);
  while (pos < path.size()) {
    pos = path.find_first_of("\\/", pos + 1);
    const std::string part = path.substr(0, pos);
    if (part.empty() || IsSeparator(part.back()) || IsDirectory(part)) continue;
    if (!::CreateDirectoryA(part.c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS)
      return false;
  }
  return IsDirectory(path);
}

}  // namespace plat
