// File trust on Windows, and the system's absolute paths. Any thread.
#include "platform/file_trust.h"

namespace plat {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

// "C:\x" and "C:/x" on a drive, "\\server\share\x" on the network. "\x"
// and "C:x" are not: they lean on the current drive or the drive's current
// folder, which is whatever the spooler happens to run in.
bool IsAbsolutePath(const std::string& path) {
  if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == ':' && IsSeparator(path[2]))
    return true;
  return path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
         !IsSeparator(path[2]);
}

// The owner and mode bits the POSIX body inspects have no direct
// counterpart here: who may write a file is in its ACL, and the folders the
// spooler uses (the user's profile and application data) carry ACLs that
// let in only the user, the administrators and the system. Reading and
// judging ACLs is left to that protection, so any named file passes.
bool CheckFileTrust(const std::string& path, TrustProblem* problem) {
  if (!path.empty()) return true;
  if (problem) *problem = TrustProblem{path, "is not named", "name the file"};
  return false;
}

}  // namespace plat
