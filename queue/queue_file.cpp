// The queue file shared with the driver: reading the head record, removing
// it once its job is done, purging and recovering the queue, and the size
// probe that everything here (and the pages) uses.
// Any thread: the print thread and the main thread both call in, the main
// thread possibly with g_csSpooler already held (the scheduler tick). Shared
// state is only touched under g_csSpooler; file work, message boxes and the
// marker write happen on local copies outside it unless the caller holds it.
#include "queue/queue_file.h"
#include "queue/queue_file_test_support.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "app/state/spooler_state.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/file_trust.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/net_redirect.h"
#include "platform/port_names.h"
#include "platform/window_messages.h"
#include "queue/settings_store.h"
#include "res/string_table.h"

namespace {

constexpr const char* kErrorCaption = kSpoolerErrorCaption;
constexpr const char* kOpenFailedText = "Could not open configuration file.";
constexpr const char* kSaveFailedText = "Could not save configuration file.";
constexpr const char* kNoPortText = "Could not find port settings in Registry.";
constexpr const char* kRecoveryText =
    "Configuration/Queue File Error.\r\nPrevious jobs will be deleted.\r\n"
    "Current job will print in a few moments.";
constexpr const char* kMarkerValue = "Config File";
constexpr const char* kMarkerProcessing = "Processing";
constexpr const char* kMarkerPurged = "Purged";
// The job the print thread began (NoteJobInProgress), as the lines of
// JobNoteOf: the queue file first, then the record's fields.
constexpr const char* kJobNoteValue = "Job In Progress";

// Only a refusal that someone else's brief hold or a passing shortage
// explains is worth waiting out; a missing file, a directory or a device will
// not change within the retry window, so the caller learns at once.
bool IsWorthRetrying(DWORD error) {
  switch (plat::ClassifyError(error)) {
    case plat::ErrorClass::SharingViolation:
    case plat::ErrorClass::Transient:
      return true;
    default:
      return false;
  }
}

// Opens `path` for up to kQueueOpenRetryMs, waiting out what IsWorthRetrying
// does. The last error stays that of the final attempt.
HANDLE OpenWithRetry(const std::string& path, plat::Access access,
                     plat::ShareMode share) {
  return plat::OpenWithRetry(path, access, share, plat::Disposition::OpenExisting,
                             kQueueOpenRetryMs, plat::OpenRetry::PassingRefusals);
}

// The spooler's own error box, then the main window to the front. Never
// called by the print thread while it holds g_csSpooler.
void ShowQueueError(HWND owner, const char* text) {
  plat::MessageBox(owner, text, kErrorCaption, MB_ICONERROR | MB_SETFOREGROUND);
  plat::SetForegroundWindow(owner);
}

// Reads from the held file until its end or `limit` bytes. False on a read
// error or when memory runs out (nothing may be thrown past this layer).
bool ReadHeldFile(HANDLE h, std::size_t limit, std::vector<unsigned char>& image) {
  image.clear();
  try {
    const DWORD hint = plat::GetFileSize(h);
    if (hint != plat::INVALID_FILE_SIZE) image.reserve(std::min<std::size_t>(hint, limit));
    unsigned char chunk[8192];
    while (image.size() < limit) {
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(sizeof chunk, limit - image.size()));
      DWORD got = 0;
      if (!plat::ReadFile(h, chunk, want, &got)) return false;
      if (got == 0) break;
      image.insert(image.end(), chunk, chunk + got);
    }
  } catch (const std::bad_alloc&) {
    image.clear();
    return false;
  }
  return true;
}

enum class ImageRead { Ok, Missing, OpenFailed };

// Reads the queue file image with the exclusive, retried open; the file is
// closed again before returning.
ImageRead ReadQueueImage(const std::string& path, std::size_t limit,
                         std::vector<unsigned char>& image) {
  HANDLE h = OpenWithRetry(path, plat::Access::Read, plat::ShareMode::None);
  if (h == INVALID_HANDLE_VALUE)
    return plat::ClassifyError(plat::GetLastError()) == plat::ErrorClass::NotFound
               ? ImageRead::Missing
               : ImageRead::OpenFailed;
  const bool ok = ReadHeldFile(h, limit, image);
  plat::CloseHandle(h);
  return ok ? ImageRead::Ok : ImageRead::OpenFailed;
}

