// The names the driver gives its spool files, the same on every system: the
// unfinished name a file is written under and the search for its own name
// once it is whole. The guard's bodies (platform/posix/spool_guard.cpp,
// platform/win32/spool_guard.cpp) supply the
// system's rename and keep their own table of held files.
// Driver process, main thread.
#pragma once

#include <functional>
#include <string>

namespace plat {

// Six letters or digits at random, as in "KLV~xxxxxx".
std::string RandomSpoolSuffix();

// The suffix that marks a spool file unfinished and names its writer.
std::string UnfinishedSuffixOf(unsigned long processId);

// Gives the whole file `unfinished` its own name: the one it was made
// under less `suffix`; should that be taken meanwhile, a new one in
// `folder`. `rename(from, to, error)` moves without replacing anybody's
// file, false with the system's `error` on failure; `isNameTaken(error)`
// tells a taken name from other failures. The final name, or "" with
// `lastTried` and `error` of the last attempt.
std::string NameFinishedSpoolFile(
    const std::string& unfinished, const std::string& suffix, const std::string& folder,
    const std::function<bool(const std::string&, const std::string&, int&)>& rename,
    const std::function<bool(int)>& isNameTaken, std::string& lastTried, int& error);

}  // namespace plat
