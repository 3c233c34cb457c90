// Tests of the queue file: the record parser and its limits, taking,
// finishing, purging, counting and recovering jobs against real files in a
// temporary home, with scripted message boxes, recorded windows and the fake
// clock (so the 1500 ms open retries pass at once).
// Test thread only.
#include "queue/queue_file.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/state/spooler_state.h"
#include "platform/files.h"
#include "platform/files_test_support.h"
#include "platform/net_redirect.h"
#include "queue/queue_file_test_support.h"
#include "queue/settings_store.h"
#include "tests/support/test_support.h"
#include "tools/driver/driver_ops.h"

namespace {

constexpr HWND kMainWnd = 0x1234;
constexpr HWND kJobPageWnd = 0x5678;

std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\r\n";
  return out;
}

std::string NewRecord(const std::string& name, const std::vector<std::string>& spools,
                      const std::string& copies = "1",
                      const std::string& printer = "VORNA Cantella",
                      const std::string& ribbon = "YMCKO") {
  std::vector<std::string> lines{name, "LPT1:", copies, printer, ribbon};
  lines.insert(lines.end(), spools.begin(), spools.end());
  return Lines(lines);
}

// Records as the driver leaves them: separated by one empty line, the newest
// without one behind it.
std::string Queue(const std::vector<std::string>& records) {
  std::string out;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i) out += "\r\n";
    out += records[i];
  }
  return out;
}

JobRecord Parse(const std::string& image, bool* ok = nullptr, RecordParseNotes* notes = nullptr) {
  JobRecord r;
  bool result = ParseJobRecord(reinterpret_cast<const unsigned char*>(image.data()),
                               image.size(), r, notes);
  if (ok) *ok = result;
  return r;
}

// ------------------------------------------------------------------ parser

TEST(ReadRecordLine, ReportsLineEmptyLineAndEndOfData) {
  const std::string image = "abc\r\n\r\nx\ntail";
  const auto* p = reinterpret_cast<const unsigned char*>(image.data());
  const auto size = static_cast<std::uint16_t>(image.size());
  char line[kLineBufferSize];
  std::uint16_t pos = 0;
  EXPECT_EQ(ReadRecordLine(p, line, pos, size), kLineRead);
  EXPECT_STREQ(line, "abc");
  EXPECT_EQ(pos, 5);
  EXPECT_EQ(ReadRecordLine(p, line, pos, static_cast<std::uint16_t>(size - pos)), kLineEmpty);
  EXPECT_EQ(pos, 7);
  // One byte before a bare LF counts as empty as well.
  EXPECT_EQ(ReadRecordLine(p, line, pos, static_cast<std::uint16_t>(size - pos)), kLineEmpty);
  EXPECT_EQ(pos, 9);
  EXPECT_EQ(ReadRecordLine(p, line, pos, static_cast<std::uint16_t>(size - pos)), kLineEndOfData);
  EXPECT_EQ(pos, size);
}

TEST(ReadRecordLine, CutsLongLineAndNeverStepsPastSixteenBits) {
  std::string image(200, 'L');
  image += "\r\nnext\r\n";
  const auto* p = reinterpret_cast<const unsigned char*>(image.data());
  char line[kLineBufferSize];
  std::uint16_t pos = 0;
  bool cut = false;
  EXPECT_EQ(ReadRecordLine(p, line, pos, static_cast<std::uint16_t>(image.size()), &cut), kLineRead);
  EXPECT_TRUE(cut);
  EXPECT_EQ(std::string(line), std::string(kLineBufferSize - 1, 'L'));
  EXPECT_EQ(pos, 202);  // the whole long line was stepped over
  EXPECT_EQ(ReadRecordLine(p, line, pos, static_cast<std::uint16_t>(image.size() - pos), &cut), kLineRead);
  EXPECT_FALSE(cut);
  EXPECT_STREQ(line, "next");

  // A caller that claims more than the 16-bit space holds is clamped.
  std::vector<unsigned char> big(70000, 'z');
  std::uint16_t at = 65530;
  EXPECT_EQ(ReadRecordLine(big.data(), line, at, 0xFFFF), kLineEndOfData);
  EXPECT_EQ(at, 0xFFFF);
}

TEST(ParseJobRecord, NewAndOldForms) {
  bool ok = false;
  JobRecord r = Parse(NewRecord("Report.doc", {"C:\\spool\\a.prn", "C:\\spool\\b.prn"}, "3"), &ok);
  EXPECT_TRUE(ok);
  EXPECT_STREQ(r.jobName, "Report.doc");
  EXPECT_STREQ(r.portName, "LPT1:");
  EXPECT_EQ(r.copies, 3);
  EXPECT_STREQ(r.printerName, "VORNA Cantella");
  EXPECT_STREQ(r.ribbonType, "YMCKO");
  ASSERT_EQ(r.fileCount, 2);
  EXPECT_STREQ(r.spoolFiles[0], "C:\\spool\\a.prn");
  EXPECT_STREQ(r.spoolFiles[1], "C:\\spool\\b.prn");

  r = Parse(Lines({"Old", "\\\\host\\share", "2", "C:\\TEMP\\~SPL01.TMP", "C:\\TEMP\\~SPL02.TMP"}), &ok);
  EXPECT_TRUE(ok);
  EXPECT_STREQ(r.printerName, "");
  EXPECT_STREQ(r.ribbonType, "");
  EXPECT_STREQ(r.portName, "\\\\host\\share");
  ASSERT_EQ(r.fileCount, 2);
  EXPECT_STREQ(r.spoolFiles[0], "C:\\TEMP\\~SPL01.TMP");
  EXPECT_STREQ(r.spoolFiles[1], "C:\\TEMP\\~SPL02.TMP");
}

TEST(ParseJobRecord, MissingLinesFailButKeepWhatWasRead) {
  bool ok = true;
  JobRecord r;
  CopyField(r.printerName, "earlier");
  std::string two = Lines({"Name", "LPT2:"});
  ok = ParseJobRecord(reinterpret_cast<const unsigned char*>(two.data()), two.size(), r);
  EXPECT_FALSE(ok);
  EXPECT_STREQ(r.jobName, "Name");
  EXPECT_STREQ(r.portName, "LPT2:");
  EXPECT_STREQ(r.printerName, "earlier");

  // A new-form record whose ribbon line is missing.
  Parse(Lines({"Name", "LPT1:", "1", "Printer"}), &ok);
  EXPECT_FALSE(ok);
  // An empty line where the copies should be ends the record early.
  Parse(Lines({"Name", "LPT1:", "", "Printer", "Ribbon", "f"}), &ok);
  EXPECT_FALSE(ok);
  Parse("", &ok);
  EXPECT_FALSE(ok);
}

TEST(ParseJobRecord, BareLfAndUnterminatedLastLine) {
  bool ok = false;
  JobRecord r = Parse("Name\nLPT1:\r\n4\r\nPrinter\r\nRibbon\r\n/s/one\r\n/s/two", &ok);
  EXPECT_TRUE(ok);
  EXPECT_STREQ(r.jobName, "Nam");  // the last byte before a bare LF is taken for the CR
  EXPECT_EQ(r.copies, 4);
  ASSERT_EQ(r.fileCount, 1);  // "/s/two" has no line end and is not taken
  EXPECT_STREQ(r.spoolFiles[0], "/s/one");
}

