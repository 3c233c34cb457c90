// The recent-file list in kelvane.ini: plain INI text, the toolkit's older
// escaped files still read, and a save that rewrites such a file plainly.
#include <gtest/gtest.h>

#include "app/shell/recent_files.h"
#include "tests/support/test_support.h"

namespace {

TEST(RecentFiles, ArePlainIniMostRecentFirst) {
  const std::string ini = app::WithRecentFiles("", {"C:\\test\\b.prn", "/home/u/a b.prn"});
  EXPECT_EQ(ini, "[Recent File List]\r\nFile1=C:\\test\\b.prn\r\nFile2=/home/u/a b.prn\r\n");
  EXPECT_EQ(app::ParseRecentFiles(ini, 4),
            (std::vector<std::string>{"C:\\test\\b.prn", "/home/u/a b.prn"}));
  EXPECT_EQ(app::ParseRecentFiles(ini, 1), (std::vector<std::string>{"C:\\test\\b.prn"}));
}

TEST(RecentFiles, OlderEscapedFilesAreReadAndRewrittenPlainly) {
  // As the toolkit's configuration files wrote the list before.
  const std::string old =
      "[Recent\\ File\\ List]\nFile1=C:\\\\test\\\\queue \\\"x\\\".prn\n"
      "File2=\" /tmp/lead.prn\"\nFile3=/home/u/c.prn\n";
  EXPECT_EQ(app::ParseRecentFiles(old, 4),
            (std::vector<std::string>{"C:\\test\\queue \"x\".prn", " /tmp/lead.prn",
                                      "/home/u/c.prn"}));
  EXPECT_EQ(app::WithRecentFiles(old, {"C:\\test\\a.prn"}),
            "[Recent File List]\r\nFile1=C:\\test\\a.prn\r\n");
}

TEST(RecentFiles, ASaveReplacesTheListAndKeepsOtherSections) {
  const std::string ini = "[Other]\r\nk=v\r\n[Recent File List]\r\nFile1=old\r\nFile2=older\r\n";
  EXPECT_EQ(app::WithRecentFiles(ini, {"new"}),
            "[Other]\r\nk=v\r\n[Recent File List]\r\nFile1=new\r\n");
  EXPECT_EQ(app::WithRecentFiles(ini, {}), "[Other]\r\nk=v\r\n");
}

TEST(RecentFiles, LiveInTheirFile) {
  kt::TempHome home;
  const std::string path = home.File("kelvane.ini");
  EXPECT_TRUE(app::LoadRecentFiles(path, 4).empty());
  ASSERT_TRUE(app::SaveRecentFiles(path, {"C:\\test\\one.prn"}));
  EXPECT_EQ(kt::ReadFileBytes(path), "[Recent File List]\r\nFile1=C:\\test\\one.prn\r\n");
  EXPECT_EQ(app::LoadRecentFiles(path, 4), (std::vector<std::string>{"C:\\test\\one.prn"}));
}

}  // namespace
