// The driver stand-in's parts that differ by operating system: the command
// line a Windows spooler is started with, the spool files' guard, a
// submission's record in the queue file, and what installation adds to the
// printer list.
// Test thread only.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/printers.h"
#include "platform/profile.h"
#include "platform/single_instance.h"
#include "tests/support/test_support.h"
#include "platform/command_line.h"
#include "tools/driver/driver_ops.h"
#include "platform/process.h"
#include "platform/spool_guard.h"

namespace {

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    names.push_back(entry.path().filename().string());
  return names;
}

TEST(DriverCommandLine, WordsComeBackWholeUnderTheRuntimesRules) {
  EXPECT_EQ(plat::QuoteArgument("-f"), "-f");
  EXPECT_EQ(plat::QuoteArgument(""), "\"\"");
  EXPECT_EQ(plat::QuoteArgument("C:\\Program Files\\q.txt"), "\"C:\\Program Files\\q.txt\"");
  // Backslashes count only before a quote, the closing one included.
  EXPECT_EQ(plat::QuoteArgument("a b\\"), "\"a b\\\\\"");
  EXPECT_EQ(plat::QuoteArgument("say \"hi\""), "\"say \\\"hi\\\"\"");
  EXPECT_EQ(plat::QuoteArgument("x\\\"y"), "\"x\\\\\\\"y\"");
  EXPECT_EQ(plat::QuoteArgument("C:\\dir\\"), "C:\\dir\\");
  EXPECT_EQ(plat::JoinCommandLine("C:\\k\\kelvane-headless.exe",
                                    {"--on-fault=retry=30", "-f", "Z:\\tmp\\a b\\queue.txt"}),
            "C:\\k\\kelvane-headless.exe --on-fault=retry=30 -f \"Z:\\tmp\\a b\\queue.txt\"");
}

TEST(DriverSpoolGuard, AFileIsWholeUnderItsOwnNameAndGoesUnlessCommitted) {
  kt::TempHome home;
  const std::string folder = home.File("spool");
  std::filesystem::create_directories(folder);
  const std::string source = home.File("page.bin");
  std::string bytes(70000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 256);
  kt::WriteFileBytes(source, bytes);

  std::string kept;
  {
    plat::SpoolGuard guard;
    std::string error;
    const std::string dropped = guard.CopyIn(source, folder, error);
    ASSERT_FALSE(dropped.empty()) << error;
    EXPECT_EQ(kt::ReadFileBytes(dropped), bytes);
    // Finished files carry no unfinished suffix.
    EXPECT_EQ(FilesIn(folder), std::vector<std::string>{dropped.substr(folder.size() + 1)});
    guard.RemoveAll();
    EXPECT_FALSE(kt::FileExists(dropped));

    kept = guard.CopyIn(source, folder, error);
    ASSERT_FALSE(kept.empty()) << error;
    const std::string missing = guard.CopyIn(home.File("nothing-here"), folder, error);
    EXPECT_TRUE(missing.empty());
    EXPECT_NE(error.find("nothing-here"), std::string::npos) << error;
    guard.HoldSignals();
    guard.Commit();
  }
  EXPECT_EQ(kt::ReadFileBytes(kept), bytes);
  EXPECT_EQ(FilesIn(folder).size(), 1u);
  {
    plat::SpoolGuard guard;
    std::string error;
    ASSERT_FALSE(guard.CopyIn(source, folder, error).empty()) << error;
  }  // ends uncommitted
  EXPECT_EQ(FilesIn(folder).size(), 1u);
}

TEST(DriverSubmit, AppendsOneRecordNamingWholeSpoolCopies) {
  kt::TempHome home;
  kt::WriteFileBytes(home.File("a.txt"), "first\r\n");
  kt::WriteFileBytes(home.File("b.txt"), "second");
  // A queue file whose last record lost its closing empty line.
  const std::string oldSpool = home.File("KLV~old");  // a full path on every system
  kt::WriteFileBytes(home.File("queue.txt"), "old\r\nLPT1:\r\n1\r\n" + oldSpool + "\r\n");
  driver::JobSpec job;
  job.queueFile = home.File("queue.txt");
  job.name = "Two pages";
  job.copies = 2;
  job.files = {home.File("a.txt"), home.File("b.txt")};
  std::string used;
  const driver::Outcome outcome = driver::Submit(job, &used);
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(used, job.queueFile);

  const std::string queue = kt::ReadFileBytes(job.queueFile);
  const std::string head = "old\r\nLPT1:\r\n1\r\n" + oldSpool +
                           "\r\n\r\nTwo pages\r\nLPT1:\r\n2\r\nVORNA Tamrel\r\nStandard\r\n";
  ASSERT_EQ(queue.compare(0, head.size(), head), 0) << queue;
  std::vector<std::string> spoolLines;
  std::size_t at = head.size();
  while (at < queue.size()) {
    const std::size_t end = queue.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << queue;
    spoolLines.push_back(queue.substr(at, end - at));
    at = end + 2;
  }
  ASSERT_EQ(spoolLines.size(), 2u);
  // In the spool folder, written as the system writes paths (on Windows
  // with backslashes only, as the home is given).
  EXPECT_EQ(spoolLines[0].rfind(plat::JoinPath(home.path(), "spool/KLV~"), 0), 0u)
      << spoolLines[0];
  EXPECT_EQ(kt::ReadFileBytes(spoolLines[0]), "first\r\n");
  EXPECT_EQ(kt::ReadFileBytes(spoolLines[1]), "second");
  EXPECT_EQ(FilesIn(driver::SpoolDirectory()).size(), 2u);
}