TEST(ParseJobRecord, CopiesLineReadsLowEightBitsOfLeadingNumber) {
  struct Case {
    const char* text;
    int expected;
  } cases[] = {
      {"3", 3},       {"abc", 0},     {"300", 300 % 256}, {"   7", 7},   {"+12", 12},
      {" -1", 255},   {"12 copies", 12}, {"", 0},         {"\t255", 255}, {"256", 0},
  };
  for (const auto& c : cases) {
    JobRecord r = Parse(NewRecord("n", {"/f"}, std::string(c.text).empty() ? " " : c.text));
    EXPECT_EQ(r.copies, c.expected) << "copies line \"" << c.text << "\"";
  }
  // A run of digits far past 32 bits keeps its low 8 bits and overflows nothing.
  // 10^20 - 1: 10^20 is a multiple of 2^20, so its low 8 bits are all ones.
  JobRecord r = Parse(NewRecord("n", {"/f"}, "99999999999999999999"));
  EXPECT_EQ(r.copies, 255);
}

TEST(ParseJobRecord, OverLongLinesAreCutOrEmptiedNeverOverflow) {
  const std::string longText(200, 'J');
  const std::string longPath = "/spool/" + std::string(193, 'p');
  RecordParseNotes notes;
  bool ok = false;
  JobRecord r = Parse(Lines({longText, longText, "2", longText, longText, longPath, "/spool/ok"}),
                      &ok, &notes);
  EXPECT_TRUE(ok);
  EXPECT_EQ(std::string(r.jobName), std::string(kLineBufferSize - 1, 'J'));
  EXPECT_STREQ(r.portName, "");  // a cut port could name another printer
  EXPECT_EQ(std::string(r.printerName), std::string(kPrinterNameSize - 1, 'J'));
  EXPECT_EQ(std::string(r.ribbonType), std::string(kRibbonTypeSize - 1, 'J'));
  EXPECT_EQ(r.copies, 2);
  ASSERT_EQ(r.fileCount, 2);
  EXPECT_STREQ(r.spoolFiles[0], "");  // a cut path could name another file
  EXPECT_STREQ(r.spoolFiles[1], "/spool/ok");
  EXPECT_EQ(notes.cutLines, 3);
  EXPECT_EQ(notes.emptiedLines, 2);

  // Exactly at the limits nothing is cut.
  notes = {};
  r = Parse(Lines({std::string(77, 'a'), "LPT1:", "1", std::string(49, 'b'), std::string(49, 'c'),
                   std::string(77, 'd')}),
            &ok, &notes);
  EXPECT_EQ(std::strlen(r.jobName), 77u);
  EXPECT_EQ(std::strlen(r.printerName), 49u);
  EXPECT_EQ(std::strlen(r.spoolFiles[0]), 77u);
  EXPECT_EQ(notes.cutLines + notes.emptiedLines, 0);
  // 50 characters on the printer line no longer fit its field.
  notes = {};
  r = Parse(Lines({"n", "LPT1:", "1", std::string(50, 'b'), "r", "/f"}), &ok, &notes);
  EXPECT_EQ(std::strlen(r.printerName), 49u);
  EXPECT_EQ(notes.cutLines, 1);
}

TEST(ParseJobRecord, ExtraSpoolFilesAreIgnored) {
  std::vector<std::string> spools;
  for (int i = 0; i < 25; ++i) spools.push_back("/spool/f" + std::to_string(i));
  RecordParseNotes notes;
  JobRecord r = Parse(Queue({NewRecord("many", spools), NewRecord("next", {"/n"})}), nullptr, &notes);
  ASSERT_EQ(r.fileCount, kMaxSpoolFiles);
  for (int i = 0; i < kMaxSpoolFiles; ++i) EXPECT_EQ(r.spoolFiles[i], spools[i]);
  EXPECT_EQ(notes.ignoredSpoolFiles, 5);
  EXPECT_STREQ(r.queueFile, "");  // nothing spilled into the next field
}

TEST(ParseJobRecord, ImageAboveSixteenBitsIsParsedFromItsStart) {
  std::string image = NewRecord("head", {"/a"});
  while (image.size() < 70000) image += "\r\n" + NewRecord("filler", {"/b"});
  RecordParseNotes notes;
  bool ok = false;
  JobRecord r = Parse(image, &ok, &notes);
  EXPECT_TRUE(ok);
  EXPECT_STREQ(r.jobName, "head");
  EXPECT_TRUE(notes.imageCut);

  // One huge line without an end: nothing is read, nothing wraps.
  std::string line(70000, 'x');
  Parse(line, &ok);
  EXPECT_FALSE(ok);
}

TEST(FindHeadRecord, StartAndEndFollowTheParsersEmptyLineRule) {
  auto start = [](const std::string& s) {
    return FindHeadRecordStart(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  };
  auto end = [](const std::string& s) {
    return FindHeadRecordEnd(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  };
  const std::string first = NewRecord("a", {"/a"});
  const std::string second = NewRecord("b", {"/b"});
  EXPECT_EQ(end(Queue({first, second})), first.size() + 2);
  EXPECT_EQ(end(first), first.size());          // no empty line: nothing kept
  EXPECT_EQ(end(first + "\r\n"), first.size() + 2);
  EXPECT_EQ(end(""), 0u);
  // Empty lines in front of the head record (what a removal in place
  // leaves) are no record: the head starts behind them.
  EXPECT_EQ(start(Queue({first, second})), 0u);
  EXPECT_EQ(start("\r\n" + first), 2u);
  EXPECT_EQ(end("\r\n" + first), first.size() + 2);
  const std::string filler = "\n\n\r\nx\n\n";  // one byte before an LF is empty too
  EXPECT_EQ(start(filler + Queue({first, second})), filler.size());
  EXPECT_EQ(end(filler + Queue({first, second})), filler.size() + first.size() + 2);
  EXPECT_EQ(start(filler), filler.size());  // nothing but empty lines: no record
  EXPECT_EQ(end(filler), filler.size());
  bool ok = false;
  JobRecord r = Parse(filler + Queue({first, second}), &ok);
  EXPECT_TRUE(ok);
  EXPECT_STREQ(r.jobName, "a");
  EXPECT_STREQ(r.spoolFiles[0], "/a");
}

// --------------------------------------------------------- queue operations

class QueueFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.InstallKey();
    queue_ = home_.File("queue.txt");
    SpoolerLock lock;
    g_bQueueMode = 1;
    g_hMainWnd = kMainWnd;
    g_hJobPageWnd = kJobPageWnd;
    CopyField(g_szQueueFile, queue_.c_str());
  }

  std::string Spool(const std::string& name, const std::string& bytes = "spool-data") {
    std::string path = home_.File(name);
    kt::WriteFileBytes(path, bytes);
    return path;
  }

  std::string Marker() { return ReadRegString("Config File").value_or("<missing>"); }

  kt::TempHome home_;
  kt::ScriptedMessageBoxes boxes_;
  kt::RecordingWindows windows_;
  plat::ScopedFakeClock clock_;
  std::string queue_;
};