// Decimal number at the start of the copies line, as one byte: blanks and a
// sign may lead, no digits read as 0, and only the low 8 bits count (so a
// long run of digits cannot overflow anything).
std::uint8_t ParseCopies(const char* line) {
  const char* p = line;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  std::uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<std::uint32_t>(*p - '0');
  if (negative) value = 0u - value;
  return static_cast<std::uint8_t>(value & 0xFFu);
}

// A line that had to be cut is stored as is (display text) or left empty
// (a name the engine opens), see the header.
template <std::size_t N>
void StoreText(char (&field)[N], const char* line, bool lineCut, RecordParseNotes* notes) {
  CopyField(field, line);
  if (notes && (lineCut || std::strlen(line) > N - 1)) ++notes->cutLines;
}

template <std::size_t N>
void StoreName(char (&field)[N], const char* line, bool lineCut, RecordParseNotes* notes) {
  if (lineCut || std::strlen(line) > N - 1) {
    field[0] = '\0';
    if (notes) ++notes->emptiedLines;
    return;
  }
  CopyField(field, line);
}

void CopyParsedFields(JobRecord& to, const JobRecord& from) {
  std::memcpy(to.spoolFiles, from.spoolFiles, sizeof to.spoolFiles);
  std::memcpy(to.jobName, from.jobName, sizeof to.jobName);
  std::memcpy(to.portName, from.portName, sizeof to.portName);
  std::memcpy(to.printerName, from.printerName, sizeof to.printerName);
  std::memcpy(to.ribbonType, from.ribbonType, sizeof to.ribbonType);
  to.copies = from.copies;
  to.fileCount = from.fileCount;
  to.totalSize = from.totalSize;
}

// The head record of `image` as the job it describes. A short record still
// counts as a job. A spool file is opened, sent and deleted on the record's
// word: only a full path names one file whatever folder we run in, so any
// other is left empty.
void ParseHeadJob(const std::vector<unsigned char>& image, JobRecord& parsed,
                  RecordParseNotes* notes) {
  ParseJobRecord(image.data(), image.size(), parsed, notes);
  for (int i = 0; i < parsed.fileCount; ++i) {
    if (parsed.spoolFiles[i][0] != '\0' && !plat::IsAbsolutePath(parsed.spoolFiles[i])) {
      parsed.spoolFiles[i][0] = '\0';
      if (notes) ++notes->relativeSpoolPaths;
    }
  }
}

bool TakeQueuedJob(JobRecord& job, HWND owner, const std::string& queueFile,
                   RecordParseNotes* notes) {
  if (QueryFileSize(queueFile.c_str()) <= 0) return false;

  std::vector<unsigned char> image;
  const ImageRead read = ReadQueueImage(queueFile, kMaxQueueFileSize, image);
  if (read == ImageRead::Missing) return false;  // removed since the probe
  if (read == ImageRead::OpenFailed) {
    ShowQueueError(owner, kOpenFailedText);
    return false;
  }
  // Emptied since the probe, or nothing left but the empty lines of
  // records removed in place.
  if (FindHeadRecordStart(image.data(), image.size()) == image.size()) return false;

  // Parse into a fresh record: a short head record must not inherit the
  // previous job's spool files (they would be printed or deleted again).
  JobRecord parsed;
  ParseHeadJob(image, parsed, notes);

  // Failure ignored: only recovery reads it. Written only when it changes:
  // each write is a synced rewrite of the settings, and a run takes jobs
  // with the marker standing at "Processing" all along.
  if (ReadRegString(kMarkerValue) != std::optional<std::string>(kMarkerProcessing))
    WriteRegString(kMarkerValue, kMarkerProcessing);

  std::int64_t total = 0;
  for (int i = 0; i < parsed.fileCount; ++i) {
    const std::int32_t size = QueryFileSize(parsed.spoolFiles[i]);
    if (size > 0) total += size;
  }
  parsed.totalSize = static_cast<std::int32_t>(
      std::min<std::int64_t>(total, std::numeric_limits<std::int32_t>::max()));

  {
    SpoolerLock lock;  // job may be g_curJob itself
    CopyParsedFields(job, parsed);
    g_nCopies = parsed.copies;
    g_nFileCount = parsed.fileCount;
    g_strFileName = parsed.jobName;
    CopyField(g_szPortName, parsed.portName);
    CopyField(g_szPrinterName, parsed.printerName);
    CopyField(g_szRibbonType, parsed.ribbonType);
    for (int i = 0; i < parsed.fileCount; ++i) CopyField(g_szSpoolFiles[i], parsed.spoolFiles[i]);
    g_nFileSize = parsed.totalSize;
  }
  return true;
}

