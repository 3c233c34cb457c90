// The names by which the start's removal of leftovers knows our own files,
// the same on every system; each system's leftovers body walks its folders
// and asks the system whether a writer still runs. Private to the platform
// layer. Any thread: pure functions.
#pragma once

#include <string>

namespace plat {

// `base` + ".tmp" + six characters: the temporaries of an atomic rewrite.
bool IsRewriteTemporaryOf(const std::string& name, const std::string& base);

// A temporary of an interrupted rewrite of the settings (the registry
// store, win.ini) in the home folder.
bool IsSettingsTemporary(const std::string& name);

// The writer's process id of an unfinished spool file ("KLV~" + six
// characters + ".part" + the id), 0 for other names.
unsigned long UnfinishedSpoolWriter(const std::string& name);

}  // namespace plat