TEST_F(QueueFileTest, TakeNextJobFillsRecordAndCurrentJob) {
  const std::string a = Spool("a.prn", std::string(1000, 'a'));
  const std::string b = Spool("b.prn", std::string(234, 'b'));
  kt::WriteFileBytes(queue_, NewRecord("Invoice", {a, b}, "5", "Tovrel", "Black"));

  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_STREQ(job.queueFile, queue_.c_str());
  EXPECT_STREQ(job.jobName, "Invoice");
  EXPECT_EQ(job.copies, 5);
  EXPECT_EQ(job.fileCount, 2);
  EXPECT_EQ(job.totalSize, 1234);
  EXPECT_EQ(Marker(), "Processing");

  SpoolerLock lock;
  EXPECT_EQ(g_strFileName, "Invoice");
  EXPECT_STREQ(g_szPortName, "LPT1:");
  EXPECT_STREQ(g_szPrinterName, "Tovrel");
  EXPECT_STREQ(g_szRibbonType, "Black");
  EXPECT_EQ(g_nCopies, 5);
  EXPECT_EQ(g_nFileCount, 2);
  EXPECT_EQ(g_nFileSize, 1234);
  EXPECT_STREQ(g_szSpoolFiles[1], b.c_str());
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(QueueFileTest, TakeNextJobOnCurrentJobItselfAndMissingSpoolFiles) {
  kt::WriteFileBytes(queue_, NewRecord("Self", {home_.File("gone.prn")}, "2"));
  ASSERT_TRUE(TakeNextJob(g_curJob));
  SpoolerLock lock;
  EXPECT_STREQ(g_curJob.jobName, "Self");
  EXPECT_STREQ(g_szQueueFile, queue_.c_str());
  EXPECT_EQ(g_nFileSize, 0);  // a file that cannot be opened adds nothing
  EXPECT_EQ(g_nFileCount, 1);
}

TEST_F(QueueFileTest, EmptyOrMissingQueueMeansNoJobAndNoMessage) {
  JobRecord job;
  EXPECT_FALSE(TakeNextJob(job));
  kt::WriteFileBytes(queue_, "");
  EXPECT_FALSE(TakeNextJob(job));
  EXPECT_EQ(CountQueuedJobs(), 0);
  FinishJob(job);
  // Nothing but the empty lines of removed records is no job either.
  kt::WriteFileBytes(queue_, "\n\n\n\r\n");
  EXPECT_FALSE(TakeNextJob(job));
  EXPECT_EQ(CountQueuedJobs(), 0);
  EXPECT_EQ(FinishJob(job), FinishOutcome::NoRecord);
  EXPECT_EQ(boxes_.count(), 0u);
  EXPECT_EQ(Marker(), "<missing>");
}

TEST_F(QueueFileTest, ShortHeadRecordDoesNotInheritThePreviousJob) {
  const std::string old = Spool("old.prn");
  JobRecord job;
  CopyField(job.spoolFiles[0], old.c_str());
  job.fileCount = 1;
  kt::WriteFileBytes(queue_, Lines({"Broken", "LPT1:"}));
  ASSERT_TRUE(TakeNextJob(job));  // a readable file holds a job
  EXPECT_STREQ(job.jobName, "Broken");
  EXPECT_EQ(job.fileCount, 0);
  EXPECT_STREQ(job.spoolFiles[0], "");
  FinishJob(job);
  EXPECT_TRUE(kt::FileExists(old));  // someone else's file survives
  EXPECT_EQ(kt::ReadFileBytes(queue_), "");
}

TEST_F(QueueFileTest, SingleRecordWithoutEmptyLineLeavesEmptyFile) {
  const std::string a = Spool("a.prn");
  const std::string b = Spool("b.prn");
  kt::WriteFileBytes(queue_, NewRecord("Only", {a, b}));
  EXPECT_EQ(CountQueuedJobs(), 0);
  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  FinishJob(job);
  EXPECT_TRUE(kt::FileExists(queue_));
  EXPECT_EQ(kt::ReadFileBytes(queue_), "");
  EXPECT_FALSE(kt::FileExists(a));
  EXPECT_FALSE(kt::FileExists(b));
  EXPECT_FALSE(TakeNextJob(job));
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(QueueFileTest, FinishJobLeavesExactlyTheLaterRecords) {
  const std::string a = Spool("a.prn");
  const std::string b = Spool("b.prn");
  const std::string c = Spool("c.prn");
  const std::string second = NewRecord("Second", {b});
  const std::string third = Lines({"Third", "LPT2:", "1", "/x/~old.tmp"});
  kt::WriteFileBytes(queue_, Queue({NewRecord("First", {a}), second, third}));
  EXPECT_EQ(CountQueuedJobs(), 2);

  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_STREQ(job.jobName, "First");
  FinishJob(job);
  EXPECT_EQ(kt::ReadFileBytes(queue_), Queue({second, third}));
  EXPECT_FALSE(kt::FileExists(a));
  EXPECT_TRUE(kt::FileExists(b));
  EXPECT_EQ(CountQueuedJobs(), 1);

  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_STREQ(job.jobName, "Second");
  FinishJob(job);
  EXPECT_EQ(kt::ReadFileBytes(queue_), third);
  EXPECT_FALSE(kt::FileExists(b));
  EXPECT_TRUE(kt::FileExists(c));
}

TEST_F(QueueFileTest, FinishJobResetsProgressAndReleasesTheJob) {
  const std::string port = Spool("port.dev");
  const std::string spool = Spool("held.prn");
  {
    SpoolerLock lock;
    g_nBytesSent = 4096;
    g_bAbortJob = 1;
    g_nCopy = 3;
    g_bPrinting = 1;
    g_hSpoolFile = plat::OpenFile(spool, plat::Access::Read, plat::ShareMode::ReadWrite,
                                  plat::Disposition::OpenExisting);
    g_hPort = plat::OpenFile(port, plat::Access::Read, plat::ShareMode::ReadWrite,
                             plat::Disposition::OpenExisting);
  }
  const HANDLE spoolHandle = g_hSpoolFile;
  const HANDLE portHandle = g_hPort;
  ASSERT_NE(spoolHandle, INVALID_HANDLE_VALUE);
  JobRecord job;
  FinishJob(job);
  SpoolerLock lock;
  EXPECT_EQ(g_nBytesSent, 0u);
  EXPECT_EQ(g_bAbortJob, 0);
  EXPECT_EQ(g_nCopy, 1);
  EXPECT_EQ(g_bPrinting, 1);  // between queued jobs the run goes on
  EXPECT_EQ(g_hSpoolFile, INVALID_HANDLE_VALUE);
  EXPECT_EQ(g_hPort, INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::LookupHandle(spoolHandle), nullptr);
  EXPECT_EQ(plat::LookupHandle(portHandle), nullptr);
  EXPECT_EQ(windows_.invalidations(), 1);
}

TEST_F(QueueFileTest, FinishJobThatCannotRewriteKeepsRecordAndSpoolFiles) {
  const std::string a = Spool("a.prn");
  const std::string image = Queue({NewRecord("First", {a}), NewRecord("Second", {"/b"})});
  kt::WriteFileBytes(queue_, image);
  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));

  // Someone else holds the file with no sharing for the whole retry window.
  HANDLE holder = plat::OpenFile(queue_, plat::Access::ReadWrite, plat::ShareMode::None,
                                 plat::Disposition::OpenExisting);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const DWORD before = clock_.clock().Now();
  FinishJob(job);
  EXPECT_GE(clock_.clock().Now() - before, kQueueOpenRetryMs);  // it did wait the window out
  plat::CloseHandle(holder);

  auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Could not save configuration file.");
  EXPECT_EQ(boxes[0].caption, "Kelvane Error.");
  EXPECT_EQ(boxes[0].style, MB_ICONERROR | MB_SETFOREGROUND);
  EXPECT_EQ(boxes[0].owner, kMainWnd);
  EXPECT_EQ(windows_.foregrounds(), 1);
  EXPECT_EQ(kt::ReadFileBytes(queue_), image);
  EXPECT_TRUE(kt::FileExists(a));  // the job prints again instead of failing the queue

  JobRecord again;
  ASSERT_TRUE(TakeNextJob(again));
  EXPECT_STREQ(again.jobName, "First");
  EXPECT_EQ(again.totalSize, static_cast<std::int32_t>(std::string("spool-data").size()));
}

