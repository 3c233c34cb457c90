// The queue file shared with the driver, and the operations on it. The
// driver only appends records; we only remove from the head. Every open of
// the file by the spooler is exclusive (no sharing) and retried for up to
// 1500 ms; the size probe alone shares read and write.
//
// Record format (CR LF lines; records separated by one empty line):
//   job name / port / copies / [printer name / ribbon type] / spool files...
// A record is in the old form (no printer and ribbon lines) when line 4
// contains '~'. Empty lines before the head record are no record: every
// reader skips them (FindHeadRecordStart). They are what a removal in place
// leaves where the head record was, see below.
// Any thread; the operations take g_csSpooler where they touch shared state
// and may be called with it held.
//
// Records outside the format are cut or refused here, never written past a
// field, and a test can tell from RecordParseNotes what was done:
//   - a line longer than 77 characters is cut to 77 by the line reader; the
//     job name keeps its first 77, the printer name and ribbon type their
//     first 49 (the fields hold 49). A port or spool-file line that had to be
//     cut is left EMPTY instead: a cut path could name another printer or
//     another file (which FinishJob would then delete), an empty one names
//     nothing and the print thread reports "Could not open spool file.";
//   - spool-file lines beyond the 20th are read past and ignored (fileCount
//     stays 20; their files are neither printed nor deleted);
//   - only the first 65535 bytes of the queue file, the empty lines before
//     the head record included, are parsed (positions are 16-bit and never
//     wrap; the driver keeps the file within that size). CountQueuedJobs
//     and FinishJob work on the whole file, so the records behind that point
//     are counted and kept.
// FinishJob holds the queue file (no sharing) from its read to its rewrite,
// which replaces the file whole (temporary file + rename), so a record that
// the driver appends meanwhile is kept and a crash leaves the old or the new
// file. When no new file can take its place (a folder the spooler may not
// write, a full disk; on Windows always, where a held file cannot be
// renamed over) the head record is removed in place under the same hold,
// by one system call, so that a kill leaves the old queue or the new one:
// its bytes become LF bytes, which read as empty lines, or the file is cut
// to nothing when nothing but such lines would stay. The records behind it
// never move. A queue file that
// is a symbolic link stays one: the file it points to is rewritten. It
// deletes the job's spool files only once the record is gone; when the
// record cannot be removed they stay, the caller is told (FinishOutcome) and
// must not print that job again in the same run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/state/job_record.h"
#include "platform/win_types.h"

inline constexpr std::uint32_t kQueueOpenRetryMs = 1500;
inline constexpr std::size_t kMaxQueueFileSize = 65535;
inline constexpr std::size_t kLineBufferSize = 78;  // 77 characters and the zero

// Size of the file in bytes, or -1 when it cannot be opened (sharing read
// and write) within 1500 ms.
std::int32_t QueryFileSize(const char* path);

struct RecordParseNotes;
bool TakeNextJob(JobRecord& job);
// The same; `notes`, when given, says what the parser had to cut or refuse
// in the head record (the print thread tells the user).
bool TakeNextJob(JobRecord& job, RecordParseNotes* notes);

// What FinishJob did with the head record.
enum class FinishOutcome {
  Removed,   // the record is gone (and the spool files with it)
  NoRecord,  // manual mode, or no queue file / an empty one
  Kept,      // the record could not be removed; the user has been told once
             // and the record and its spool files are still there
};
FinishOutcome FinishJob(JobRecord& job);
// Whether the head record of `job`'s queue file could be removed once the
// job is printed. False, after "Could not save configuration file.", when
// the file cannot be opened for writing at all (read-only file or file
// system); a file held by someone else for longer than the retry window
// counts as writable (FinishJob waits for it again).
bool CheckQueueFileWritable(const JobRecord& job);
void EndJobCleanup();
void PurgeQueue(JobRecord& job);
// The normal end of a queue run: sets g_bQueuePurged (under the lock) and the
// marker "Config File" = "Purged", and removes nothing. A record the driver
// appended after the run found the queue empty stays to be printed; only the
// abandon paths and the document close purge.
void CloseQueueRun();
std::uint16_t CountQueuedJobs();
// After a run that stopped in the middle of a job (the marker "Config File"
// still "Processing"): removes that job alone, the head record and its spool
// files, after the recovery message, when the head record is the job the
// print thread noted as begun (NoteJobInProgress) for this queue file. Every
// other record stays, and so does the head record when nothing tells it
// apart (no note, a note for another queue file). When the noted job's
// record is already gone (a stop between its removal and the deletion of
// its spool files), the spool files it named that no record names now are
// deleted, without a message. True when a job was removed.
bool RecoverQueueFile();

