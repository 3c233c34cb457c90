// What the pages compute, without a display: size text, status line,
// progress and buttons of the Current Job page; the job list read from the
// queue file; the Settings page's port list, preselection, stored values and
// number validation; the copies range; and the templates and menu tables.
// Test thread only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "app/state/spooler_state.h"
#include "app/state/spooler_state_test_support.h"
#include "pages/current_job_display.h"
#include "pages/printer_wait_text.h"
#include "pages/queue_listing.h"
#include "pages/settings_model.h"
#include "platform/printers.h"
#include "queue/settings_store.h"
#include "res/dialog_templates.h"
#include "res/menu.h"
#include "tests/support/test_support.h"

namespace {

// ---------------------------------------------------------------- Current Job

TEST(CurrentJobDisplay, SizeTextRoundsHalfUpInDecimalKilobytes) {
  EXPECT_EQ(FormatSizeText(0), "0 KB");
  EXPECT_EQ(FormatSizeText(499), "0 KB");
  EXPECT_EQ(FormatSizeText(500), "1 KB");
  EXPECT_EQ(FormatSizeText(1499), "1 KB");
  EXPECT_EQ(FormatSizeText(1500), "2 KB");
  EXPECT_EQ(FormatSizeText(37000), "37 KB");
  // Unsigned 32-bit arithmetic: the sum wraps near the top of the range.
  EXPECT_EQ(FormatSizeText(0xFFFFFFFFu), std::to_string((0xFFFFFFFFu + 500u) / 1000u) + " KB");
}

TEST(CurrentJobDisplay, StatusLineFollowsPrintingAndJobDone) {
  EXPECT_EQ(FormatStatusLine(false, 1, 1, 1), "completed");
  EXPECT_EQ(FormatStatusLine(false, 0, 1, 1), "idle");
  EXPECT_EQ(FormatStatusLine(false, 2, 1, 1), "idle");
  EXPECT_EQ(FormatStatusLine(true, 1, 2, 3), "Copy 2 of 3");
  EXPECT_EQ(FormatStatusLine(true, 0, 9999, 9999), "Copy 9999 of 9999");
}

TEST(CurrentJobDisplay, ProgressIsTruncatedAndZeroWithoutSizeOrPrint) {
  EXPECT_EQ(ComputeProgress(500, 1000, true), 50);
  EXPECT_EQ(ComputeProgress(999, 1000, true), 99);
  EXPECT_EQ(ComputeProgress(1, 3, true), 33);
  EXPECT_EQ(ComputeProgress(1000, 1000, true), 100);
  EXPECT_EQ(ComputeProgress(500, 0, true), 0);
  EXPECT_EQ(ComputeProgress(500, 1000, false), 0);
  EXPECT_EQ(ComputeProgress(5000, 1000, true), 100);
  EXPECT_EQ(ComputeProgress(0xFFFFFFFEu, 0xFFFFFFFFu, true), 99);
}

TEST(CurrentJobDisplay, SecondOfThreeCopiesHalfSentFromSharedState) {
  kt::TempHome home;
  {
    SpoolerLock lock;
    g_nFileSize = 2048;
    g_nBytesSent = 1024;
    g_nCopy = 2;
    g_nCopies = 3;
    g_bPrinting = 1;
    g_strFileName = "/tmp/job.prn";
  }
  const CurrentJobDisplay d = BuildCurrentJobDisplay(SnapshotCurrentJob());
  EXPECT_EQ(d.fileName, "/tmp/job.prn");
  EXPECT_EQ(d.sizeText, "2 KB");
  EXPECT_EQ(d.statusLine, "Copy 2 of 3");
  EXPECT_EQ(d.progress, 50);
  EXPECT_FALSE(d.buttons.print);
  EXPECT_TRUE(d.buttons.pause);
  EXPECT_TRUE(d.buttons.cancelPrint);

  // Zero size while printing: an empty bar, not a division by zero.
  {
    SpoolerLock lock;
    g_nFileSize = 0;
  }
  EXPECT_EQ(BuildCurrentJobDisplay(SnapshotCurrentJob()).progress, 0);
}

TEST(CurrentJobDisplay, ButtonStatesByModeAndLoadedFile) {
  CurrentJobSnapshot s;
  s.fileLoaded = false;
  JobButtonStates b = ComputeJobButtons(s);
  EXPECT_FALSE(b.print || b.pause || b.cancelPrint);

  s.fileLoaded = true;
  b = ComputeJobButtons(s);
  EXPECT_TRUE(b.print);
  EXPECT_FALSE(b.pause || b.cancelPrint);

  s.queueMode = true;  // never Print in queue mode, whatever was loaded
  b = ComputeJobButtons(s);
  EXPECT_FALSE(b.print || b.pause || b.cancelPrint);

  s.printing = true;
  b = ComputeJobButtons(s);
  EXPECT_FALSE(b.print);
  EXPECT_TRUE(b.pause && b.cancelPrint);
}

TEST(CurrentJobDisplay, StartInManualModeShowsNoneZeroIdle) {
  kt::TempHome home;
  g_strFileName = "none";
  const CurrentJobDisplay d = BuildCurrentJobDisplay(SnapshotCurrentJob());
  EXPECT_EQ(d.fileName, "none");
  EXPECT_EQ(d.sizeText, "0 KB");
  EXPECT_EQ(d.statusLine, "idle");
  EXPECT_EQ(d.progress, 0);
  EXPECT_FALSE(d.buttons.print || d.buttons.pause || d.buttons.cancelPrint);
}

TEST(CurrentJobActions, PauseResumeAndCancelKeepFlagsAndRowStateInStep) {
  kt::TempHome home;
  EXPECT_FALSE(IsPrintPaused());
  EXPECT_EQ(PausePrint(), "Resume");
  EXPECT_TRUE(IsPrintPaused());
  EXPECT_EQ(g_jobRowState[0], 2);
  EXPECT_EQ(ResumePrint(), "Pause");
  EXPECT_FALSE(IsPrintPaused());
  EXPECT_EQ(g_jobRowState[0], 0);

  // Cancelling a paused job releases the thread and asks it to stop.
  g_bPrinting = 1;
  PausePrint();
  EXPECT_TRUE(CancelPrint());
  EXPECT_EQ(g_bAbortJob, 1);
  EXPECT_EQ(g_bPaused, 0);
  EXPECT_EQ(g_jobRowState[0], 0);

  // Cancelling a running job that is not paused releases nothing.
  g_bAbortJob = 0;
  EXPECT_FALSE(CancelPrint());
  EXPECT_EQ(g_bAbortJob, 1);

  // Nothing printing: no stop request is left behind for the next run.
  g_bPrinting = 0;
  g_bAbortJob = 0;
  EXPECT_FALSE(CancelPrint());
  EXPECT_EQ(g_bAbortJob, 0);
}

// ------------------------------------------------------------------ Job Queue

std::string Record(const std::string& name) {
  return name + "\r\nLPT1:\r\n1\r\nPrinter\r\nRibbon\r\n/tmp/spool.prn\r\n";
}

std::string Queue(const std::vector<std::string>& names) {
  std::string data;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) data += "\r\n";
    data += Record(names[i]);
  }
  return data;
}