bool TakeManualJob(JobRecord& job, HWND owner) {
  {
    SpoolerLock lock;
    job.portName[0] = '\0';
  }
  const std::optional<std::string> port = ReadRegString("Port");
  if (!port) {
    ShowQueueError(owner, kNoPortText);
    return false;
  }
  std::string name = *port;
  if (!name.empty() && name.back() == ':') name.pop_back();

  SpoolerLock lock;
  CopyField(job.portName, name.c_str());
  if (&job != &g_curJob) CopyField(job.spoolFiles[0], g_szSpoolFiles[0]);
  job.copies = g_nCopies;
  job.fileCount = g_nFileCount;
  return true;
}


// Takes the record at [head, end) out of the held queue file `image` was
// read from, keeping everything from `rest` on (the next record; `rest` is
// the image's size when none follows).
//
// The file is replaced whole when a new file can take its place. Otherwise
// it is edited in place, and then no step may leave a queue that reads as
// anything but the old one or the old one without its head record: a kill
// between writing shortened contents over the start and cutting the file
// left the old tail behind them as records of its own (jobs printed again).
// So the records behind the head never move. The head record and its empty
// line are overwritten by LF bytes in one write (each LF reads as an empty
// line, which every reader skips before the head record), or, when no
// record follows, the file is cut to nothing in one call. A kill before the
// call leaves the old queue, after it the new one; a kill that cuts a write
// spanning memory pages in the middle leaves the head record's tail behind
// LF bytes, still ended by its empty line, so recovery counts and removes it
// as it would have removed the whole head record.
// The filler stays until the queue empties or a later whole replacement
// (which writes only what follows the head record) drops it. It grows only
// while every removal is in place and the driver keeps the queue from
// emptying, and the driver counts it: it refuses to grow the file beyond
// 65535 bytes ("try again later") and the job waits, so nothing is lost.
bool RemoveRecordBytes(HANDLE h, const std::string& queueFile,
                       const std::vector<unsigned char>& image, std::size_t head,
                       std::size_t end, std::size_t rest) {
  switch (plat::ReplaceFileWhole(h, queueFile, image.data() + rest, image.size() - rest)) {
    case plat::WholeReplacement::Replaced:
      return true;
    case plat::WholeReplacement::Failed:
      return false;
    case plat::WholeReplacement::NoNewFile:
      break;
  }
  if (rest == image.size()) return plat::TruncateHeldFile(h, 0);
  try {
    const std::vector<unsigned char> filler(end - head, '\n');
    return plat::OverwriteHeldRange(h, head, filler.data(), filler.size());
  } catch (const std::bad_alloc&) {
    return false;  // nothing may be thrown past this layer
  }
}

// Removes the head record under one exclusive hold of the file, so that
// nothing the driver appends can slip in between the read and the rewrite.
FinishOutcome RemoveHeadRecord(const std::string& queueFile, HWND owner) {
  if (queueFile.empty()) return FinishOutcome::NoRecord;
  HANDLE h = OpenWithRetry(queueFile, plat::Access::ReadWrite, plat::ShareMode::None);
  if (h == INVALID_HANDLE_VALUE) {
    if (plat::ClassifyError(plat::GetLastError()) == plat::ErrorClass::NotFound)
      return FinishOutcome::NoRecord;
    ShowQueueError(owner, kSaveFailedText);
    return FinishOutcome::Kept;
  }
  std::vector<unsigned char> image;
  if (!ReadHeldFile(h, std::numeric_limits<std::size_t>::max(), image)) {
    plat::CloseHandle(h);
    ShowQueueError(owner, kOpenFailedText);
    return FinishOutcome::Kept;
  }
  const std::size_t head = FindHeadRecordStart(image.data(), image.size());
  if (head == image.size()) {  // empty, or nothing but empty lines
    plat::CloseHandle(h);
    return FinishOutcome::NoRecord;
  }
  const std::size_t end = FindHeadRecordEnd(image.data(), image.size());
  const std::size_t rest = end + FindHeadRecordStart(image.data() + end, image.size() - end);
  const bool removed = RemoveRecordBytes(h, queueFile, image, head, end, rest);
  plat::CloseHandle(h);
  if (!removed) {
    ShowQueueError(owner, kSaveFailedText);
    return FinishOutcome::Kept;
  }
  return FinishOutcome::Removed;
}