TEST_F(QueueFileTest, HeldQueueFileCannotBeRead) {
  kt::WriteFileBytes(queue_, Queue({NewRecord("A", {"/a"}), NewRecord("B", {"/b"})}));
  HANDLE holder = plat::OpenFile(queue_, plat::Access::ReadWrite, plat::ShareMode::None,
                                 plat::Disposition::OpenExisting);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  // The size probe shares read and write and is refused as well: no job.
  JobRecord job;
  EXPECT_FALSE(TakeNextJob(job));
  EXPECT_EQ(CountQueuedJobs(), 0);
  EXPECT_EQ(QueryFileSize(queue_.c_str()), -1);
  plat::CloseHandle(holder);
  EXPECT_GT(QueryFileSize(queue_.c_str()), 0);
  EXPECT_EQ(CountQueuedJobs(), 1);
}

TEST_F(QueueFileTest, QueryFileSizeRefusesWhatIsNotARegularFile) {
  EXPECT_EQ(QueryFileSize(home_.path().c_str()), -1);
  EXPECT_EQ(QueryFileSize(""), -1);
  EXPECT_EQ(QueryFileSize(home_.File("none").c_str()), -1);
  const std::string fifo = home_.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(QueryFileSize(fifo.c_str()), -1);
  EXPECT_EQ(QueryFileSize(Spool("five", "12345").c_str()), 5);
  // A missing file is final at once: no retry window is spent on it.
  const DWORD before = clock_.clock().Now();
  QueryFileSize(home_.File("none").c_str());
  EXPECT_LT(clock_.clock().Now() - before, 10u);
}

TEST_F(QueueFileTest, CleanUpNeverDeletesWhatIsNotARegularFile) {
  const std::string dir = home_.File("dir");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  const std::string dirLink = home_.File("dirlink");
  ASSERT_EQ(::symlink(dir.c_str(), dirLink.c_str()), 0);
  const std::string devLink = home_.File("devlink");
  ASSERT_EQ(::symlink("/dev/null", devLink.c_str()), 0);
  const std::string fifo = home_.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string plain = Spool("plain.prn");
  kt::WriteFileBytes(queue_, NewRecord("Odd", {dir, dirLink, devLink, fifo, plain}));

  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  ASSERT_EQ(job.fileCount, 5);
  FinishJob(job);
  struct stat st {};
  EXPECT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(::lstat(dirLink.c_str(), &st), 0);
  EXPECT_EQ(::lstat(devLink.c_str(), &st), 0);
  EXPECT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_FALSE(kt::FileExists(plain));
  EXPECT_EQ(kt::ReadFileBytes(queue_), "");
}

TEST_F(QueueFileTest, QueueFileAboveSixteenBitsLosesNothingBehindTheLimit) {
  const std::string head = Spool("head.prn");
  std::vector<std::string> records{NewRecord("head", {head})};
  std::size_t size = records[0].size();
  int n = 0;
  while (size < 70000) {
    records.push_back(NewRecord("filler-" + std::to_string(n++), {"/nowhere"}));
    size += records.back().size() + 2;
  }
  const std::string image = Queue(records);
  ASSERT_GT(image.size(), 70000u - 200);
  kt::WriteFileBytes(queue_, image);
  EXPECT_EQ(CountQueuedJobs(), records.size() - 1);  // counted over the whole file

  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_STREQ(job.jobName, "head");
  FinishJob(job);
  const std::string rest = kt::ReadFileBytes(queue_);
  EXPECT_EQ(rest, image.substr(records[0].size() + 2));
  EXPECT_GT(rest.size(), kMaxQueueFileSize);
  EXPECT_FALSE(kt::FileExists(head));
}

TEST_F(QueueFileTest, ManualModeTakesPortFromRegistry) {
  {
    SpoolerLock lock;
    g_bQueueMode = 0;
    CopyField(g_szSpoolFiles[0], "/home/user/picture.prn");
    g_nCopies = 9999;  // a hand-opened job may ask for this many
    g_nFileCount = 1;
  }
  ASSERT_TRUE(WriteRegString("Port", "LPT1:"));
  kt::WriteFileBytes(queue_, NewRecord("Queued", {"/q"}));
  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_STREQ(job.portName, "LPT1");
  EXPECT_STREQ(job.spoolFiles[0], "/home/user/picture.prn");
  EXPECT_EQ(job.copies, 9999);
  EXPECT_EQ(job.fileCount, 1);
  EXPECT_EQ(Marker(), "<missing>");  // the queue and its marker are not touched
  EXPECT_EQ(kt::ReadFileBytes(queue_), NewRecord("Queued", {"/q"}));

  ASSERT_TRUE(WriteRegString("Port", "LPT2"));
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_STREQ(job.portName, "LPT2");
  // The scheduler's own record works in place.
  ASSERT_TRUE(TakeNextJob(g_curJob));
  EXPECT_STREQ(g_curJob.spoolFiles[0], "/home/user/picture.prn");
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(QueueFileTest, ManualModeWithoutPortShowsMessage) {
  {
    SpoolerLock lock;
    g_bQueueMode = 0;
  }
  JobRecord job;
  CopyField(job.portName, "stale");
  EXPECT_FALSE(TakeNextJob(job));
  EXPECT_STREQ(job.portName, "");
  auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Could not find port settings in Registry.");
  EXPECT_EQ(boxes[0].caption, "Kelvane Error.");
  EXPECT_EQ(boxes[0].style, MB_ICONERROR | MB_SETFOREGROUND);
  EXPECT_EQ(boxes[0].owner, kMainWnd);
  EXPECT_EQ(windows_.foregrounds(), 1);
}

TEST_F(QueueFileTest, EndJobCleanupResetsAndAsksThePageToRepaint) {
  const std::string spool = Spool("s.prn");
  ASSERT_EQ(plat::AddConnection("LPT7", "\\\\host\\printer"), 0u);
  {
    SpoolerLock lock;
    g_nCopy = 4;
    g_nBytesSent = 100;
    g_bAbortJob = 1;
    g_bPrinting = 1;
    g_hSpoolFile = plat::OpenFile(spool, plat::Access::Read, plat::ShareMode::ReadWrite,
                                  plat::Disposition::OpenExisting);
    g_bNetConnected = 1;
    CopyField(g_szNetDevice, "LPT7");
  }
  const HANDLE spoolHandle = g_hSpoolFile;
  EndJobCleanup();
  {
    SpoolerLock lock;
    EXPECT_EQ(g_nCopy, 1);
    EXPECT_EQ(g_nBytesSent, 0u);
    EXPECT_EQ(g_bAbortJob, 0);
    EXPECT_EQ(g_bPrinting, 0);
    EXPECT_EQ(g_hSpoolFile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_hPort, INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_bNetConnected, 0);
  }
  EXPECT_EQ(plat::LookupHandle(spoolHandle), nullptr);
  EXPECT_FALSE(plat::RedirectedShare("LPT7").has_value());
  EXPECT_EQ(windows_.CountPosts(kJobPageWnd, WM_TIMER), 1);
  auto posts = windows_.posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].wParam, 0u);
  EXPECT_EQ(posts[0].lParam, 0);
  EXPECT_EQ(windows_.invalidations(), 1);
  EXPECT_TRUE(kt::FileExists(spool));  // the queue and its files are not touched

  // A second clean-up finds nothing left to close.
  EndJobCleanup();
  EXPECT_EQ(windows_.CountPosts(kJobPageWnd, WM_TIMER), 2);
}