TEST(QueueListingParse, ThreeRecordsGiveThreeNames) {
  EXPECT_EQ(ParseQueueJobNames(Queue({"A", "B", "C"})),
            (std::vector<std::string>{"A", "B", "C"}));
  // The driver may end the last record with the empty line too.
  EXPECT_EQ(ParseQueueJobNames(Queue({"A", "B"}) + "\r\n"),
            (std::vector<std::string>{"A", "B"}));
}

TEST(QueueListingParse, LongNameIsCutTo127Characters) {
  const std::string longName(200, 'n');
  const auto names = ParseQueueJobNames(Queue({longName, "B"}));
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], std::string(127, 'n'));
  EXPECT_EQ(names[1], "B");
  // 127 characters and the CR fit exactly.
  EXPECT_EQ(ParseQueueJobNames(Queue({std::string(127, 'x')}))[0], std::string(127, 'x'));
}

TEST(QueueListingParse, AtMost128Rows) {
  std::vector<std::string> many;
  for (int i = 0; i < 130; ++i) many.push_back("job" + std::to_string(i));
  const auto names = ParseQueueJobNames(Queue(many));
  ASSERT_EQ(names.size(), 128u);
  EXPECT_EQ(names.front(), "job0");
  EXPECT_EQ(names.back(), "job127");
}