// Deletes a spool file only when the size probe can open it, which refuses
// directories and devices (also behind a link). A driver that still holds
// the file gets the retry window to let go; after that it stays.
void DeleteSpoolFile(const char* path) {
  if (QueryFileSize(path) < 0) return;
  const DWORD start = plat::GetTickCount();
  while (!plat::DeleteFile(path)) {
    if (!IsWorthRetrying(plat::GetLastError())) return;
    if (plat::GetTickCount() - start >= kQueueOpenRetryMs) return;
    plat::PausePolling();
  }
}

// Puts the progress back to the start of a job, repaints it and lets go of
// what the job held: the spool file, the port, and the network connection a
// redirected port was reached through. Caller holds g_csSpooler (the pages
// read the progress and the print thread the handles).
void ReleaseJobResources() {
  g_nBytesSent = 0;
  g_nBytesUnconfirmed = 0;
  g_bAbortJob = 0;
  g_nCopy = 1;
  plat::InvalidateWindow(g_hMainWnd);
  if (g_hSpoolFile != INVALID_HANDLE_VALUE) {
    plat::CloseHandle(g_hSpoolFile);
    g_hSpoolFile = INVALID_HANDLE_VALUE;
  }
  if (g_hPort != INVALID_HANDLE_VALUE) {
    plat::CloseHandle(g_hPort);
    g_hPort = INVALID_HANDLE_VALUE;
  }
  if (g_bNetConnected) {
    plat::CancelConnection(g_szNetDevice, true);
    g_bNetConnected = 0;
  }
}

FinishOutcome FinishJobAndReport(JobRecord& job) {
  BOOL queueMode = 0;
  HWND owner = 0;
  std::string queueFile;
  std::vector<std::string> spoolFiles;
  {
    SpoolerLock lock;
    ReleaseJobResources();
    queueMode = g_bQueueMode;
    owner = g_hMainWnd;
    queueFile = job.queueFile;
    const int count = std::min<int>(job.fileCount, kMaxSpoolFiles);
    for (int i = 0; i < count; ++i) spoolFiles.emplace_back(job.spoolFiles[i]);
  }
  if (!queueMode) return FinishOutcome::NoRecord;

  // The record goes first: if it stays, so do the spool files, and the job
  // simply prints again instead of failing on missing files and taking the
  // rest of the queue with it.
  const FinishOutcome outcome = RemoveHeadRecord(queueFile, owner);
  if (outcome == FinishOutcome::Kept) return outcome;
  for (const std::string& path : spoolFiles) DeleteSpoolFile(path.c_str());
  return outcome;
}

// The note by which a start after a crash knows a job: the queue file and
// every field the record gave, one per line (no field holds a line end).
std::string JobNoteOf(const JobRecord& job, const std::string& queueFile) {
  std::string note = queueFile + '\n' + job.jobName + '\n' + job.portName + '\n' +
                     std::to_string(job.copies) + '\n' + job.printerName + '\n' +
                     job.ribbonType + '\n';
  const int count = std::min<int>(job.fileCount, kMaxSpoolFiles);
  for (int i = 0; i < count; ++i) note += std::string(job.spoolFiles[i]) + '\n';
  return note;
}

