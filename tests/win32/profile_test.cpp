// The profile on Windows: entries written and read through the system's
// profile calls land in the user's win.ini, where the driver reads them.
// Test thread.
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/files.h"
#include "platform/win32/windows_api.h"

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    section_ = "KelvaneTest" + std::to_string(::GetCurrentProcessId());
  }
  // The whole section goes.
  void TearDown() override { ::WriteProfileStringA(section_.c_str(), nullptr, nullptr); }

  static std::string WinIniText() {
    char folder[MAX_PATH] = {};
    ::GetWindowsDirectoryA(folder, MAX_PATH);
    std::ifstream in(std::string(folder) + "\\win.ini", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string section_;
};

TEST_F(ProfileTest, AnEntryWrittenIsReadBackAndStandsInWinIni) {
  ASSERT_TRUE(plat::WriteProfileString(section_, "SpoolerHwnd", "-131072"));
  EXPECT_EQ(plat::GetProfileString(section_, "SpoolerHwnd", "none"), "-131072");
  EXPECT_EQ(plat::GetProfileString(section_, "spoolerhwnd", "none"), "-131072");
  const std::string ini = WinIniText();
  EXPECT_NE(ini.find("[" + section_ + "]"), std::string::npos) << ini;
  EXPECT_NE(ini.find("SpoolerHwnd=-131072"), std::string::npos) << ini;
}

TEST_F(ProfileTest, AMissingEntryGivesTheFallback) {
  EXPECT_EQ(plat::GetProfileString(section_, "InkType", "unknown"), "unknown");
  ASSERT_TRUE(plat::WriteProfileString(section_, "BlackLevel", "40"));
  EXPECT_EQ(plat::GetProfileString(section_, "InkType", ""), "");
}

TEST_F(ProfileTest, ALongValueComesBackWhole) {
  std::string value;
  for (int i = 0; i < 200; ++i) value += std::to_string(i % 10) + "abc";
  ASSERT_TRUE(plat::WriteProfileString(section_, "Long", value));
  EXPECT_EQ(plat::GetProfileString(section_, "Long", ""), value);
}

TEST_F(ProfileTest, ASectionListsItsEntriesInFileOrder) {
  ASSERT_TRUE(plat::WriteProfileString(section_, "LPT1:", "on"));
  ASSERT_TRUE(plat::WriteProfileString(section_, "COM1:", "9600,n,8,1"));
  ASSERT_TRUE(plat::WriteProfileString(section_, "FILE:", ""));
  const auto entries = plat::GetProfileSection(section_);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], (std::pair<std::string, std::string>("LPT1:", "on")));
  EXPECT_EQ(entries[1], (std::pair<std::string, std::string>("COM1:", "9600,n,8,1")));
  EXPECT_EQ(entries[2], (std::pair<std::string, std::string>("FILE:", "")));
  EXPECT_TRUE(plat::GetProfileSection(section_ + "Missing").empty());
}

TEST_F(ProfileTest, LineBreaksInNamesOrValuesAreRefused) {
  EXPECT_FALSE(plat::WriteProfileString(section_, "Key", "one\r\nPlanted=1"));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(plat::WriteProfileString(section_, "Key\nPlanted", "1"));
  EXPECT_FALSE(plat::WriteProfileString(section_ + "]\n[Other", "Key", "1"));
  EXPECT_TRUE(plat::GetProfileSection(section_).empty());
  EXPECT_EQ(WinIniText().find("Planted"), std::string::npos);
}

}  // namespace
