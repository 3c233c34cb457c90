// What a spooler or driver killed in the middle of its work leaves behind,
// and its removal at the next start. Only what is provably ours and dead is
// removed: files that carry our own names, belong to our user, and whose
// writer no longer runs (a socket nobody listens on, a lock file nobody
// holds) or that are older than this run (the temporaries of a rewrite that
// was interrupted; a live writer's temporary is younger than our start).
// Called by the spooler's first instance at its start, while it holds the
// single-instance marker, so no other spooler is at work. Main thread.
#pragma once

#include <ctime>
#include <string>

namespace plat {

struct LeftoversRemoved {
  int sockets = 0;      // run/spooler-*.sock nobody listens on
  int portLocks = 0;    // run/port-*.lock nobody holds
  int temporaries = 0;  // *.tmp?????? beside the queue file and the settings,
                        // ~tm?????? and the unfinished spool files of
                        // drivers that no longer run in the spool folder
};

// `queueFile` may be empty (manual mode). `runStart`: files last changed
// before it are older than this run. `ownSocket` is kept.
LeftoversRemoved RemoveLeftovers(const std::string& queueFile, std::time_t runStart,
                                 const std::string& ownSocket);

}  // namespace plat