// "" when there is no note, or it was cleared.
// Each read parses the whole settings file, and the print thread asks once
// a job: one read with room for any note (the queue path, five fields and
// twenty spool files, a line each), a second only for one that is larger.
std::string ReadJobNote() {
  std::string note(kQueuePathSize + 5 * kJobNameSize + kMaxSpoolFiles * kSpoolPathSize + 32, '\0');
  DWORD size = static_cast<DWORD>(note.size());
  if (!ReadRegBinary(kJobNoteValue, note.data(), &size)) {
    if (size <= note.size()) return "";  // no note
    note.resize(size);
    if (!ReadRegBinary(kJobNoteValue, note.data(), &size)) return "";
  }
  note.resize(size);
  return note;
}

// A run that ends leaves no job begun: the note goes with the marker's
// "Purged", so that a stale one can never speak for a later run.
void ClearJobNote() {
  if (!ReadJobNote().empty()) WriteRegBinary(kJobNoteValue, "", 0);
}

// Splits a note into its lines (the last one ends with a line end too).
std::vector<std::string> NoteLines(const std::string& note) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = note.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(note.substr(start, end - start));
  return lines;
}
constexpr std::size_t kNoteFirstSpoolLine = 6;  // queue file + five fields

// Whether some line of `image` (its CR dropped) is `text` exactly: a spool
// file that any record still names.
bool ImageHasLine(const std::vector<unsigned char>& image, const std::string& text) {
  std::size_t start = 0;
  while (start < image.size()) {
    std::size_t end = start;
    while (end < image.size() && image[end] != '\n') ++end;
    std::size_t length = end - start;
    if (length > 0 && image[start + length - 1] == '\r') --length;
    if (length == text.size() &&
        std::equal(text.begin(), text.end(), image.begin() + static_cast<std::ptrdiff_t>(start)))
      return true;
    start = end + 1;
  }
  return false;
}

// Whether a copies line holds a decimal number and nothing else: blanks, a
// sign, digits, blanks.
bool IsCopiesLine(const char* line) {
  const char* p = line;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '+' || *p == '-') ++p;
  const char* digits = p;
  while (*p >= '0' && *p <= '9') ++p;
  if (p == digits) return false;
  while (*p == ' ' || *p == '\t') ++p;
  return *p == '\0';
}

}  // namespace

std::int32_t QueryFileSize(const char* path) {
  if (!path || !*path) return -1;
  HANDLE h = OpenWithRetry(path, plat::Access::Read, plat::ShareMode::ReadWrite);
  if (h == INVALID_HANDLE_VALUE) return -1;
  const DWORD size = plat::GetFileSize(h);
  plat::CloseHandle(h);
  if (size == plat::INVALID_FILE_SIZE) return -1;
  // -1 must keep meaning "cannot be opened"; a huge file reads as the largest size.
  if (size > static_cast<DWORD>(std::numeric_limits<std::int32_t>::max()))
    return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(size);
}

int ReadRecordLine(const unsigned char* image, char (&line)[kLineBufferSize],
                   std::uint16_t& position, std::uint16_t remaining, bool* cut) {
  if (cut) *cut = false;
  // Never step past the 16-bit end, whatever the caller passed.
  const std::uint16_t room = static_cast<std::uint16_t>(0xFFFFu - position);
  if (remaining > room) remaining = room;

  std::size_t taken = 0;  // bytes before the LF, the CR included
  std::uint16_t left = remaining;
  for (;;) {
    if (left == 0) {
      line[std::min(taken, kLineBufferSize - 1)] = '\0';
      return kLineEndOfData;
    }
    const unsigned char byte = image[position];
    ++position;
    --left;
    if (byte == '\n') break;
    if (taken < kLineBufferSize) line[taken] = static_cast<char>(byte);
    ++taken;
  }
  if (taken < 2) {
    line[0] = '\0';
    return kLineEmpty;
  }
  // The byte before the LF is the CR; the text is what stands before it,
  // as much of it as the buffer holds.
  const std::size_t length = taken - 1;
  if (length > kLineBufferSize - 1) {
    line[kLineBufferSize - 1] = '\0';
    if (cut) *cut = true;
  } else {
    line[length] = '\0';
  }
  return kLineRead;
}