TEST_F(QueueFileTest, PurgeQueueRemovesEverything) {
  std::vector<std::string> spools{Spool("1.prn"), Spool("2.prn"), Spool("3.prn")};
  kt::WriteFileBytes(queue_, Queue({NewRecord("1", {spools[0]}), NewRecord("2", {spools[1]}),
                                    NewRecord("3", {spools[2]})}));
  {
    SpoolerLock lock;
    g_bQueuePurged = 0;
  }
  JobRecord job;
  PurgeQueue(job);
  EXPECT_EQ(kt::ReadFileBytes(queue_), "");
  for (const auto& s : spools) EXPECT_FALSE(kt::FileExists(s)) << s;
  EXPECT_EQ(Marker(), "Purged");
  EXPECT_EQ(g_bQueuePurged, 1);
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(QueueFileTest, CloseQueueRunClosesTheRunAndRemovesNothing) {
  const std::string a = Spool("a.prn");
  const std::string image = Queue({NewRecord("1", {a}), NewRecord("2", {"/b"})});
  kt::WriteFileBytes(queue_, image);
  ASSERT_TRUE(WriteRegString("Config File", "Processing"));
  {
    SpoolerLock lock;
    g_bQueuePurged = 0;
  }
  CloseQueueRun();
  EXPECT_EQ(g_bQueuePurged, 1);
  EXPECT_EQ(Marker(), "Purged");
  EXPECT_EQ(kt::ReadFileBytes(queue_), image);
  EXPECT_EQ(kt::ReadFileBytes(a), "spool-data");
  EXPECT_EQ(boxes_.count(), 0u);
  EXPECT_TRUE(windows_.posts().empty());
}

TEST_F(QueueFileTest, TakeNextJobObserverSeesEveryResult) {
  std::vector<bool> seen;
  SetTakeNextJobObserver([&seen](bool taken) { seen.push_back(taken); });
  kt::WriteFileBytes(queue_, NewRecord("1", {Spool("a.prn")}));
  JobRecord job;
  EXPECT_TRUE(TakeNextJob(job));
  FinishJob(job);
  EXPECT_FALSE(TakeNextJob(job));
  PurgeQueue(job);  // its own look at the queue is seen too
  SetTakeNextJobObserver(nullptr);
  EXPECT_FALSE(TakeNextJob(job));
  EXPECT_EQ(seen, (std::vector<bool>{true, false, false}));
}

// Takes the queue file with no sharing whenever FinishJob starts on a job
// (it invalidates the main window first) and lets go when the error box is
// shown: the file reads fine but can never be rewritten. Stops interfering
// after a few rounds so that a looping purge fails the test instead of
// hanging it.
class RewriteBlocker : public kt::RecordingWindows {
 public:
  explicit RewriteBlocker(std::string path) : path_(std::move(path)) {}
  ~RewriteBlocker() override { Release(); }
  void Invalidate(HWND window) override {
    kt::RecordingWindows::Invalidate(window);
    if (rounds_ < 5 && held_ == INVALID_HANDLE_VALUE) {
      held_ = plat::OpenFile(path_, plat::Access::Read, plat::ShareMode::None,
                             plat::Disposition::OpenExisting);
      ++rounds_;
    }
  }
  void BringToForeground(HWND window) override {
    kt::RecordingWindows::BringToForeground(window);
    Release();
  }
  void Release() {
    if (held_ != INVALID_HANDLE_VALUE) plat::CloseHandle(held_);
    held_ = INVALID_HANDLE_VALUE;
  }

 private:
  std::string path_;
  HANDLE held_ = INVALID_HANDLE_VALUE;
  int rounds_ = 0;
};

TEST_F(QueueFileTest, PurgeQueueOnUnrewritableFileStopsWithOneMessage) {
  const std::string a = Spool("a.prn");
  const std::string image = Queue({NewRecord("1", {a}), NewRecord("2", {"/b"})});
  kt::WriteFileBytes(queue_, image);
  RewriteBlocker blocker(queue_);  // replaces the recording sink for this test
  JobRecord job;
  PurgeQueue(job);
  blocker.Release();
  auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Could not save configuration file.");
  EXPECT_EQ(kt::ReadFileBytes(queue_), image);
  EXPECT_TRUE(kt::FileExists(a));
  EXPECT_EQ(Marker(), "Purged");
}

// ------------------------------------- a queue file that cannot be replaced

// Makes the files layer fail at the given points, for the queue file only.
class FileFaults {
 public:
  FileFaults(std::string path, std::vector<std::pair<plat::FileFault, int>> faults)
      : path_(std::move(path)), faults_(std::move(faults)) {
    plat::SetFileFaultHook([this](plat::FileFault point, const std::string& path) {
      if (path != path_) return 0;
      for (const auto& [at, error] : faults_) {
        if (at == point) {
          ++hits_;
          return error;
        }
      }
      return 0;
    });
  }
  ~FileFaults() { plat::SetFileFaultHook(nullptr); }
  int hits() const { return hits_; }

 private:
  std::string path_;
  std::vector<std::pair<plat::FileFault, int>> faults_;
  int hits_ = 0;  // the test thread alone uses the files here
};

std::vector<std::string> FolderEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

struct NoRoomCase {
  plat::FileFault point;
  int error;
  const char* name;
};

class FinishJobWithoutRoomTest : public QueueFileTest,
                                 public ::testing::WithParamInterface<NoRoomCase> {};

// A folder we may not write (the temporary cannot be created) or a full disk
// (it cannot be written): the record still goes, by a rewrite in place.
TEST_P(FinishJobWithoutRoomTest, RecordIsRemovedByARewriteInPlace) {
  const std::string a = Spool("a.prn");
  const std::string b = Spool("b.prn");
  const std::string first = NewRecord("First", {a});
  const std::string second = NewRecord("Second", {b});
  kt::WriteFileBytes(queue_, Queue({first, second}));
  const ino_t inode = InodeOf(queue_);
  const auto before = FolderEntries(home_.path());
  FileFaults faults(queue_, {{GetParam().point, GetParam().error}});

  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_EQ(FinishJob(job), FinishOutcome::Removed);
  EXPECT_EQ(faults.hits(), 1);
  // The head record and its empty line became empty lines; the record
  // behind them did not move.
  EXPECT_EQ(kt::ReadFileBytes(queue_), std::string(first.size() + 2, '\n') + second);
  EXPECT_EQ(InodeOf(queue_), inode);  // the same file, rewritten
  EXPECT_EQ(boxes_.count(), 0u);
  EXPECT_FALSE(kt::FileExists(a));
  EXPECT_TRUE(kt::FileExists(b));
  auto after = before;
  after.erase(std::remove(after.begin(), after.end(), "a.prn"), after.end());
  EXPECT_EQ(FolderEntries(home_.path()), after);  // no temporary left behind

  // And the last record the same way, down to an empty file.
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_STREQ(job.jobName, "Second");
  EXPECT_EQ(FinishJob(job), FinishOutcome::Removed);
  EXPECT_EQ(kt::ReadFileBytes(queue_), "");
  EXPECT_FALSE(TakeNextJob(job));
}

INSTANTIATE_TEST_SUITE_P(
    NoRoomBeside, FinishJobWithoutRoomTest,
    ::testing::Values(NoRoomCase{plat::FileFault::CreateTemporary, EACCES, "FolderNotWritable"},
                      NoRoomCase{plat::FileFault::CreateTemporary, EPERM, "FolderRefuses"},
                      NoRoomCase{plat::FileFault::CreateTemporary, EROFS, "ReadOnlyFileSystem"},
                      NoRoomCase{plat::FileFault::WriteTemporary, ENOSPC, "DiskFull"},
                      NoRoomCase{plat::FileFault::WriteTemporary, EDQUOT, "QuotaFull"}),
    [](const ::testing::TestParamInfo<NoRoomCase>& info) { return info.param.name; });

TEST_F(QueueFileTest, FinishJobThatCanRewriteNeitherWayKeepsEverythingAndSaysSoOnce) {
  const std::string a = Spool("a.prn");
  const std::string image = Queue({NewRecord("First", {a}), NewRecord("Second", {"/b"})});
  kt::WriteFileBytes(queue_, image);
  FileFaults faults(queue_, {{plat::FileFault::WriteTemporary, ENOSPC},
                             {plat::FileFault::RewriteInPlace, EIO}});
  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_EQ(FinishJob(job), FinishOutcome::Kept);
  EXPECT_EQ(faults.hits(), 2);
  auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Could not save configuration file.");
  EXPECT_EQ(boxes[0].caption, "Kelvane Error.");
  EXPECT_EQ(kt::ReadFileBytes(queue_), image);
  EXPECT_TRUE(kt::FileExists(a));
}

// Other failures of the replacement are not a reason to give up its
// atomicity: the record stays.
TEST_F(QueueFileTest, FinishJobDoesNotRewriteInPlaceForOtherFailures) {
  const std::string image = Queue({NewRecord("First", {"/a"}), NewRecord("Second", {"/b"})});
  kt::WriteFileBytes(queue_, image);
  FileFaults faults(queue_, {{plat::FileFault::WriteTemporary, EIO}});
  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_EQ(FinishJob(job), FinishOutcome::Kept);
  EXPECT_EQ(kt::ReadFileBytes(queue_), image);
  EXPECT_EQ(boxes_.count(), 1u);
}

TEST_F(QueueFileTest, CheckQueueFileWritableRefusesAFileThatCannotBeWritten) {
  kt::WriteFileBytes(queue_, NewRecord("First", {"/a"}));
  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_TRUE(CheckQueueFileWritable(job));
  EXPECT_EQ(boxes_.count(), 0u);
  for (int error : {EACCES, EROFS}) {
    FileFaults faults(queue_, {{plat::FileFault::OpenForWriting, error}});
    EXPECT_FALSE(CheckQueueFileWritable(job)) << error;
  }
  auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "Could not save configuration file.");
  EXPECT_EQ(boxes[0].style, MB_ICONERROR | MB_SETFOREGROUND);
  EXPECT_EQ(boxes[0].owner, kMainWnd);
  EXPECT_EQ(kt::ReadFileBytes(queue_), NewRecord("First", {"/a"}));
}

