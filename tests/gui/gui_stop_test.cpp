// The desktop spooler in queue mode, on a virtual X server, ended while a
// job prints: a close that arrives while the quit question is up is not
// lost, and a SIGHUP (a closing terminal, like SIGTERM and SIGINT) ends the
// question and the program without asking and keeps the whole queue.
// A slow in-process printer keeps the first job running throughout.
// The tests run in order on the GUI thread and share the one application.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/shell/shell.h"
#include "app/shell/startup.h"
#include "app/state/spooler_state.h"
#include "app/wx/main_frame.h"
#include "app/wx/sheet_frame.h"
#include "engine/print_thread.h"
#include "platform/window_messages.h"
#include "queue/settings_store.h"
#include "tests/gui/gui_harness.h"
#include "tests/support/test_support.h"
#include "tools/vprinter/in_process_port.h"

namespace {

constexpr std::size_t kJobBytes = 80000;
constexpr DWORD kPrinterRate = 8000;  // ten seconds for the first job
constexpr int kStartMs = 10000;

kgui::DialogScript* g_dialogs = nullptr;
std::string g_queuePath;
std::string g_queueText;
std::vector<std::string> g_spools;

bool Printing() {
  SpoolerLock lock;
  return g_bPrinting != 0;
}

TEST(EndWhilePrinting, ACloseDuringTheQuitQuestionIsTriedAgainAfterCancel) {
  ASSERT_TRUE(kgui::WaitUntil([] { return kgui::SheetFrame() && kgui::SheetFrame()->IsShown(); },
                              kStartMs));
  ASSERT_TRUE(kgui::WaitUntil([] { return Printing(); }, kStartMs));
  const std::size_t before = g_dialogs->seen().size();
  // While the question is up a second close comes (the run's end, the idle
  // rule); the user cancels the question.
  g_dialogs->AfterShown([](kgui::ShownDialog& question) {
    plat::PostMessage(kgui::MainFrame()->handle(), WM_CLOSE, 0, 0);
    kgui::Pump(200);
    question.Press(wxID_CANCEL);
  });
  // The second close still finds the job printing, so it asks in turn.
  g_dialogs->Answer(wxID_CANCEL);
  kgui::MainFrame()->Close();
  EXPECT_TRUE(kgui::WaitUntil([&] { return g_dialogs->seen().size() == before + 2; }, 5000));
  ASSERT_EQ(g_dialogs->seen().size(), before + 2);
  EXPECT_EQ(g_dialogs->seen()[before + 1].title, "WARNING");
  EXPECT_NE(kgui::MainFrame(), nullptr);
  EXPECT_TRUE(Printing());
  EXPECT_EQ(g_dialogs->unexpected(), 0);
}

TEST(EndWhilePrinting, HangUpEndsTheQuestionAndKeepsTheQueue) {
  ASSERT_TRUE(Printing());
  // The terminal goes while the quit question is up; nobody answers it.
  g_dialogs->AfterShown([](kgui::ShownDialog&) { ::kill(::getpid(), SIGHUP); });
  kgui::MainFrame()->Close();
  ASSERT_TRUE(kgui::WaitUntil([] { return wxTopLevelWindows.empty(); }, 15000));
  EXPECT_FALSE(IsPrintRunAlive());
  EXPECT_EQ(kt::ReadFileBytes(g_queuePath), g_queueText);
  // Every spool file as it was submitted, the interrupted one's too.
  for (std::size_t i = 0; i < g_spools.size(); ++i)
    EXPECT_EQ(kt::ReadFileBytes(g_spools[i]).size(), kJobBytes) << i;
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
  EXPECT_EQ(g_dialogs->unexpected(), 0);
}

}  // namespace

int main(int argc, char** argv) {
  // As the program's own start does, before any thread exists.
  app::TakeStopSignalsUntilExit();
  testing::InitGoogleTest(&argc, argv);
  kt::TempHome home;
  home.InstallKey();
  for (const char* name : {"A", "B", "C"}) {
    const std::string spool = home.File(std::string("spool") + name + ".prn");
    kt::WriteFileBytes(spool, std::string(kJobBytes, name[0]));
    g_spools.push_back(spool);
    if (!g_queueText.empty()) g_queueText += "\r\n";
    g_queueText += std::string(name) + "\r\nLPT1:\r\n1\r\nVORNA Tamrel\r\nYMCKO\r\n" + spool +
                   "\r\n";
  }
  g_queuePath = home.File("queue.txt");
  kt::WriteFileBytes(g_queuePath, g_queueText);

  vprinter::VirtualPrinter printer;
  printer.SetRate(kPrinterRate);
  printer.SetKeepOutput(false);
  vprinter::InProcessPortOpener opener;
  opener.Attach("LPT1:", printer);
  vprinter::ScopedPortOpener useOpener(opener);
  kgui::DialogScript dialogs;
  g_dialogs = &dialogs;
  return kgui::RunApplicationWithTests(argc, argv, {"kelvane", "-f", g_queuePath});
}