bool ParseJobRecord(const unsigned char* image, std::size_t size, JobRecord& record,
                    RecordParseNotes* notes) {
  if (size > kMaxQueueFileSize) {
    size = kMaxQueueFileSize;
    if (notes) notes->imageCut = true;
  }
  const auto total = static_cast<std::uint16_t>(size);
  auto position = static_cast<std::uint16_t>(FindHeadRecordStart(image, size));
  char line[kLineBufferSize] = {};
  bool cut = false;
  auto next = [&] {
    return ReadRecordLine(image, line, position, static_cast<std::uint16_t>(total - position), &cut);
  };

  if (next() != kLineRead) return false;
  StoreText(record.jobName, line, cut, notes);
  if (next() != kLineRead) return false;
  StoreName(record.portName, line, cut, notes);
  if (next() != kLineRead) return false;
  record.copies = ParseCopies(line);
  if (next() != kLineRead) return false;

  int n = 0;
  if (std::strchr(line, '~')) {
    StoreName(record.spoolFiles[0], line, cut, notes);
    record.printerName[0] = '\0';
    record.ribbonType[0] = '\0';
    n = 1;
  } else {
    StoreText(record.printerName, line, cut, notes);
    if (next() != kLineRead) return false;
    StoreText(record.ribbonType, line, cut, notes);
  }
  while (next() == kLineRead) {
    if (n >= kMaxSpoolFiles) {
      if (notes) ++notes->ignoredSpoolFiles;
      continue;
    }
    StoreName(record.spoolFiles[n], line, cut, notes);
    ++n;
  }
  record.fileCount = static_cast<std::uint8_t>(n);
  return true;
}

std::size_t FindHeadRecordStart(const unsigned char* image, std::size_t size) {
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (image[i] != '\n') continue;
    if (i - lineStart >= 2) break;  // a line with text: the head record's first
    lineStart = i + 1;
  }
  return lineStart;
}

std::size_t FindHeadRecordEnd(const unsigned char* image, std::size_t size) {
  std::size_t lineStart = FindHeadRecordStart(image, size);
  for (std::size_t i = lineStart; i < size; ++i) {
    if (image[i] != '\n') continue;
    if (i - lineStart < 2) return i + 1;  // an empty line ends the record
    lineStart = i + 1;
  }
  return size;
}

namespace {

// The observer of TakeNextJob (queue_file_test_support.h); its own lock, not g_csSpooler,
// which a caller of TakeNextJob may or may not hold.
std::mutex g_observerMutex;
TakeNextJobObserver g_takeObserver;  // guarded by g_observerMutex

void NotifyTakeObserver(bool taken) {
  TakeNextJobObserver observer;
  {
    std::lock_guard<std::mutex> guard(g_observerMutex);
    if (!g_takeObserver) return;
    observer = g_takeObserver;
  }
  observer(taken);
}

}  // namespace

void SetTakeNextJobObserver(TakeNextJobObserver observer) {
  std::lock_guard<std::mutex> guard(g_observerMutex);
  g_takeObserver = std::move(observer);
}

bool TakeNextJob(JobRecord& job) { return TakeNextJob(job, nullptr); }

bool TakeNextJob(JobRecord& job, RecordParseNotes* notes) {
  if (notes) *notes = RecordParseNotes{};
  BOOL queueMode = 0;
  HWND owner = 0;
  std::string queueFile;
  {
    SpoolerLock lock;
    queueMode = g_bQueueMode;
    owner = g_hMainWnd;
    if (&job != &g_curJob) CopyField(job.queueFile, g_szQueueFile);
    queueFile = job.queueFile;
  }
  const bool taken =
      queueMode ? TakeQueuedJob(job, owner, queueFile, notes) : TakeManualJob(job, owner);
  NotifyTakeObserver(taken);
  return taken;
}

FinishOutcome FinishJob(JobRecord& job) { return FinishJobAndReport(job); }

bool CheckQueueFileWritable(const JobRecord& job) {
  std::string queueFile;
  HWND owner = 0;
  {
    SpoolerLock lock;  // job may be g_curJob itself
    queueFile = job.queueFile;
    owner = g_hMainWnd;
  }
  if (queueFile.empty()) return true;
  HANDLE h = OpenWithRetry(queueFile, plat::Access::ReadWrite, plat::ShareMode::None);
  if (h != INVALID_HANDLE_VALUE) {
    plat::CloseHandle(h);
    return true;
  }
  if (plat::IsAccessDenied(plat::GetLastError())) {
    ShowQueueError(owner, kSaveFailedText);
    return false;
  }
  return true;  // gone, or held past the window: FinishJob sees to it
}