// The driver may name a link to a queue file kept elsewhere: the link must
// stay a link, and the file it names lose its head record.
TEST_F(QueueFileTest, FinishJobOnALinkedQueueFileRewritesTheLinkedFile) {
  const std::string elsewhere = home_.File("elsewhere");
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
  const std::string target = elsewhere + "/queue.txt";
  const std::string second = NewRecord("Second", {"/b"});
  kt::WriteFileBytes(target, Queue({NewRecord("First", {Spool("a.prn")}), second}));
  ASSERT_EQ(::symlink(target.c_str(), queue_.c_str()), 0);

  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_EQ(FinishJob(job), FinishOutcome::Removed);
  struct stat st {};
  ASSERT_EQ(::lstat(queue_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(kt::ReadFileBytes(target), second);
  EXPECT_EQ(FolderEntries(elsewhere), std::vector<std::string>{"queue.txt"});
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_STREQ(job.jobName, "Second");
  EXPECT_EQ(boxes_.count(), 0u);
}

// The real thing: a queue file on a file system too small for a second copy
// of it. Needs root for the mount.
TEST_F(QueueFileTest, FinishJobOnAFullFileSystemStillRemovesTheRecord) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const std::string mountPoint = home_.File("small");
  ASSERT_EQ(::mkdir(mountPoint.c_str(), 0700), 0);
  const std::string mount = "mount -t tmpfs -o size=64k tmpfs '" + mountPoint + "'";
  ASSERT_EQ(std::system(mount.c_str()), 0) << "cannot mount a tmpfs";
  struct Unmount {
    std::string at;
    ~Unmount() { (void)std::system(("umount '" + at + "'").c_str()); }
  } unmount{mountPoint};

  const std::string queue = mountPoint + "/queue.txt";
  const std::string a = Spool("a.prn");
  // Each record is padded with spool-file lines to about 12 KiB; three of
  // them leave no room for a second copy of the rest.
  std::vector<std::string> pad;
  for (int i = 0; i < 160; ++i) pad.push_back("/missing/" + std::string(60, 'x'));
  std::vector<std::string> records{NewRecord("First", {a}), NewRecord("Second", pad),
                                   NewRecord("Third", pad), NewRecord("Fourth", pad)};
  const std::string image = Queue(records);
  ASSERT_GT(image.size(), 32u * 1024u);
  kt::WriteFileBytes(queue, image);
  ASSERT_EQ(kt::ReadFileBytes(queue), image) << "the file system took less than the queue";
  {
    SpoolerLock lock;
    CopyField(g_szQueueFile, queue.c_str());
  }

  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_STREQ(job.jobName, "First");
  EXPECT_EQ(FinishJob(job), FinishOutcome::Removed);
  EXPECT_EQ(kt::ReadFileBytes(queue), std::string(records[0].size() + 2, '\n') +
                                          Queue({records[1], records[2], records[3]}));
  EXPECT_FALSE(kt::FileExists(a));
  EXPECT_EQ(boxes_.count(), 0u);
  EXPECT_EQ(FolderEntries(mountPoint), std::vector<std::string>{"queue.txt"});
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_STREQ(job.jobName, "Second");
}

// The real thing, as a user met it: the queue file (mode 0666) in a folder
// the spooler's user may not write. As root the removal runs in a child
// that has become "nobody" (root may write anywhere); as anyone else the
// folder is simply made read-only for its owner.
TEST_F(QueueFileTest, FinishJobInAFolderTheUserCannotWriteRewritesInPlace) {
  char dirTemplate[] = "/tmp/kelvane-ro-XXXXXX";
  ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate;
  struct RemoveDir {
    std::string dir;
    ~RemoveDir() {
      ::chmod(dir.c_str(), 0700);
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } removeDir{dir};
  const std::string queue = dir + "/queue.txt";
  const std::string first = NewRecord("First", {"/a"});
  const std::string second = NewRecord("Second", {"/b"});
  kt::WriteFileBytes(queue, Queue({first, second}));
  ASSERT_EQ(::chmod(queue.c_str(), 0666), 0);
  const ino_t inode = InodeOf(queue);
  {
    SpoolerLock lock;
    CopyField(g_szQueueFile, queue.c_str());
  }

  auto takeAndFinish = [] {
    JobRecord job;
    if (!TakeNextJob(job)) return 10;
    return static_cast<int>(FinishJob(job));
  };
  int outcome = -1;
  if (::geteuid() == 0) {
    const struct passwd* nobody = ::getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no user \"nobody\" to run as";
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);  // root's folder: others may not write
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) != 0 ||
          ::setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) != 0)
        ::_exit(20);
      ::_exit(takeAndFinish());
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    outcome = WEXITSTATUS(status);
  } else {
    ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
    outcome = takeAndFinish();
  }
  EXPECT_EQ(outcome, static_cast<int>(FinishOutcome::Removed));
  EXPECT_EQ(kt::ReadFileBytes(queue), std::string(first.size() + 2, '\n') + second);
  EXPECT_EQ(InodeOf(queue), inode);
  EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"queue.txt"});
}

