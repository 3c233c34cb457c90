// The files layer's test seam: the points at which a test may make a step
// of the files layer fail, or end the process, and the hook that decides.
// Production code above the platform never includes this header; the files
// bodies ask the hook through platform/common/files_shared.h, and only tests
// install one.
// Any thread asks the hook; a test thread installs it.
#pragma once

#include <functional>
#include <string>

namespace plat {

// Faults injected into the files layer. The hook is asked right before each
// system call of a point below, with the path concerned (the path a handle
// was opened with, or the file a link names when a file is replaced), and
// returns 0 (go on) or the error the step fails with, in the
// platform's numbers (errno on POSIX, Win32 codes on Windows). A test may
// also end the process there, to see what a kill at that instant leaves.
// Empty: no faults (the default). Install it before the threads that use
// files start and remove it after they have ended.
enum class FileFault {
  OpenForWriting,   // OpenFile with Write or ReadWrite access
  // Replacing a file by a new one beside it:
  CreateTemporary,  // creating the temporary
  WriteTemporary,   // writing it
  SyncTemporary,    // syncing it to disk
  RenameOver,       // moving it over the file (POSIX; Windows moves no held file)
  SyncFolder,       // syncing the folder after the move (POSIX); an error
                    // here only leaves the sync out, as a failed sync does
  // Changing a held file in place (ReplaceFileContents' rewrite in place,
  // OverwriteHeldRange, TruncateHeldFile):
  RewriteInPlace,   // writing over its bytes
  TruncateInPlace,  // cutting it to its new length
  SyncInPlace,      // syncing it to disk
  DeleteFile,       // removing a file (DeleteFile)
};
using FileFaultHook = std::function<int(FileFault point, const std::string& path)>;
void SetFileFaultHook(FileFaultHook hook);

}  // namespace plat