void EndJobCleanup() {
  SpoolerLock lock;
  g_bPrinting = 0;
  ReleaseJobResources();
  // A wait the last write left for its question is over with the job.
  if (g_nPrinterWait != PrinterWait::None) {
    g_nPrinterWait = PrinterWait::None;
    g_dwWaitSince = 0;
    g_dwWaitTimeout = 0;
    plat::PostMessage(g_hMainWnd, WM_SPOOLER_PRINTERWAIT,
                      static_cast<WPARAM>(PrinterWait::None), 0);
  }
  plat::PostMessage(g_hJobPageWnd, WM_TIMER, 0, 0);
}

void PurgeQueue(JobRecord& job) {
  std::string queueFile;
  {
    SpoolerLock lock;
    g_bQueuePurged = 1;
    queueFile = g_szQueueFile;
  }
  // Only a queue is emptied: whatever else stands under its name now (a
  // file put there since the start, by a link) keeps every byte.
  const QueueFileKind kind = InspectQueueFile(queueFile.c_str());
  if (kind == QueueFileKind::Queue) {
    // A file that can be read but not rewritten would hand out the same
    // head record for ever: stop at the first record that stays (one
    // message), and bound the passes against a driver that never stops
    // appending.
    for (int pass = 0; pass < kMaxPurgePasses; ++pass) {
      if (!TakeNextJob(job)) break;
      if (FinishJobAndReport(job) != FinishOutcome::Removed) break;
    }
  }
  WriteRegString(kMarkerValue, kMarkerPurged);
  ClearJobNote();
}

void CloseQueueRun() {
  {
    SpoolerLock lock;
    g_bQueuePurged = 1;
  }
  WriteRegString(kMarkerValue, kMarkerPurged);
  ClearJobNote();
}

std::uint16_t CountQueuedJobs() {
  std::string queueFile;
  HWND owner = 0;
  {
    SpoolerLock lock;
    queueFile = g_szQueueFile;
    owner = g_hMainWnd;
  }
  if (QueryFileSize(queueFile.c_str()) <= 0) return 0;
  std::vector<unsigned char> image;
  const ImageRead read =
      ReadQueueImage(queueFile, std::numeric_limits<std::size_t>::max(), image);
  if (read == ImageRead::Missing) return 0;
  if (read == ImageRead::OpenFailed) {
    ShowQueueError(owner, kOpenFailedText);
    return 0;
  }
  // Counted from the head record on: the empty lines in front of it are no
  // record's end.
  std::uint32_t count = 0;
  for (std::size_t i = FindHeadRecordStart(image.data(), image.size()) + 1; i + 2 < image.size();
       ++i) {
    if (image[i] == '\n' && image[i + 1] == '\r' && image[i + 2] == '\n') ++count;
  }
  return static_cast<std::uint16_t>(std::min<std::uint32_t>(count, 0xFFFFu));
}

bool RecoverQueueFile() {
  const std::optional<std::string> marker = ReadRegString(kMarkerValue);
  if (!marker || *marker != kMarkerProcessing) return false;

  std::string queueFile;
  HWND owner = 0;
  {
    SpoolerLock lock;
    queueFile = g_szQueueFile;
    owner = g_hMainWnd;
  }
  // Without a note for this queue nothing tells the interrupted job from
  // those that never began: all of them stay, the head one prints again.
  const std::string note = ReadJobNote();
  const std::vector<std::string> noted = NoteLines(note);
  if (noted.size() < kNoteFirstSpoolLine || noted[0] != queueFile) return false;

  std::vector<unsigned char> image;
  const ImageRead read =
      ReadQueueImage(queueFile, std::numeric_limits<std::size_t>::max(), image);
  if (read == ImageRead::OpenFailed) {
    ShowQueueError(owner, kOpenFailedText);
    return false;
  }
  // Only a queue is edited: whatever else stands under its name keeps its bytes.
  if (read == ImageRead::Missing || !IsQueueImage(image.data(), image.size())) return false;
  if (FindHeadRecordStart(image.data(), image.size()) < image.size()) {
    JobRecord head;
    ParseHeadJob(image, head, nullptr);
    if (JobNoteOf(head, queueFile) == note) {
      plat::MessageBox(owner, kRecoveryText, kErrorCaption, MB_OK);
      plat::SetForegroundWindow(owner);
      CopyField(head.queueFile, queueFile.c_str());
      FinishJobAndReport(head);
      return true;
    }
  }
  // The noted job's record went, and the stop came before its spool files
  // did: they are deleted now, unless a record names them again.
  for (std::size_t i = kNoteFirstSpoolLine; i < noted.size(); ++i) {
    if (!noted[i].empty() && plat::IsAbsolutePath(noted[i]) && !ImageHasLine(image, noted[i]))
      DeleteSpoolFile(noted[i].c_str());
  }
  return false;
}