// ------------------------------------ a kill at any instant of a removal

// A queue, the way its head record goes, and the system calls that takes in
// order (the files layer asks the fault hook right before each).
struct KillCase {
  const char* name;
  bool inPlace;      // the folder refuses the temporary
  const char* filler;  // empty lines that earlier removals in place left
  int jobs;          // "1" .. "jobs" queued
  std::vector<plat::FileFault> steps;
  std::size_t changedFrom;  // a kill before steps[changedFrom] or later finds the head gone
};

class KillDuringRemovalTest : public QueueFileTest,
                              public ::testing::WithParamInterface<KillCase> {};

// A child runs TakeNextJob and FinishJob and is stopped dead before its
// k-th system call on the queue file, for every k; then a driver appends a
// job and the next run takes them all: the old jobs, or the old jobs but
// the head one, and the new one, none twice and nothing never queued, with
// every record but the newest counted (what recovery removes).
TEST_P(KillDuringRemovalTest, LeavesTheOldQueueOrTheQueueWithoutItsHead) {
  const KillCase& c = GetParam();
  std::vector<std::string> names, records;
  for (int i = 1; i <= c.jobs; ++i) {
    names.push_back(std::to_string(i));
    records.push_back(NewRecord(names.back(), {"/kelvane-none/" + names.back()}));
  }
  const std::string image = c.filler + Queue(records);
  driver::JobSpec appended;
  appended.queueFile = queue_;
  appended.name = "new";
  appended.files = {Spool("new.txt")};
  constexpr int kKilledBefore = 100;  // + the step's FileFault

  std::vector<plat::FileFault> steps;
  for (int k = 1; k <= 20; ++k) {
    kt::WriteFileBytes(queue_, image);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int calls = 0;
      plat::SetFileFaultHook([&](plat::FileFault point, const std::string& path) {
        if (path != queue_) return 0;
        if (++calls == k) ::_exit(kKilledBefore + static_cast<int>(point));
        return c.inPlace && point == plat::FileFault::CreateTemporary ? EACCES : 0;
      });
      JobRecord job;
      ::_exit(TakeNextJob(job) && FinishJob(job) == FinishOutcome::Removed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    const int code = WEXITSTATUS(status);
    ASSERT_TRUE(code == 0 || code >= kKilledBefore) << "step " << k << ": " << code;
    if (code != 0) steps.push_back(static_cast<plat::FileFault>(code - kKilledBefore));
    const bool headGone = code == 0 || steps.size() > c.changedFrom;

    const driver::Outcome outcome = driver::Submit(appended, nullptr);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    std::vector<std::string> expected(names.begin() + (headGone ? 1 : 0), names.end());
    expected.push_back("new");
    EXPECT_EQ(CountQueuedJobs(), expected.size() - 1) << "killed before step " << k;
    std::vector<std::string> taken;
    JobRecord job;
    while (taken.size() <= expected.size() && TakeNextJob(job)) {
      taken.push_back(job.jobName);
      EXPECT_EQ(FinishJob(job), FinishOutcome::Removed);
    }
    EXPECT_EQ(taken, expected) << "killed before step " << k;
    if (code == 0) break;
  }
  EXPECT_EQ(steps, c.steps);
  EXPECT_EQ(boxes_.count(), 0u);
}

using FF = plat::FileFault;
const std::vector<FF> kWholeSteps{FF::OpenForWriting, FF::CreateTemporary, FF::WriteTemporary,
                                  FF::SyncTemporary,  FF::RenameOver,      FF::SyncFolder};
const std::vector<FF> kOverwriteSteps{FF::OpenForWriting, FF::CreateTemporary, FF::RewriteInPlace,
                                      FF::SyncInPlace};
const std::vector<FF> kTruncateSteps{FF::OpenForWriting, FF::CreateTemporary, FF::TruncateInPlace,
                                     FF::SyncInPlace};

INSTANTIATE_TEST_SUITE_P(
    EveryStep, KillDuringRemovalTest,
    ::testing::Values(KillCase{"Replaced", false, "", 3, kWholeSteps, 5},
                      KillCase{"ReplacedBehindFiller", false, "\n\n\n\n", 2, kWholeSteps, 5},
                      KillCase{"ReplacedLast", false, "", 1, kWholeSteps, 5},
                      KillCase{"InPlace", true, "", 3, kOverwriteSteps, 3},
                      KillCase{"InPlaceBehindFiller", true, "\n\n\n\n", 2, kOverwriteSteps, 3},
                      KillCase{"InPlaceLast", true, "\n\n", 1, kTruncateSteps, 3}),
    [](const ::testing::TestParamInfo<KillCase>& info) { return info.param.name; });

// ------------------------------------------- recovery after a crash

// Three queued jobs, the first one begun by a print thread that then died
// (the marker still "Processing"): how the run left its note decides what
// the next start may remove.
struct RecoveryCase {
  const char* name;
  enum { HeadNoted, NothingNoted, OtherQueueNoted, NoteCleared } note;
  bool headRemoved;
};

class RecoveryTest : public QueueFileTest, public ::testing::WithParamInterface<RecoveryCase> {};

TEST_P(RecoveryTest, RemovesOnlyTheJobThatWasPrinting) {
  const RecoveryCase& c = GetParam();
  std::vector<std::string> spools{Spool("1.prn"), Spool("2.prn"), Spool("3.prn")};
  const std::string behind = NewRecord("2", {spools[1]}) + "\r\n" + NewRecord("3", {spools[2]});
  const std::string image = NewRecord("1", {spools[0]}) + "\r\n" + behind;
  kt::WriteFileBytes(queue_, image);
  JobRecord begun;
  ASSERT_TRUE(TakeNextJob(begun));  // the marker: "Processing"
  if (c.note == RecoveryCase::OtherQueueNoted) CopyField(begun.queueFile, "/elsewhere/queue.txt");
  if (c.note != RecoveryCase::NothingNoted) NoteJobInProgress(begun);
  if (c.note == RecoveryCase::NoteCleared) {
    CloseQueueRun();  // a run that ended; a later one died before its note
    ASSERT_TRUE(TakeNextJob(begun));
  }
  ASSERT_EQ(Marker(), "Processing");

  EXPECT_EQ(RecoverQueueFile(), c.headRemoved);
  EXPECT_EQ(Marker(), "Processing");
  EXPECT_EQ(kt::FileExists(spools[0]), !c.headRemoved);
  EXPECT_TRUE(kt::FileExists(spools[1]));
  EXPECT_TRUE(kt::FileExists(spools[2]));
  if (!c.headRemoved) {
    EXPECT_EQ(kt::ReadFileBytes(queue_), image);
    EXPECT_EQ(boxes_.count(), 0u);
    return;
  }
  EXPECT_EQ(kt::ReadFileBytes(queue_), behind);
  const auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            "Configuration/Queue File Error.\r\nPrevious jobs will be deleted.\r\n"
            "Current job will print in a few moments.");
  EXPECT_EQ(boxes[0].caption, "Kelvane Error.");
  EXPECT_EQ(boxes[0].style, MB_OK);
  EXPECT_EQ(boxes[0].owner, kMainWnd);
  EXPECT_EQ(windows_.foregrounds(), 1);
  // Done once: the next start finds the head it did not note.
  EXPECT_FALSE(RecoverQueueFile());
  EXPECT_EQ(kt::ReadFileBytes(queue_), behind);
}