// The job the print thread has begun to send, noted in the settings store
// once the port has taken its first block: all that lets the start after a
// crash tell it from the jobs behind it, which never began. Written only
// when it changes (a job taken again keeps its note). Queue mode only.
void NoteJobInProgress(const JobRecord& job);
// Whether the job noted as begun names `spoolFile`: for a program that runs
// a spooler on its job and tells others how far it got. Any process.
bool IsNotedAsBegun(const std::string& spoolFile);

// What a file named as the queue file turned out to be. Only a queue, or a
// name with no file behind it yet, is taken, purged or appended to: a path
// typed wrong must not cost the file it names.
enum class QueueFileKind {
  Queue,       // empty, or beginning with a job record (IsQueueImage)
  Missing,     // nothing by that name (yet)
  Busy,        // held by someone else past the retry window: cannot tell
  NotAFile,    // a folder, a pipe, a device
  NotAQueue,   // a file whose start is no job record
  Unreadable,  // cannot be opened or read; `error` says why
};
// Opens the file sharing read and write, with the queue's retries; reads at
// most the 65535 bytes a queue holds. `error`, when given, gets the
// system's error of a failed open or read.
QueueFileKind InspectQueueFile(const char* path, DWORD* error = nullptr);
// Whether `image` reads as a queue file: nothing but line ends (the empty
// lines removals in place leave), or a head record whose port line is spelt
// as a port, whose copies line is a decimal number, with at least one spool
// line, each a full path, and no line cut to fit.
bool IsQueueImage(const unsigned char* image, std::size_t size);

// The record parser, exposed for tests and the fuzzer.
// ReadRecordLine results:
inline constexpr int kLineEndOfData = 0;
inline constexpr int kLineRead = 1;
inline constexpr int kLineEmpty = 2;
// `cut`, when given, is set to whether the line was longer than 77
// characters and was cut to them.
int ReadRecordLine(const unsigned char* image, char (&line)[kLineBufferSize],
                   std::uint16_t& position, std::uint16_t remaining,
                   bool* cut = nullptr);

// What the parser had to do to a record outside the format.
struct RecordParseNotes {
  int cutLines = 0;             // lines cut to fit their field
  int emptiedLines = 0;         // port or spool-file lines left empty (too long)
  int ignoredSpoolFiles = 0;    // spool-file lines beyond the 20th
  bool imageCut = false;        // the image was longer than 65535 bytes
  // Spool files TakeNextJob left empty because their line is not a full
  // path (one would resolve against whatever folder the spooler runs in).
  int relativeSpoolPaths = 0;
};
bool ParseJobRecord(const unsigned char* image, std::size_t size, JobRecord& record,
                    RecordParseNotes* notes = nullptr);

// Offset of the head record: the first line that is not empty by the
// parser's rule (fewer than two bytes before its LF); `size` when there is
// none, that is when the image holds no record.
std::size_t FindHeadRecordStart(const unsigned char* image, std::size_t size);
// Offset of the first byte behind the head record and the empty line that
// ends it (the same rule); `size` when the head record is not followed by an
// empty line. FinishJob keeps the records from there on.
std::size_t FindHeadRecordEnd(const unsigned char* image, std::size_t size);

// The passes PurgeQueue makes at most, however fast the driver appends.
inline constexpr int kMaxPurgePasses = 65535;