void NoteJobInProgress(const JobRecord& job) {
  std::string note;
  {
    SpoolerLock lock;  // job may be g_curJob itself
    if (!g_bQueueMode) return;
    note = JobNoteOf(job, job.queueFile);
  }
  if (note == ReadJobNote()) return;
  // A note that cannot be written leaves the old one, which a start after
  // a crash finds matching no head record: the job is kept, not deleted.
  WriteRegBinary(kJobNoteValue, note.data(), static_cast<DWORD>(note.size()));
}

bool IsNotedAsBegun(const std::string& spoolFile) {
  const std::vector<std::string> noted = NoteLines(ReadJobNote());
  for (std::size_t i = kNoteFirstSpoolLine; i < noted.size(); ++i)
    if (noted[i] == spoolFile) return true;
  return false;
}

QueueFileKind InspectQueueFile(const char* path, DWORD* error) {
  if (error) *error = 0;
  HANDLE h = OpenWithRetry(path ? path : "", plat::Access::Read, plat::ShareMode::ReadWrite);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = plat::GetLastError();
    if (error) *error = e;
    if (plat::IsNotAFile(e)) return QueueFileKind::NotAFile;
    switch (plat::ClassifyError(e)) {
      case plat::ErrorClass::NotFound: return QueueFileKind::Missing;
      case plat::ErrorClass::SharingViolation: return QueueFileKind::Busy;
      default: return QueueFileKind::Unreadable;
    }
  }
  std::vector<unsigned char> image;
  const bool read = ReadHeldFile(h, kMaxQueueFileSize, image);
  const DWORD e = plat::GetLastError();
  plat::CloseHandle(h);
  if (!read) {
    if (error) *error = e;
    return QueueFileKind::Unreadable;
  }
  return IsQueueImage(image.data(), image.size()) ? QueueFileKind::Queue
                                                  : QueueFileKind::NotAQueue;
}

bool IsQueueImage(const unsigned char* image, std::size_t size) {
  if (size > kMaxQueueFileSize) size = kMaxQueueFileSize;
  const std::size_t head = FindHeadRecordStart(image, size);
  // In front of the head record only what removals in place leave.
  for (std::size_t i = 0; i < head; ++i)
    if (image[i] != '\n' && image[i] != '\r') return false;
  if (head == size) return true;

  auto position = static_cast<std::uint16_t>(head);
  const auto total = static_cast<std::uint16_t>(size);
  char line[kLineBufferSize] = {};
  bool cut = false;
  auto next = [&] {
    return ReadRecordLine(image, line, position, static_cast<std::uint16_t>(total - position),
                          &cut) == kLineRead;
  };
  auto isSpoolLine = [&] { return !cut && plat::IsAbsolutePath(line); };

  if (!next()) return false;                                            // job name
  if (!next() || cut || !plat::IsPortNameSpelling(line)) return false;  // port
  if (!next() || !IsCopiesLine(line)) return false;                     // copies
  if (!next()) return false;
  int spoolLines = 0;
  if (std::strchr(line, '~')) {  // the old form: line 4 is the first spool file
    if (!isSpoolLine()) return false;
    ++spoolLines;
  } else if (!next()) {  // the ribbon type
    return false;
  }
  while (next()) {
    if (!isSpoolLine()) return false;
    ++spoolLines;
  }
  return spoolLines > 0;
}
