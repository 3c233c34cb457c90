// Profile (win.ini): reading with trimmed values and case-blind names,
// editing that keeps every other line, the file operations, and the
// [devices] printer list.
// Test thread and forked children.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/home.h"
#include "platform/printers.h"
#include "platform/profile.h"
#include "tests/support/test_support.h"

namespace {

const char kIni[] =
    "; written by hand\r\n"
    "[windows]\r\n"
    "load=\r\n"
    "[Tovrel]\r\n"
    "  SpoolerHwnd = 1234  \r\n"
    "InkType=\t2\r\n"
    "not an entry\r\n"
    "\r\n"
    "[devices]\r\n"
    "VORNA Cantella=vorncant,LPT1:\r\n";

TEST(IniText, ReadsTrimmedValuesWithoutRegardToCase) {
  EXPECT_EQ(plat::GetIniString(kIni, "tovrel", "spoolerhwnd", "none"), "1234");
  EXPECT_EQ(plat::GetIniString(kIni, "TOVREL", "InkType", "none"), "2");
  EXPECT_EQ(plat::GetIniString(kIni, "Tovrel", "BlackLevel", "none"), "none");
  EXPECT_EQ(plat::GetIniString(kIni, "Missing", "InkType", "fb"), "fb");
  EXPECT_EQ(plat::GetIniString(kIni, "windows", "load", "fb"), "");
  EXPECT_EQ(plat::GetIniString("", "a", "b", "fb"), "fb");
  // Keys of one section do not leak into the next.
  EXPECT_EQ(plat::GetIniString(kIni, "devices", "InkType", "fb"), "fb");
  auto section = plat::GetIniSection(kIni, "TOVREL");
  ASSERT_EQ(section.size(), 2u);
  EXPECT_EQ(section[0], (std::pair<std::string, std::string>("SpoolerHwnd", "1234")));
  EXPECT_EQ(section[1], (std::pair<std::string, std::string>("InkType", "2")));
}

TEST(IniText, ReplacesOneLineAndKeepsTheRest) {
  std::string out = plat::SetIniString(kIni, "TOVREL", "spoolerHWND", "99");
  std::string want = kIni;
  want.replace(want.find("  SpoolerHwnd = 1234  "), 22, "SpoolerHwnd=99");
  EXPECT_EQ(out, want);
}

TEST(IniText, AddsKeyToSectionOrSectionAtTheEnd) {
  std::string out = plat::SetIniString(kIni, "Tovrel", "BlackLevel", "40");
  std::string want = kIni;
  want.insert(want.find("\r\n\r\n[devices]") + 2, "BlackLevel=40\r\n");
  EXPECT_EQ(out, want);

  out = plat::SetIniString(kIni, "New", "k", "v");
  EXPECT_EQ(out, std::string(kIni) + "[New]\r\nk=v\r\n");
  // An LF-only file keeps its line breaks; a missing last break is added.
  EXPECT_EQ(plat::SetIniString("[a]\nx=1", "a", "y", "2"), "[a]\nx=1\ny=2\n");
  EXPECT_EQ(plat::SetIniString("", "s", "k", "v"), "[s]\r\nk=v\r\n");
}

TEST(IniText, RemovesEveryEntryOfAKeyInThatSectionOnly) {
  const std::string ini = "[ports]\r\nLPT1:=a\r\n; LPT1:=comment\r\nlpt1:=b\nLPT2=c\r\n"
                          "[other]\r\nLPT1:=kept\r\n[PORTS]\r\nLpt1: = d";
  EXPECT_EQ(plat::RemoveIniString(ini, "Ports", "LPT1:"),
            "[ports]\r\n; LPT1:=comment\r\nLPT2=c\r\n[other]\r\nLPT1:=kept\r\n[PORTS]\r\n");
  EXPECT_EQ(plat::RemoveIniString(ini, "ports", "LPT9"), ini);
}

TEST(IniText, RemovesEverySectionOfThatNameWithItsLines) {
  const std::string ini = "top=1\r\n[Old]\r\nFile1=a\r\n\r\n[keep]\nk=v\n[old]\r\nx=y";
  EXPECT_EQ(plat::RemoveIniSection(ini, "OLD"), "top=1\r\n[keep]\nk=v\n");
  EXPECT_EQ(plat::RemoveIniSection(ini, "none"), ini);
}

TEST(IniText, RefusesNamesAndValuesThatWouldPlantLines) {
  const std::string ini = "[a]\r\nx=1\r\n";
  EXPECT_EQ(plat::SetIniString(ini, "a", "k=v", "1"), ini);
  EXPECT_EQ(plat::SetIniString(ini, "a]", "k", "1"), ini);
  EXPECT_EQ(plat::SetIniString(ini, "a", "", "1"), ini);
  std::string out = plat::SetIniString(ini, "a", "x", "2\r\n[evil]\r\ny=3");
  EXPECT_EQ(out, "[a]\r\nx=2\r\n");
  EXPECT_EQ(plat::GetIniString(out, "evil", "y", "none"), "none");
}

TEST(Profile, WriteCreatesThePrivateFileAndReadsBack) {
  kt::TempHome home;
  EXPECT_EQ(plat::GetProfileString("Tovrel", "SpoolerHwnd", "0"), "0");
  ASSERT_TRUE(plat::WriteProfileString("Tovrel", "SpoolerHwnd", "4660"));
  EXPECT_EQ(plat::GetProfileString("tovrel", "spoolerhwnd", "0"), "4660");
  ASSERT_TRUE(plat::WriteProfileString("Tovrel", "InkType", "1"));
  EXPECT_EQ(kt::ReadFileBytes(plat::ProfilePath()),
            "[Tovrel]\r\nSpoolerHwnd=4660\r\nInkType=1\r\n");
  struct stat st {};
  ASSERT_EQ(stat(plat::ProfilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
  EXPECT_FALSE(plat::WriteProfileString("Tovrel", "x", "a\nb"));
  EXPECT_EQ(plat::GetProfileSection("TOVREL").size(), 2u);
}

TEST(Profile, ConcurrentWritersInTwoProcessesLoseNothing) {
  kt::TempHome home;
  constexpr int kRounds = 40;
  pid_t pids[2];
  for (int p = 0; p < 2; ++p) {
    pids[p] = fork();
    ASSERT_GE(pids[p], 0);
    if (pids[p] == 0) {
      for (int i = 0; i < kRounds; ++i)
        if (!plat::WriteProfileString("S" + std::to_string(p), "k" + std::to_string(i),
                                      std::to_string(i)))
          _exit(1);
      _exit(0);
    }
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int p = 0; p < 2; ++p)
    EXPECT_EQ(plat::GetProfileSection("S" + std::to_string(p)).size(),
              static_cast<std::size_t>(kRounds));
}

TEST(Printers, DevicesWithoutACommaAreSkipped) {
  kt::TempHome home;
  kt::WriteFileBytes(plat::ProfilePath(),
                     "[devices]\nA=drv, LPT2: \nB=nocomma\nC=d,\\\\srv\\q,extra\n");
  std::vector<plat::InstalledPrinter> list;
  ASSERT_TRUE(plat::ListInstalledPrinters(list));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].printerName, "A");
  EXPECT_EQ(list[0].portName, "LPT2:");
  EXPECT_EQ(list[1].printerName, "C");
  EXPECT_EQ(list[1].portName, "\\\\srv\\q,extra");

  struct Fixed : plat::PrinterSource {
    bool List(std::vector<plat::InstalledPrinter>& out) override {
      out.push_back({"X", "LPT9:"});
      return true;
    }
  } fixed;
  plat::SetPrinterSource(&fixed);
  ASSERT_TRUE(plat::ListInstalledPrinters(list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].printerName, "X");
  plat::SetPrinterSource(nullptr);
}

}  // namespace
