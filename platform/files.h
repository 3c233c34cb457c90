// Files and handles with the original platform's sharing rules.
//
// Handles are numbers from one process-wide table; an object stays alive
// while any call on it runs, so CloseHandle from another thread never frees
// an object under a running read or write (the call fails or ends early).
//
// Sharing protocol between processes (the spooler and the driver follow it):
//   - every open takes a flock() on the file right after open(2):
//       ShareMode::None       LOCK_EX | LOCK_NB   ("no sharing")
//       ShareMode::ReadWrite  LOCK_SH | LOCK_NB   ("sharing read and write")
//     so a no-sharing open fails while anyone holds the file open, and a
//     sharing open fails while someone holds it with no sharing. A refused
//     lock is ERROR_SHARING_VIOLATION (EBUSY here); callers retry.
//   - after the lock is taken, the open checks that the path still names the
//     locked inode (a writer may have replaced the file by rename in the
//     meantime) and starts over if it does not;
//   - a file is rewritten by writing a temporary file beside it and renaming
//     it over the old one while the old one is held with no sharing
//     (ReplaceFileContents, ReplaceFileWhole), so a crash leaves the old file
//     or the new one, whole; only where no temporary can be made (folder not
//     writable, disk full) is it rewritten in place under the same hold, by
//     ReplaceFileContents, or changed in place by its holder
//     (OverwriteHeldRange, TruncateHeldFile). Appenders hold the file with no
//     sharing while they append.
// On Windows the system's share modes are the protocol (dwShareMode 0 for
// no sharing, FILE_SHARE_READ | FILE_SHARE_WRITE for sharing read and
// write) and a refusal is ERROR_SHARING_VIOLATION. A file open anywhere
// cannot be renamed over there, so ReplaceFileContents rewrites the held file
// in place through the handle, which keeps the hold but not the whole-or-
// nothing on a crash, and ReplaceFileWhole always answers NoNewFile;
// WriteFileAtomically still moves a flushed new file over one that nobody
// holds.
// Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace plat {

// Last error of the calling thread, in the platform's own numbers; the layers
// above sort it with ClassifyError (platform/errors.h).
DWORD GetLastError();
void SetLastError(DWORD error);
// The code of an open refused by another opener's hold.
#ifdef _WIN32
inline constexpr DWORD ERROR_SHARING_VIOLATION_CODE = 32;  // ERROR_SHARING_VIOLATION
#else
inline constexpr DWORD ERROR_SHARING_VIOLATION_CODE = 16;  // EBUSY
#endif

enum class Access { Read, Write, ReadWrite };
enum class ShareMode { None, ReadWrite };
enum class Disposition {
  OpenExisting,  // fail when missing
  OpenAlways,    // open, create when missing
  CreateAlways,  // create or truncate
};

// Opens a regular file. Refuses directories and devices (ERROR: EISDIR /
// ENODEV). Returns INVALID_HANDLE_VALUE with the last error set on failure.
HANDLE OpenFile(const std::string& path, Access access, ShareMode share,
                Disposition disposition);

bool ReadFile(HANDLE h, void* buffer, DWORD size, DWORD* bytesRead);
bool WriteFile(HANDLE h, const void* data, DWORD size, DWORD* bytesWritten);
// Size of the file (low 32 bits); INVALID_FILE_SIZE on failure.
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;
DWORD GetFileSize(HANDLE h);
// Moves the position of a file handle to `offset` bytes from the start (the
// next read or write begins there). False with the last error set.
bool SetFilePointer(HANDLE h, std::uint64_t offset);
bool CloseHandle(HANDLE h);
bool DeleteFile(const std::string& path);

// Rewrites the file that `h` holds (opened with ShareMode::None) so that it
// holds exactly `data`: a temporary file beside it, fsync, rename over the
// path. `path` must be the path `h` was opened with. When `path` is a
// symbolic link, the file it points to is replaced, in its own folder, and
// the link stays a link.
// When no temporary can be made or filled beside the file (a folder we may
// not write, a full disk or quota: EACCES, EPERM, EROFS, ENOSPC, EDQUOT) and
// `h` was opened for writing and `data` is no longer than the file, the file
// is rewritten in place instead: `data` at offset 0, truncated to its size,
// synced. That needs only write access to the file and no room beyond what
// it takes already, at the price of the atomicity (a crash in the middle
// leaves a damaged file).
bool ReplaceFileContents(HANDLE h, const std::string& path, const void* data,
                         std::size_t size);

