// Where the spooler keeps its registry file, its profile and its runtime
// files: KELVANE_HOME, else the user's configuration directory.
// Any thread (reads the environment; the program sets it only at start-up).
#include "platform/home.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace plat {
namespace {

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string UserHome() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  // No HOME (a service started without a login environment): ask the
  // password database rather than scatter files into the working directory.
  struct passwd pw {};
  struct passwd* result = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &result) == 0 && result &&
      result->pw_dir)
    return result->pw_dir;
  return ".";
}

}  // namespace

std::string KelvaneHome() {
  const char* home = std::getenv("KELVANE_HOME");
  if (home && *home) return home;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg) return std::string(xdg) + "/kelvane";
  return UserHome() + "/.config/kelvane";
}

std::string RunDirectory() {
  std::string run = KelvaneHome() + "/run";
  if (!MakeDirectories(run, 0700)) return "";
  // A run directory left open to others by an older install would let them
  // plant files the spooler trusts; close it if it is ours.
  struct stat st {};
  if (::stat(run.c_str(), &st) != 0) return "";
  if ((st.st_mode & 077) != 0) {
    if (st.st_uid != ::getuid() || ::chmod(run.c_str(), 0700) != 0) return "";
  }
  return run;
}

bool MakeDirectories(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  if (IsDirectory(path)) return true;
  // Create each missing component from the root down.
  std::string::size_type pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    std::string part = path.substr(0, pos);
    if (part.empty() || IsDirectory(part)) continue;
    if (::mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
      return false;
  }
  return IsDirectory(path);
}

}  // namespace plat