INSTANTIATE_TEST_SUITE_P(
    Notes, RecoveryTest,
    ::testing::Values(RecoveryCase{"HeadNoted", RecoveryCase::HeadNoted, true},
                      RecoveryCase{"NothingNoted", RecoveryCase::NothingNoted, false},
                      RecoveryCase{"OtherQueueNoted", RecoveryCase::OtherQueueNoted, false},
                      RecoveryCase{"NoteCleared", RecoveryCase::NoteCleared, false}),
    [](const ::testing::TestParamInfo<RecoveryCase>& info) { return info.param.name; });

// A child takes the head job, notes it, removes its record and is stopped
// dead right before deleting its spool files. The next start deletes them,
// silently, and keeps every record and every file a record names.
TEST_F(QueueFileTest, SpoolFilesOfARemovalCutShortGoAtTheNextStart) {
  const std::string shared = Spool("shared.prn");  // named by the next record too
  const std::string own = Spool("own.prn");
  const std::string next = NewRecord("next", {shared});
  kt::WriteFileBytes(queue_, NewRecord("first", {own, shared}) + "\r\n" + next);
  constexpr int kKilled = 42;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    plat::SetFileFaultHook([&](plat::FileFault point, const std::string&) {
      if (point == plat::FileFault::DeleteFile) ::_exit(kKilled);
      return 0;
    });
    JobRecord job;
    if (!TakeNextJob(job)) ::_exit(1);
    NoteJobInProgress(job);
    FinishJob(job);
    ::_exit(2);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), kKilled);
  ASSERT_EQ(kt::ReadFileBytes(queue_), next);
  ASSERT_TRUE(kt::FileExists(own));

  EXPECT_FALSE(RecoverQueueFile());
  EXPECT_FALSE(kt::FileExists(own));
  EXPECT_TRUE(kt::FileExists(shared));
  EXPECT_EQ(kt::ReadFileBytes(queue_), next);
  EXPECT_EQ(boxes_.count(), 0u);
}

// -------------------------------------- what may be taken as a queue file

TEST(IsQueueImage, OnlyAQueueOrNothingButLineEnds) {
  const std::string record = NewRecord("Badge", {"/var/spool/KLV~abc123"});
  const std::string old = Lines({"Badge", "\\\\office\\ribbon", " 2 ", "/s/KLV~old"});
  struct Case {
    std::string image;
    bool queue;
  };
  const std::vector<Case> cases{
      {"", true},
      {"\n\n\r\n", true},  // what removals in place leave
      {record, true},
      {"\n\n" + record + "\r\n" + NewRecord("x", {"relative"}), true},  // the head decides
      {old, true},
      {Lines({"a", "socket://10.0.0.7:9100", "1", "Tovrel", "Ink", "/a", "/b"}), true},
      {"x\n" + record, false},  // a one-character line is no filler of ours
      {Lines({"# Network services", "# Internet style", "tcpmux 1/tcp", "echo 7/tcp"}), false},
      {std::string("\x7f" "ELF\x02\x01\x01\0\0\0\0\0\r\n\0\0\r\n", 18), false},
      {Lines({"a", "LPT1:", "one", "VORNA Tamrel", "YMCKO", "/a"}), false},   // copies
      {Lines({"a", "my printer", "1", "VORNA Tamrel", "YMCKO", "/a"}), false},  // port
      {Lines({"a", "LPT1:", "1", "VORNA Tamrel", "YMCKO", "a.prn"}), false},    // relative
      {Lines({"a", "LPT1:", "1", "VORNA Tamrel", "YMCKO"}), false},            // no spool line
      {Lines({"a", "LPT1:", "1", "old~form.prn"}), false},
      {Lines({"a", "LPT1:", "1", "VORNA Tamrel", "YMCKO", "/" + std::string(80, 'p')}), false},
      {"a\r\nLPT1:\r\n1\r\n", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsQueueImage(reinterpret_cast<const unsigned char*>(c.image.data()), c.image.size()),
              c.queue)
        << c.image;
  }
}

TEST_F(QueueFileTest, InspectQueueFileTellsWhatTheNameIs) {
  const std::string fifo = home_.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string text = home_.File("notes.txt");
  kt::WriteFileBytes(text, "Dear printer,\r\nplease\r\nprint\r\nthis.\r\n");
  kt::WriteFileBytes(queue_, NewRecord("1", {"/a"}));
  EXPECT_EQ(InspectQueueFile(queue_.c_str()), QueueFileKind::Queue);
  EXPECT_EQ(InspectQueueFile(Spool("empty", "").c_str()), QueueFileKind::Queue);
  EXPECT_EQ(InspectQueueFile(home_.File("none").c_str()), QueueFileKind::Missing);
  EXPECT_EQ(InspectQueueFile(text.c_str()), QueueFileKind::NotAQueue);
  EXPECT_EQ(InspectQueueFile(fifo.c_str()), QueueFileKind::NotAFile);
  EXPECT_EQ(InspectQueueFile(home_.path().c_str()), QueueFileKind::NotAFile);
  EXPECT_EQ(InspectQueueFile("/dev/null"), QueueFileKind::NotAFile);
}

// A purge asked for while the queue's name has come to stand for some
// other file (a link changed under it) leaves that file whole.
TEST_F(QueueFileTest, PurgeLeavesAFileThatIsNoQueueWhole) {
  const std::string text = "not a queue\r\nat all\r\n";
  kt::WriteFileBytes(queue_, text);
  JobRecord job;
  PurgeQueue(job);
  EXPECT_EQ(kt::ReadFileBytes(queue_), text);
  EXPECT_EQ(Marker(), "Purged");
}

TEST_F(QueueFileTest, NoRecoveryWithoutProcessingMarker) {
  const std::string image = Queue({NewRecord("1", {"/a"}), NewRecord("2", {"/b"})});
  kt::WriteFileBytes(queue_, image);
  EXPECT_FALSE(RecoverQueueFile());  // no marker at all
  ASSERT_TRUE(WriteRegString("Config File", "Purged"));
  EXPECT_FALSE(RecoverQueueFile());
  ASSERT_TRUE(WriteRegString("Config File", "Processing2"));
  EXPECT_FALSE(RecoverQueueFile());
  EXPECT_EQ(boxes_.count(), 0u);
  EXPECT_EQ(kt::ReadFileBytes(queue_), image);
}

TEST_F(QueueFileTest, CountQueuedJobsCountsRecordsFollowedByEmptyLine) {
  kt::WriteFileBytes(queue_, Queue({NewRecord("1", {"/a"}), NewRecord("2", {"/b"})}) + "\r\n");
  EXPECT_EQ(CountQueuedJobs(), 2);
  // A file that starts with the pattern does not count at position 0.
  kt::WriteFileBytes(queue_, "\n\r\nx");
  EXPECT_EQ(CountQueuedJobs(), 0);
  kt::WriteFileBytes(queue_, "xy\n\r\n");
  EXPECT_EQ(CountQueuedJobs(), 1);
  // The empty lines in front of the head record end no record.
  kt::WriteFileBytes(queue_, "\n\n\r\n" + Queue({NewRecord("1", {"/a"}), NewRecord("2", {"/b"})}));
  EXPECT_EQ(CountQueuedJobs(), 1);
}

}  // namespace
