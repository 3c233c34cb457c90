// File trust checks on POSIX: owners and write bits of a file and of every
// folder above it. Any thread.
#include "platform/file_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace plat {
namespace {

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string Quote(const std::string& path) {
  std::string quoted = "'";
  for (char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

bool Fail(TrustProblem* problem, const std::string& path, std::string reason,
          std::string fix) {
  if (problem) *problem = TrustProblem{path, std::move(reason), std::move(fix)};
  return false;
}

bool IsTrustedOwner(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

// One file or folder, already stat'ed (or lstat'ed for a link).
bool CheckEntry(const std::string& path, const struct stat& st, TrustProblem* problem) {
  if (!IsTrustedOwner(st.st_uid)) {
    return Fail(problem, path,
                "belongs to another user (uid " + std::to_string(st.st_uid) + ")",
                "chown " + std::to_string(::geteuid()) + " " + Quote(path));
  }
  if (S_ISLNK(st.st_mode)) return true;  // a link's own mode means nothing
  const bool othersMayWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (!othersMayWrite) return true;
  // In a sticky folder others may add files but not replace or remove ours.
  if (S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) return true;
  return Fail(problem, path,
              "can be written by other users (mode " + Octal(st.st_mode) + ")",
              "chmod go-w " + Quote(path));
}

// Every folder from `dir` up to the root.
bool CheckFolders(std::string dir, TrustProblem* problem) {
  for (;;) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
      return Fail(problem, dir, std::string("cannot be examined (") + std::strerror(errno) + ")",
                  "check that " + Quote(dir) + " exists");
    }
    if (!CheckEntry(dir, st, problem)) return false;
    if (dir == "/") return true;
    const std::size_t slash = dir.find_last_of('/');
    dir = slash == 0 ? "/" : dir.substr(0, slash);
  }
}

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The canonical form of a folder (links resolved); "" when it cannot be had.
std::string Canonical(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return "";
  return resolved;
}

}  // namespace

bool IsAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

bool CheckFileTrust(const std::string& path, TrustProblem* problem) {
  if (path.empty()) return Fail(problem, path, "is not named", "name the file");
  std::string absolute = path;
  if (!IsAbsolutePath(path)) {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
      return Fail(problem, path, "cannot be placed (no working folder)", "give a full path");
    }
    absolute = std::string(cwd) + "/" + path;
  }

  // The name the driver gave: the link itself (if it is one) and its folders.
  struct stat linkSt {};
  const bool exists = ::lstat(absolute.c_str(), &linkSt) == 0;
  const std::string dir = Canonical(ParentOf(absolute));
  if (dir.empty()) {
    return Fail(problem, ParentOf(absolute),
                std::string("cannot be examined (") + std::strerror(errno) + ")",
                "check that " + Quote(ParentOf(absolute)) + " exists");
  }
  if (!CheckFolders(dir, problem)) return false;
  if (!exists) return true;
  if (!CheckEntry(absolute, linkSt, problem)) return false;
  if (!S_ISLNK(linkSt.st_mode)) return true;

  // What the link leads to, and the folders above that.
  const std::string target = Canonical(absolute);
  if (target.empty()) return true;  // a dangling link: judged when it is made
  struct stat st {};
  if (::stat(target.c_str(), &st) != 0) return true;
  if (!CheckFolders(ParentOf(target), problem)) return false;
  return CheckEntry(target, st, problem);
}

}  // namespace plat
