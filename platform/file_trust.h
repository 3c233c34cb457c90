// Whether a file that decides what the spooler prints or where it writes can
// be changed only by those the spooler trusts: its own user and the system's
// administrator. The queue file names the spool files the spooler sends to
// the printer and then deletes; registry.reg and win.ini name the devices it
// writes to. If another user could change them, a spooler running with more
// rights than that user would read, print, delete or write files for them.
//
// A file is trusted when it, and every folder above it (following symbolic
// links, and also the folders above a link itself), belongs to the
// spooler's user or to the administrator, and no one else may write it: no
// write bit for the group or others, except on a folder with the sticky bit
// (like /tmp), where others cannot remove or rename what is not theirs.
// A file that does not exist yet is judged by its folders.
// Any thread.
#pragma once

#include <string>

namespace plat {

struct TrustProblem {
  std::string path;    // the file or folder that is too open
  std::string reason;  // e.g. "can be written by other users (mode 0666)"
  std::string fix;     // a command that mends it, e.g. "chmod go-w /x/queue.txt"
};

// True when `path` is trusted; otherwise false with what is wrong.
bool CheckFileTrust(const std::string& path, TrustProblem* problem);

// True for an absolute path on this platform. Paths the spooler opens on a
// record's word must be absolute: a relative one would resolve against
// whatever folder the spooler happens to run in.
bool IsAbsolutePath(const std::string& path);

}  // namespace plat