// ReplaceFileContents without its rewrite in place: the file is replaced
// whole by a new one beside it, or stays as it was. A holder whose file must
// survive a crash at any instant uses this and, on NoNewFile, edits the held
// file in place by steps that each leave it sound (OverwriteHeldRange,
// TruncateHeldFile). The last error is set unless Replaced.
enum class WholeReplacement {
  Replaced,   // the file holds `data`; `h` holds the new file
  NoNewFile,  // no new file can take the old one's place: the folder or the
              // disk refuses one (not writable, read-only, full, quota), or
              // the system cannot move one over a file held open (Windows,
              // always). The file is untouched; only an edit in place is left.
  Failed,     // anything else; the file is untouched
};
WholeReplacement ReplaceFileWhole(HANDLE h, const std::string& path, const void* data,
                                  std::size_t size);

// Edits in place of a file held with no sharing and opened for writing,
// inside what the file takes already (no new room asked of the disk), each
// synced to disk before it returns. The handle's position stays where it
// was.
// Writes `size` bytes over the file from `offset`; offset + size must not
// pass the end of the file. The bytes go in one write call: a kill before
// it leaves the file as it was, after it the whole change (a write that
// spans memory pages may still be cut between two of them by a kill that
// arrives while it runs).
bool OverwriteHeldRange(HANDLE h, std::uint64_t offset, const void* data, std::size_t size);
// Cuts the file to `length` bytes, no more than it has, in one call.
bool TruncateHeldFile(HANDLE h, std::uint64_t length);

// Writes a whole file atomically (temporary file beside it, then rename),
// with mode 0600 for a new file. For files the spooler owns.
bool WriteFileAtomically(const std::string& path, std::string_view data);

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& out);

// A writer holds a file with no sharing only for the moment of a
// replacement or an append, so an open that meets one waits this long.
inline constexpr DWORD kSharingRetryMs = 1500;

// Which refusals an open waits out.
enum class OpenRetry {
  SharingViolation,  // only another opener's hold (ErrorClass::SharingViolation)
  PassingRefusals,   // that, and transient failures (ErrorClass::Transient)
};

// OpenFile, tried again while it is refused as `retry` says, for about `ms`
// of the tick clock; any other failure returns at once. The last error is
// that of the final attempt.
HANDLE OpenWithRetry(const std::string& path, Access access, ShareMode share,
                     Disposition disposition, DWORD ms = kSharingRetryMs,
                     OpenRetry retry = OpenRetry::SharingViolation);

// Reads from the handle's position to the end of the file into `out`.
// False (with `out` empty and the read's error as the last error) when a
// read fails.
bool ReadAllFromHandle(HANDLE h, std::string& out);

// Rewrites a file under one no-sharing hold, so that no other writer can
// slip in between the read and the rewrite: opens `path` for reading and
// writing with no sharing (retried as OpenWithRetry does), reads it whole and
// calls `edit(text, updated)`. When edit returns true and `updated` differs
// from `text`, the file is replaced with it (ReplaceFileContents); when edit
// returns false the file stays untouched and the update fails with the last
// error edit set. The last error survives the closing of the file.
bool UpdateFileContents(
    const std::string& path, Disposition disposition,
    const std::function<bool(const std::string& text, std::string& updated)>& edit);

// `folder` and a path below it, whose parts `below` separates with '/',
// joined the way this system writes paths: a/b/c on POSIX; a\b\c on
// Windows, where every '/' of `below` becomes a backslash too, so that the
// paths we write into queue records and command lines read like the
// system's own. No separator is doubled where `folder` ends in one; an
// empty `folder` gives `below` alone.
std::string JoinPath(const std::string& folder, const std::string& below);

// Pieces of the rewrite-beside-and-rename pattern, for code that streams a
// file rather than holding it in memory (the descriptor pieces are in the
// system's own files header).
std::string DirectoryOf(const std::string& path);
// Makes a rename in `dir` durable; failures are not reported.
void SyncDirectory(const std::string& dir);

// Objects in the handle table. Files and port devices derive from it.
class HandleObject {
 public:
  virtual ~HandleObject() = default;
  virtual bool Read(void* buffer, DWORD size, DWORD* bytesRead) = 0;
  virtual bool Write(const void* data, DWORD size, DWORD* bytesWritten) = 0;
  // Called once, by CloseHandle, possibly while another thread is inside
  // Read or Write: it must make those calls end soon.
  virtual void Close() = 0;
};

// Handle table access for the layers above files (ports).
HANDLE RegisterHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> LookupHandle(HANDLE h);

}  // namespace plat