TEST(QueueListingParse, EmptyTruncatedAndShortTails) {
  EXPECT_TRUE(ParseQueueJobNames("").empty());
  // A last record whose name has no line end yet is left out.
  EXPECT_EQ(ParseQueueJobNames(Queue({"A"}) + "\r\nHalf-writ"),
            (std::vector<std::string>{"A"}));
  // Fewer than 3 bytes after the separator end the list.
  EXPECT_EQ(ParseQueueJobNames(Queue({"A"}) + "\r\nB\r"),
            (std::vector<std::string>{"A"}));
  // An empty name line of a later record is an empty name; a bare LF gives
  // no stray byte.
  EXPECT_EQ(ParseQueueJobNames(Queue({"A"}) + "\r\n\nLPT1:\r\n"),
            (std::vector<std::string>{"A", ""}));
}

TEST(QueueListingParse, EmptyLinesBeforeTheHeadRecordAreNoRow) {
  // What a removal in place leaves where the records it took were.
  EXPECT_EQ(ParseQueueJobNames("\n\n\n\n" + Queue({"A", "B"})),
            (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(ParseQueueJobNames("\r\n" + Queue({"A"})), (std::vector<std::string>{"A"}));
  EXPECT_TRUE(ParseQueueJobNames("\n\n\r\n").empty());
}

TEST(QueueListing, StatusWords) {
  EXPECT_STREQ(QueueStatusWord(0), "Printing");
  EXPECT_STREQ(QueueStatusWord(1), "Queued");
  EXPECT_STREQ(QueueStatusWord(2), "Paused");
  EXPECT_STREQ(QueueStatusWord(200), "Paused");
}

TEST(QueueListing, ReadsFileAndMarksRowsAfterTheFirstQueued) {
  kt::TempHome home;
  plat::ScopedFakeClock clock;
  const std::string path = home.File("queue.txt");
  kt::WriteFileBytes(path, Queue({"A", "B", "C"}));
  {
    SpoolerLock lock;
    CopyField(g_szQueueFile, path.c_str());
    g_bPrinting = 1;
    g_jobRowState[0] = 0;
  }
  QueueListing listing = ReadQueueListing();
  ASSERT_TRUE(listing.read);
  EXPECT_TRUE(listing.printing);
  ASSERT_EQ(listing.rows.size(), 3u);
  EXPECT_EQ(listing.rows[0].name, "A");
  EXPECT_EQ(listing.rows[0].status, "Printing");
  EXPECT_EQ(listing.rows[1].status, "Queued");
  EXPECT_EQ(listing.rows[2].status, "Queued");
  EXPECT_EQ(g_jobRowState[1], 1);
  EXPECT_EQ(g_jobRowState[2], 1);

  // Paused first job after a repaint; the file is left unchanged.
  PausePrint();
  listing = ReadQueueListing();
  EXPECT_EQ(listing.rows[0].status, "Paused");
  EXPECT_EQ(kt::ReadFileBytes(path), Queue({"A", "B", "C"}));
}

TEST(QueueListing, FirstRowSaysWhatThePrinterKeepsItWaitingFor) {
  kt::TempHome home;
  plat::ScopedFakeClock clock;
  ResetSpoolerState();
  const std::string path = home.File("queue.txt");
  kt::WriteFileBytes(path, Queue({"A", "B"}));
  {
    SpoolerLock lock;
    CopyField(g_szQueueFile, path.c_str());
    g_bPrinting = 1;
    g_nPrinterWait = PrinterWait::OutOfPaper;
  }
  QueueListing listing = ReadQueueListing();
  ASSERT_EQ(listing.rows.size(), 2u);
  EXPECT_EQ(listing.rows[0].status, "Out of paper");
  EXPECT_EQ(listing.rows[1].status, "Queued");

  g_nPrinterWait = PrinterWait::NotSelected;
  EXPECT_EQ(ReadQueueListing().rows[0].status, "Not selected");
  g_nPrinterWait = PrinterWait::None;
  EXPECT_EQ(ReadQueueListing().rows[0].status, "Printing");
  ResetSpoolerState();
}

TEST(QueueListing, EmptyOrMissingFileListsNothing) {
  kt::TempHome home;
  plat::ScopedFakeClock clock;
  const std::string path = home.File("queue.txt");
  kt::WriteFileBytes(path, "");
  CopyField(g_szQueueFile, path.c_str());
  g_bPrinting = 1;
  QueueListing listing = ReadQueueListing();
  EXPECT_FALSE(listing.read);
  EXPECT_TRUE(listing.rows.empty());

  CopyField(g_szQueueFile, home.File("missing.txt").c_str());
  listing = ReadQueueListing();
  EXPECT_FALSE(listing.read);
  EXPECT_TRUE(listing.rows.empty());
}

TEST(QueueListing, DeleteAllClosesOnlyWhenConfirmedWhilePrinting) {
  EXPECT_TRUE(ShouldCloseForDeleteAll(IDOK, true));
  EXPECT_FALSE(ShouldCloseForDeleteAll(IDOK, false));
  EXPECT_FALSE(ShouldCloseForDeleteAll(IDCANCEL, true));
}

// ------------------------------------------------------- Printer wait texts

class PrinterWaitText : public ::testing::Test {
 protected:
  // Times of day in the tests are UTC.
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    if (tz) savedTz_ = tz;
    hadTz_ = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (hadTz_) setenv("TZ", savedTz_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }
  // 2026-12-07 14:02:11 UTC.
  static constexpr std::time_t kAt140211 = 1796652131;
  std::string savedTz_;
  bool hadTz_ = false;
};

TEST_F(PrinterWaitText, DurationsInHoursMinutesAndSeconds) {
  EXPECT_EQ(FormatWaitDuration(0), "0 s");
  EXPECT_EQ(FormatWaitDuration(45), "45 s");
  EXPECT_EQ(FormatWaitDuration(60), "1 min 0 s");
  EXPECT_EQ(FormatWaitDuration(460), "7 min 40 s");
  EXPECT_EQ(FormatWaitDuration(3600 + 5 * 60 + 3), "1 h 5 min 3 s");
  EXPECT_EQ(FormatWaitDuration(7200), "2 h 0 min 0 s");
}

TEST_F(PrinterWaitText, WordsAndHeadlessLines) {
  EXPECT_STREQ(PrinterWaitWord(PrinterWait::OutOfPaper), "out of paper");
  EXPECT_STREQ(PrinterWaitWord(PrinterWait::NotSelected), "not selected");
  EXPECT_STREQ(PrinterWaitWord(PrinterWait::NotAccepting), "not accepting data");
  EXPECT_STREQ(PrinterWaitWord(PrinterWait::Stalled), "stalled");
  EXPECT_STREQ(PrinterWaitWord(PrinterWait::None), "");
  EXPECT_STREQ(PrinterWaitWord(static_cast<PrinterWait>(77)), "");
  EXPECT_EQ(PrinterWaitCellWord(PrinterWait::NotAccepting), "Not accepting data");
  EXPECT_EQ(PrinterWaitCellWord(PrinterWait::None), "");
  EXPECT_EQ(PrinterStateLine(PrinterWait::OutOfPaper, true), "state: out of paper");
  EXPECT_EQ(PrinterStateLine(PrinterWait::NotSelected, false), "state: not selected");
  EXPECT_EQ(PrinterStateLine(PrinterWait::NotAccepting, true), "state: not accepting data");
  EXPECT_EQ(PrinterStateLine(PrinterWait::Stalled, true), "state: stalled");
  EXPECT_EQ(PrinterStateLine(PrinterWait::None, true), "state: printing");
  EXPECT_EQ(PrinterStateLine(PrinterWait::None, false), "");
}

TEST_F(PrinterWaitText, WaitWithoutTimeOutSaysSinceWhen) {
  // Out of paper since tick 1000; 95.5 s later it is 14:02:11 + 95 s.
  const PrinterWaitView view{PrinterWait::OutOfPaper, 1000, 0};
  const DWORD now = 1000 + 95500;
  const std::time_t wall = kAt140211 + 95;
  EXPECT_EQ(PrinterWaitStatusText(view, now, wall), "Printer out of paper: waiting since 14:02:11");
  EXPECT_EQ(PrinterWaitStatusValue(view, now, wall), "out of paper (since 14:02:11)");
  EXPECT_EQ(WaitMsLeft(view, now), 0u);
  // Across the wrap of the tick count.
  const PrinterWaitView wrapped{PrinterWait::OutOfPaper, 0xFFFFF000u, 0};
  EXPECT_EQ(PrinterWaitStatusText(wrapped, static_cast<DWORD>(0xFFFFF000u + 30000u), kAt140211),
            "Printer out of paper: waiting since 14:01:41");
}

TEST_F(PrinterWaitText, WaitWithTimeOutSaysWhatIsLeftRoundedUp) {
  const PrinterWaitView view{PrinterWait::NotSelected, 5000, 500000};
  // 500 s limit, 39.5 s passed: 460.5 s left shows as 7 min 41 s.
  EXPECT_EQ(PrinterWaitStatusText(view, 5000 + 39500, kAt140211),
            "Printer not selected: 7 min 41 s left");
  EXPECT_EQ(PrinterWaitStatusText(view, 5000 + 40000, kAt140211),
            "Printer not selected: 7 min 40 s left");
  EXPECT_EQ(PrinterWaitStatusValue(view, 5000 + 40000, kAt140211),
            "not selected (7 min 40 s left)");
  EXPECT_EQ(WaitMsLeft(view, 5000 + 499999), 1u);
  EXPECT_EQ(PrinterWaitStatusText(view, 5000 + 499999, kAt140211),
            "Printer not selected: 1 s left");
  // Due (the thread is about to give up): nothing left, never a wrap.
  EXPECT_EQ(WaitMsLeft(view, 5000 + 600000), 0u);
  EXPECT_EQ(PrinterWaitStatusText(view, 5000 + 600000, kAt140211),
            "Printer not selected: 0 s left");
  const PrinterWaitView stalled{PrinterWait::Stalled, 100, 750};
  EXPECT_EQ(PrinterWaitStatusText(stalled, 400, kAt140211), "Printer stalled: 1 s left");
}

TEST_F(PrinterWaitText, NoWaitSaysNothingOrPrinting) {
  const PrinterWaitView none{};
  EXPECT_EQ(PrinterWaitStatusText(none, 1234, kAt140211), "");
  EXPECT_EQ(PrinterWaitStatusValue(none, 1234, kAt140211), "printing");
}

TEST_F(PrinterWaitText, StatusPaneSaysReadyWithoutAWait) {
  EXPECT_EQ(StatusPaneText(PrinterWaitView{}, 5, kAt140211), "Ready");
  const PrinterWaitView view{PrinterWait::OutOfPaper, 1000, 0};
  EXPECT_EQ(StatusPaneText(view, 1000, kAt140211), "Printer out of paper: waiting since 14:02:11");
}

TEST(BoxNoticeText, CaptionIsTheTitleAndLineEndsBecomeLf) {
  const BoxNotice notice =
      MakeBoxNotice("Kelvane Error", "Printer out of paper.\r\nRetry?\rNow\nok");
  EXPECT_EQ(notice.title, "Kelvane Error");
  EXPECT_EQ(notice.body, "Printer out of paper.\nRetry?\nNow\nok");
}

TEST(PrinterWaitState, ReadCopiesTheSharedState) {
  ResetSpoolerState();
  EXPECT_EQ(ReadPrinterWait().wait, PrinterWait::None);
  {
    SpoolerLock lock;
    g_nPrinterWait = PrinterWait::Stalled;
    g_dwWaitSince = 77;
    g_dwWaitTimeout = 750;
  }
  const PrinterWaitView view = ReadPrinterWait();
  EXPECT_EQ(view.wait, PrinterWait::Stalled);
  EXPECT_EQ(view.since, 77u);
  EXPECT_EQ(view.timeout, 750u);
  ResetSpoolerState();
  EXPECT_EQ(ReadPrinterWait().wait, PrinterWait::None);
}

// ------------------------------------------------------------------- Settings

TEST(SettingsPorts, PrefixSearchIgnoresCase) {
  const std::vector<std::string> items = {"LPT1:", "FILE:", "lpt2:"};
  EXPECT_EQ(FindPrefixNoCase(items, "lpt1"), 0);
  EXPECT_EQ(FindPrefixNoCase(items, "LPT2:"), 2);
  EXPECT_EQ(FindPrefixNoCase(items, "file:"), 1);
  EXPECT_EQ(FindPrefixNoCase(items, "COM1:"), -1);
  EXPECT_EQ(FindPrefixNoCase(items, "LPT1:X"), -1);
}

TEST(SettingsPorts, DistinctPortsInOrderOfFirstAppearance) {
  const std::vector<plat::InstalledPrinter> printers = {
      {"Tamrel A", "LPT1:"}, {"Tamrel B", "LPT1:"}, {"Writer", "FILE:"}};
  EXPECT_EQ(CollectPorts(printers), (std::vector<std::string>{"LPT1:", "FILE:"}));
  EXPECT_EQ(CollectPorts({{"a", "lpt1:"}, {"b", "LPT1:"}, {"c", "COM1:"}}),
            (std::vector<std::string>{"lpt1:", "COM1:"}));
}

TEST(SettingsPorts, InitialSelectionStoredElseLpt1ElseFirst) {
  const std::vector<std::string> ports = {"FILE:", "LPT1:", "LPT2:"};
  EXPECT_EQ(ChooseInitialPort(ports, std::string("LPT2:")), 2);
  EXPECT_EQ(ChooseInitialPort(ports, std::string("lpt2:")), 2);
  EXPECT_EQ(ChooseInitialPort(ports, std::string("LPT3:")), 1);
  EXPECT_EQ(ChooseInitialPort(ports, std::nullopt), 1);
  EXPECT_EQ(ChooseInitialPort(ports, std::string("")), 1);
  EXPECT_EQ(ChooseInitialPort({"FILE:", "COM1:"}, std::string("LPT2:")), 0);
  EXPECT_EQ(ChooseInitialPort({}, std::string("LPT1:")), -1);
}

class FakePrinters : public plat::PrinterSource {
 public:
  explicit FakePrinters(std::vector<plat::InstalledPrinter> list, bool ok = true)
      : list_(std::move(list)), ok_(ok) {
    plat::SetPrinterSource(this);
  }
  ~FakePrinters() override { plat::SetPrinterSource(nullptr); }
  bool List(std::vector<plat::InstalledPrinter>& out) override {
    out = list_;
    return ok_;
  }

 private:
  std::vector<plat::InstalledPrinter> list_;
  bool ok_;
};

TEST(SettingsPage, ManualModeListsPrintersAndPreselectsStoredPort) {
  kt::TempHome home;
  home.InstallKey();
  FakePrinters printers({{"Tamrel A", "LPT1:"}, {"Tamrel B", "LPT1:"}, {"Writer", "FILE:"}});
  ASSERT_TRUE(WriteRegString("Port", "FILE:"));
  ASSERT_TRUE(WriteRegDword("dnsTimeout", 45500));
  ASSERT_TRUE(WriteRegDword("txTimeout", 600000));
  const SettingsPageInit init = LoadSettingsPage();
  EXPECT_FALSE(init.queueMode);
  EXPECT_FALSE(init.enumerationFailed);
  EXPECT_EQ(init.ports, (std::vector<std::string>{"LPT1:", "FILE:"}));
  EXPECT_EQ(init.portSelection, 1);
  EXPECT_TRUE(init.portListEnabled);
  EXPECT_EQ(init.printers, (std::vector<std::string>{"Tamrel A", "Tamrel B", "Writer"}));
  EXPECT_EQ(init.printerSelection, -1);
  EXPECT_EQ(init.notSelectedSeconds, 45u);
  EXPECT_EQ(init.retrySeconds, 600u);
}

TEST(SettingsPage, MissingTimeoutsShowAndStoreDefaults) {
  kt::TempHome home;
  home.InstallKey();
  FakePrinters printers(std::vector<plat::InstalledPrinter>{{"Tamrel", "LPT1:"}});
  const SettingsPageInit init = LoadSettingsPage();
  EXPECT_EQ(init.notSelectedSeconds, 500u);
  EXPECT_EQ(init.retrySeconds, 600u);
  EXPECT_EQ(init.portSelection, 0);
  EXPECT_EQ(ReadRegDword("dnsTimeout"), kDefaultDnsTimeout);
  EXPECT_EQ(ReadRegDword("txTimeout"), kDefaultTxTimeout);
}

TEST(SettingsPage, NoPrintersReportsEnumerationError) {
  kt::TempHome home;
  home.InstallKey();
  FakePrinters printers(std::vector<plat::InstalledPrinter>{});
  const SettingsPageInit init = LoadSettingsPage();
  EXPECT_TRUE(init.enumerationFailed);
  EXPECT_TRUE(init.ports.empty());
  EXPECT_TRUE(init.printers.empty());
  EXPECT_EQ(init.portSelection, -1);
  EXPECT_EQ(init.notSelectedSeconds, 500u);
}

TEST(SettingsPage, QueueModeShowsTheJobsPortAndPrinterReadOnly) {
  kt::TempHome home;
  home.InstallKey();
  FakePrinters printers(std::vector<plat::InstalledPrinter>{{"Other", "FILE:"}});
  g_bQueueMode = 1;
  CopyField(g_szPortName, "LPT2:");
  CopyField(g_szPrinterName, "VORNA Tamrel");
  const SettingsPageInit init = LoadSettingsPage();
  EXPECT_EQ(init.ports, (std::vector<std::string>{"LPT2:"}));
  EXPECT_EQ(init.portSelection, 0);
  EXPECT_FALSE(init.portListEnabled);
  EXPECT_EQ(init.printers, (std::vector<std::string>{"VORNA Tamrel"}));
  EXPECT_EQ(init.printerSelection, 0);
  EXPECT_FALSE(init.enumerationFailed);
}

TEST(SettingsPage, ApplyStoresMillisecondsAndPortChangeStoresAtOnce) {
  kt::TempHome home;
  home.InstallKey();
  ASSERT_TRUE(SaveTimeouts(1, 999));
  EXPECT_EQ(ReadRegDword("dnsTimeout"), 1000u);
  EXPECT_EQ(ReadRegDword("txTimeout"), 999000u);
  ASSERT_TRUE(SavePortSelection("LPT2:"));
  EXPECT_EQ(ReadRegString("Port").value_or(""), "LPT2:");
}

TEST(SettingsPage, StoresFailWithoutTheKey) {
  kt::TempHome home;  // no key installed
  EXPECT_FALSE(SaveTimeouts(30, 30));
  EXPECT_FALSE(SavePortSelection("LPT1:"));
}

TEST(Validation, TimeoutBounds) {
  std::uint32_t v = 77;
  EXPECT_EQ(ParseBoundedUnsigned("0", 1, 999, &v), NumberCheck::OutOfRange);
  EXPECT_EQ(ParseBoundedUnsigned("1", 1, 999, &v), NumberCheck::Ok);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(ParseBoundedUnsigned("999", 1, 999, &v), NumberCheck::Ok);
  EXPECT_EQ(v, 999u);
  EXPECT_EQ(ParseBoundedUnsigned("1000", 1, 999, &v), NumberCheck::OutOfRange);
  EXPECT_EQ(ParseBoundedUnsigned("abc", 1, 999, &v), NumberCheck::NotANumber);
  EXPECT_EQ(ParseBoundedUnsigned("12a", 1, 999, &v), NumberCheck::NotANumber);
  EXPECT_EQ(ParseBoundedUnsigned("-5", 1, 999, &v), NumberCheck::NotANumber);
  EXPECT_EQ(ParseBoundedUnsigned("", 1, 999, &v), NumberCheck::NotANumber);
  EXPECT_EQ(ParseBoundedUnsigned(" 30 ", 1, 999, &v), NumberCheck::Ok);
  EXPECT_EQ(v, 30u);
  // Beyond 32 bits must not wrap into range.
  EXPECT_EQ(ParseBoundedUnsigned("4294967297", 1, 999, &v), NumberCheck::OutOfRange);
  EXPECT_EQ(v, 30u);  // untouched by failures
}

TEST(Validation, CopiesBounds) {
  std::uint32_t v = 0;
  EXPECT_EQ(ParseBoundedUnsigned("0", kMinCopies, kMaxCopies, &v), NumberCheck::OutOfRange);
  EXPECT_EQ(ParseBoundedUnsigned("1", kMinCopies, kMaxCopies, &v), NumberCheck::Ok);
  EXPECT_EQ(ParseBoundedUnsigned("9999", kMinCopies, kMaxCopies, &v), NumberCheck::Ok);
  EXPECT_EQ(v, 9999u);
  EXPECT_EQ(ParseBoundedUnsigned("10000", kMinCopies, kMaxCopies, &v), NumberCheck::OutOfRange);
}

TEST(Validation, Messages) {
  EXPECT_EQ(ValidationMessage(NumberCheck::NotANumber, 1, 999), "Please enter a positive integer.");
  EXPECT_EQ(ValidationMessage(NumberCheck::OutOfRange, 1, 999),
            "Please enter an integer between 1 and 999.");
  EXPECT_EQ(ValidationMessage(NumberCheck::OutOfRange, 1, 9999),
            "Please enter an integer between 1 and 9999.");
  EXPECT_EQ(ValidationMessage(NumberCheck::Ok, 1, 999), "");
}

// --------------------------------------------------------- Templates and menu

TEST(Templates, PagesHaveTheirSizesAndControls) {
  const DialogTemplate* job = FindDialogTemplate(IDD_CURRENT_JOB);
  ASSERT_NE(job, nullptr);
  EXPECT_STREQ(job->caption, "Current Job");
  EXPECT_EQ(job->w, 249);
  EXPECT_EQ(job->h, 147);
  ASSERT_EQ(job->controls.size(), 11u);
  const DialogControl* print = FindDialogControl(*job, IDC_PRINT);
  ASSERT_NE(print, nullptr);
  EXPECT_STREQ(print->text, "&Print");
  EXPECT_TRUE(print->style & kDefault);
  EXPECT_EQ(print->x, 17);
  EXPECT_EQ(print->y, 120);

  const DialogTemplate* queue = FindDialogTemplate(IDD_JOB_QUEUE);
  ASSERT_NE(queue, nullptr);
  EXPECT_TRUE(FindDialogControl(*queue, IDC_DELETE_JOB)->style & kHidden);
  EXPECT_TRUE(FindDialogControl(*queue, IDC_PAUSE_JOB)->style & kHidden);

  const DialogTemplate* settings = FindDialogTemplate(IDD_SETTINGS);
  ASSERT_NE(settings, nullptr);
  EXPECT_EQ(settings->controls.size(), 12u);
  EXPECT_TRUE(FindDialogControl(*settings, IDC_PORT_LIST)->style & kDropDownList);
  EXPECT_FALSE(FindDialogControl(*settings, IDC_PRINTER_LIST)->style & kDropDownList);

  const DialogTemplate* copies = FindDialogTemplate(IDD_COPIES);
  ASSERT_NE(copies, nullptr);
  EXPECT_STREQ(copies->caption, "Number of Copies to Print");
  const DialogControl* spin = FindDialogControl(*copies, IDC_COPIES_SPIN);
  ASSERT_NE(spin, nullptr);
  EXPECT_TRUE((spin->style & kHidden) && (spin->style & kDisabled));
  EXPECT_TRUE(FindDialogControl(*copies, IDC_COPIES_EDIT)->style & kDigitsOnly);

  const DialogTemplate* about = FindDialogTemplate(IDD_ABOUTBOX);
  ASSERT_NE(about, nullptr);
  EXPECT_STREQ(about->caption, "About ");
  EXPECT_NE(FindDialogControl(*about, IDI_MAINFRAME), nullptr);
  EXPECT_EQ(FindDialogTemplate(999), nullptr);
}

TEST(Templates, ControlsLieInsideTheirDialog) {
  for (int id : {IDD_ABOUTBOX, IDD_CURRENT_JOB, IDD_JOB_QUEUE, IDD_SETTINGS, IDD_COPIES}) {
    const DialogTemplate* dlg = FindDialogTemplate(id);
    ASSERT_NE(dlg, nullptr);
    for (const DialogControl& c : dlg->controls) {
      EXPECT_LE(c.x + c.w, dlg->w) << id << " control " << c.id;
      // A drop-down list's rectangle includes its open list, which may reach
      // below the dialog.
      if (c.kind != ControlKind::ComboBox) {
        EXPECT_LE(c.y + c.h, dlg->h) << id << " control " << c.id;
      }
    }
  }
}

TEST(Menu, FileAndHelpWithTheFrameworkCommands) {
  const auto menus = MainMenu();
  ASSERT_EQ(menus.size(), 2u);
  EXPECT_STREQ(menus[0].caption, "&File");
  EXPECT_EQ(menus[0].items[0].command, ID_FILE_OPEN);
  EXPECT_STREQ(menus[0].items[0].text, "&Open...\tCtrl+O");
  EXPECT_EQ(menus[0].items.back().command, ID_APP_EXIT);
  EXPECT_STREQ(menus[1].caption, "&Help");
  EXPECT_EQ(menus[1].items[0].command, ID_APP_ABOUT);
  EXPECT_EQ(menus[1].items[1].command, ID_HELP_INDEX);
  EXPECT_EQ(menus[1].items[2].command, ID_HELP_USING);

  const auto accels = MainAccelerators();
  EXPECT_EQ(accels.size(), 13u);
  int neutralised = 0;
  for (const AccelDef& a : accels)
    if (IsNeutralisedCommand(a.command)) ++neutralised;
  EXPECT_EQ(neutralised, 2);  // Ctrl+N and Ctrl+S
  EXPECT_FALSE(IsNeutralisedCommand(ID_FILE_OPEN));
}

}  // namespace
