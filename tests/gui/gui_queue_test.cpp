// The desktop spooler started by the driver ("-f" and a queue file), on a
// virtual X server: three tabs, the job list with its status words (also
// while paused), the read-only Settings page, and Delete All Jobs, which
// goes through the quit question and purges the queue; the main window's
// status bar while the printer is out of paper. A slow in-process
// printer keeps the first job running throughout.
// The tests run in order on the GUI thread and share the one application.
#include <gtest/gtest.h>

#include <wx/choice.h>
#include <wx/combobox.h>
#include <wx/listctrl.h>
#include <wx/statusbr.h>

#include <string>
#include <vector>

#include "app/state/spooler_state.h"
#include "app/wx/main_frame.h"
#include "app/wx/sheet_frame.h"
#include "engine/print_thread.h"
#include "pages/wx/current_job_page.h"
#include "pages/wx/queue_page.h"
#include "pages/wx/settings_page.h"
#include "res/dialog_templates.h"
#include "tests/gui/gui_harness.h"
#include "tests/support/test_support.h"
#include "tools/vprinter/in_process_port.h"

namespace {

constexpr std::size_t kJobBytes = 80000;
constexpr DWORD kPrinterRate = 8000;  // ten seconds for the first job
constexpr int kStartMs = 10000;

kt::TempHome* g_home = nullptr;
kgui::DialogScript* g_dialogs = nullptr;
vprinter::VirtualPrinter* g_printer = nullptr;
std::string g_queuePath;

std::string Record(const std::string& name, const std::string& spool) {
  return name + "\r\nLPT1:\r\n1\r\nVORNA Tamrel\r\nYMCKO\r\n" + spool + "\r\n";
}

bool Printing() {
  SpoolerLock lock;
  return g_bPrinting != 0;
}

std::vector<std::string> ListRows() {
  std::vector<std::string> rows;
  CQueuePage* page = kgui::Sheet() ? kgui::Sheet()->queuePage() : nullptr;
  auto* list = page ? dynamic_cast<wxListCtrl*>(page->Control(IDC_JOB_LIST)) : nullptr;
  if (list == nullptr) return rows;
  for (long i = 0; i < list->GetItemCount(); ++i)
    rows.push_back((list->GetItemText(i, 0) + " " + list->GetItemText(i, 1)).ToStdString());
  return rows;
}

TEST(QueueMode, ThreeTabsAndTheFirstJobPrints) {
  ASSERT_TRUE(kgui::WaitUntil([] { return kgui::SheetFrame() && kgui::SheetFrame()->IsShown(); },
                              kStartMs));
  EXPECT_EQ(kgui::TabCaptions(),
            (std::vector<std::string>{"Current Job", "Job Queue", "Settings"}));
  ASSERT_TRUE(kgui::WaitUntil([] { return Printing(); }, kStartMs));
  CCurrentJobPage* job = kgui::Sheet()->currentJobPage();
  job->RefreshFromState();
  EXPECT_FALSE(job->Control(IDC_PRINT)->IsEnabled());
  EXPECT_TRUE(job->Control(IDC_PAUSE)->IsEnabled());
  EXPECT_EQ(kgui::LabelOf(job->Control(IDC_STATUS_LINE)), "Copy 1 of 1");
  ASSERT_FALSE(kgui::SaveScreenshot(kgui::SheetFrame(), "queue_current_job").empty());
}

TEST(QueueMode, JobListShowsPrintingQueuedAndPaused) {
  kgui::SelectTab(1);
  CQueuePage* page = kgui::Sheet()->queuePage();
  ASSERT_NE(page, nullptr);
  ASSERT_TRUE(page->initialised());
  EXPECT_FALSE(page->Control(IDC_DELETE_JOB)->IsShown());
  EXPECT_FALSE(page->Control(IDC_PAUSE_JOB)->IsShown());
  page->RebuildList();
  EXPECT_TRUE(kgui::WaitUntil([] { return ListRows().size() == 3; }, 3000));
  EXPECT_EQ(ListRows(), (std::vector<std::string>{"A Printing", "B Queued", "C Queued"}));
  EXPECT_TRUE(page->Control(IDC_DELETE_ALL)->IsEnabled());
  ASSERT_FALSE(kgui::SaveScreenshot(kgui::SheetFrame(), "queue_job_list").empty());

  // Pause from the Current Job page; the first row says so.
  kgui::SelectTab(0);
  g_dialogs->Answer(wxID_OK);
  kgui::Click(kgui::Sheet()->currentJobPage()->Control(IDC_PAUSE));
  ASSERT_TRUE(kgui::WaitUntil([] { return IsPrintThreadPaused(); }, 5000));
  kgui::SelectTab(1);
  page->RebuildList();
  EXPECT_EQ(ListRows().front(), "A Paused");

  kgui::SelectTab(0);
  kgui::Click(kgui::Sheet()->currentJobPage()->Control(IDC_PAUSE));
  EXPECT_TRUE(kgui::WaitUntil([] { return !IsPrintThreadPaused(); }, 5000));
  kgui::SelectTab(1);
  page->RebuildList();
  EXPECT_EQ(ListRows().front(), "A Printing");
}

std::string MessagePane() {
  wxStatusBar* bar = kgui::MainFrame() ? kgui::MainFrame()->GetStatusBar() : nullptr;
  return bar ? bar->GetStatusText(0).ToStdString(wxConvUTF8) : std::string();
}

// Paper runs out in the middle of a block: the write is retried until it
// is back, and before, nothing but a stopped progress bar said why.
TEST(QueueMode, StatusBarAndFirstRowSayThePrinterIsOutOfPaper) {
  EXPECT_EQ(MessagePane(), "Ready");
  // Half way into the next block, so the wait starts inside a write (at a
  // block's start the flag would be a fault with its box instead).
  const std::uint64_t now = g_printer->totalAccepted();
  g_printer->SetStateAtTotalBytes((now / 2048 + 1) * 2048 + 1000,
                                  vprinter::PrinterState::OutOfPaper);
  ASSERT_TRUE(kgui::WaitUntil(
      [] { return MessagePane().rfind("Printer out of paper: waiting since ", 0) == 0; }, 10000))
      << MessagePane();
  EXPECT_EQ(MessagePane().size(), std::string("Printer out of paper: waiting since 14:02:11").size());
  kgui::SelectTab(1);
  kgui::Sheet()->queuePage()->RebuildList();
  EXPECT_TRUE(kgui::WaitUntil([] { return !ListRows().empty(); }, 3000));
  EXPECT_EQ(ListRows().front(), "A Out of paper");
  kgui::SelectTab(0);
  kgui::Pump(200);
  ASSERT_FALSE(kgui::SaveScreenshot(kgui::MainFrame(), "status_bar_out_of_paper").empty());

  g_printer->SetState(vprinter::PrinterState::Ready);
  EXPECT_TRUE(kgui::WaitUntil([] { return MessagePane() == "Ready"; }, 10000)) << MessagePane();
  kgui::SelectTab(1);
  kgui::Sheet()->queuePage()->RebuildList();
  EXPECT_EQ(ListRows().front(), "A Printing");
  EXPECT_TRUE(Printing());
  EXPECT_EQ(g_dialogs->unexpected(), 0);
}

TEST(QueueMode, SettingsShowTheJobsPortAndPrinterReadOnly) {
  kgui::SelectTab(2);
  CSettingsPage* page = kgui::Sheet()->settingsPage();
  ASSERT_TRUE(page->initialised());
  auto* ports = dynamic_cast<wxChoice*>(page->Control(IDC_PORT_LIST));
  ASSERT_EQ(ports->GetCount(), 1u);
  EXPECT_EQ(ports->GetString(0), "LPT1:");
  EXPECT_EQ(ports->GetSelection(), 0);
  EXPECT_FALSE(ports->IsEnabled());
  auto* printers = dynamic_cast<wxComboBox*>(page->Control(IDC_PRINTER_LIST));
  ASSERT_EQ(printers->GetCount(), 1u);
  EXPECT_EQ(printers->GetString(0), "VORNA Tamrel");
  EXPECT_FALSE(printers->IsEnabled());
  ASSERT_FALSE(kgui::SaveScreenshot(kgui::SheetFrame(), "queue_settings").empty());
}

TEST(QueueMode, DeleteAllJobsAsksTwiceThenPurgesAndCloses) {
  kgui::SelectTab(1);
  ASSERT_TRUE(Printing());
  // Cancel to the warning changes nothing.
  g_dialogs->Answer(wxID_CANCEL);
  kgui::Click(kgui::Sheet()->queuePage()->Control(IDC_DELETE_ALL));
  kgui::Pump(300);
  ASSERT_NE(kgui::MainFrame(), nullptr);
  EXPECT_EQ(g_dialogs->seen().back().text,
            "Warning:  All jobs will be lost, including the currently printing job.");

  // OK to the warning, OK to the quit question: the spooler ends.
  g_dialogs->Answer(wxID_OK);
  g_dialogs->Answer(wxID_OK);
  const std::size_t before = g_dialogs->seen().size();
  kgui::Click(kgui::Sheet()->queuePage()->Control(IDC_DELETE_ALL));
  ASSERT_TRUE(kgui::WaitUntil([] { return wxTopLevelWindows.empty(); }, 15000));
  ASSERT_EQ(g_dialogs->seen().size(), before + 2);
  EXPECT_EQ(g_dialogs->seen()[before + 1].title, "WARNING");
  EXPECT_EQ(g_dialogs->seen()[before + 1].text,
            "Do you really want to quit?\nAll print jobs will stop and will be lost.");
  EXPECT_FALSE(IsPrintRunAlive());
  EXPECT_EQ(kt::ReadFileBytes(g_queuePath), "");
  EXPECT_EQ(g_dialogs->unexpected(), 0);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  kt::TempHome home;
  home.InstallKey();
  g_home = &home;
  std::string queue;
  for (const char* name : {"A", "B", "C"}) {
    const std::string spool = home.File(std::string("spool") + name + ".prn");
    kt::WriteFileBytes(spool, std::string(kJobBytes, name[0]));
    if (!queue.empty()) queue += "\r\n";
    queue += Record(name, spool);
  }
  g_queuePath = home.File("queue.txt");
  kt::WriteFileBytes(g_queuePath, queue);

  vprinter::VirtualPrinter printer;
  printer.SetRate(kPrinterRate);
  printer.SetKeepOutput(false);
  g_printer = &printer;
  vprinter::InProcessPortOpener opener;
  opener.Attach("LPT1:", printer);
  vprinter::ScopedPortOpener useOpener(opener);
  kgui::DialogScript dialogs;
  g_dialogs = &dialogs;
  return kgui::RunApplicationWithTests(argc, argv, {"kelvane", "-f", g_queuePath});
}
