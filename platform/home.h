// KELVANE_HOME: the directory that stands for the machine's registry, the
// user's profile (win.ini) and the runtime files (run/). Default when unset:
// $XDG_CONFIG_HOME/kelvane, else ~/.config/kelvane; on Windows
// %APPDATA%\Kelvane, and a KELVANE_HOME written with '/' is read with
// backslashes, as every path we build below it is.
// Any thread.
#pragma once

#include <string>

#include "platform/files.h"

namespace plat {

std::string KelvaneHome();
// $KELVANE_HOME/run, created (mode 0700) when missing; "" when it cannot be.
std::string RunDirectory();
// Creates a directory and its parents with the given mode; true when it
// exists afterwards.
bool MakeDirectories(const std::string& path, unsigned mode = 0700);

inline std::string RegistryPath() { return JoinPath(KelvaneHome(), "registry.reg"); }
inline std::string ProfilePath() { return JoinPath(KelvaneHome(), "win.ini"); }

}  // namespace plat