// A queue path typed wrong names a file of the user's: the submit fails,
// says why, adds nothing to it and leaves no spool file behind.
TEST(DriverSubmit, AFileThatIsNoQueueIsNotAppendedTo) {
  kt::TempHome home;
  kt::WriteFileBytes(home.File("a.txt"), "card");
  const std::string notes = "Shopping\r\nmilk\r\nbread\r\n";
  kt::WriteFileBytes(home.File("notes.txt"), notes);
  driver::JobSpec job;
  job.queueFile = home.File("notes.txt");
  job.files = {home.File("a.txt")};
  const driver::Outcome outcome = driver::Submit(job, nullptr);
  EXPECT_FALSE(outcome.ok);
  EXPECT_NE(outcome.error.find("is not a print queue"), std::string::npos) << outcome.error;
  EXPECT_EQ(kt::ReadFileBytes(job.queueFile), notes);
  EXPECT_TRUE(FilesIn(driver::SpoolDirectory()).empty());
}

// On Windows [devices] is the user's real printer list: printers that are
// not installed stay out of it. Only our stand-in list gets them.
TEST(DriverInstall, AddsPrintersOnlyToAStandInPrinterList) {
  kt::TempHome home;
  const auto before = plat::GetProfileSection("devices");
  const driver::Outcome outcome = driver::Install();
  ASSERT_TRUE(outcome.ok) << outcome.error;
  const auto after = plat::GetProfileSection("devices");
  if (plat::IsPrinterListInProfile()) {
    EXPECT_EQ(plat::GetProfileString("devices", "VORNA Tamrel", ""), "kelvane,LPT1:");
    EXPECT_EQ(plat::GetProfileString("devices", "Tovrel", ""), "kelvane,LPT1:");
  } else {
    EXPECT_EQ(after, before);
    EXPECT_EQ(plat::GetProfileString("devices", "VORNA Tamrel", "none"), "none");
  }
  // Installation still sets up what the spooler and the driver share.
  EXPECT_EQ(plat::GetProfileString(plat::kHandshakeSection, "InkType", ""), "0");
}

TEST(DriverOps, SeparatorBeforeEndsThePreviousRecordOnce) {
  const std::string record = "old\r\nLPT1:\r\n1\r\nC:/x/KLV~old\r\n";
  EXPECT_EQ(driver::SeparatorBefore(""), "");
  EXPECT_EQ(driver::SeparatorBefore(record), "\r\n");
  EXPECT_EQ(driver::SeparatorBefore(record + "\r\n"), "");
  EXPECT_EQ(driver::SeparatorBefore("old\r\nLPT1"), "\r\n\r\n");
  // The spooler's removals in place leave empty lines before the head
  // record: behind records they change nothing, alone they are no record.
  EXPECT_EQ(driver::SeparatorBefore("\n\n\n" + record), "\r\n");
  EXPECT_EQ(driver::SeparatorBefore("\n\n\n"), "");
  EXPECT_EQ(driver::SeparatorBefore("\n\n\r\n"), "");
}

TEST(DriverProcess, FindsItselfAndNamesProgramsAsTheSystemDoes) {
  const std::string dir = plat::ProgramDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_TRUE(std::filesystem::is_directory(dir)) << dir;
  const std::string name = plat::ExecutableName("kelvane-headless");
  EXPECT_EQ(name.rfind("kelvane-headless", 0), 0u);
  EXPECT_FALSE(plat::IsExecutable(dir));
  EXPECT_FALSE(plat::IsExecutable(dir + "/no-such-program"));
}

}  // namespace
