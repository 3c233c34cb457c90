// The names the driver gives its spool files: the unfinished name and the
// search for a whole file's own name, with a scripted rename. Main thread.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/spool_guard.h"
#include "platform/spool_names.h"

namespace {

constexpr int kTaken = 17;
constexpr int kRefused = 13;

// A rename that fails with the given errors in turn, then succeeds.
struct ScriptedRename {
  explicit ScriptedRename(std::vector<int> errors = {}) : failures(std::move(errors)) {}
  std::vector<int> failures;
  std::vector<std::string> tried;
  bool operator()(const std::string&, const std::string& to, int& error) {
    tried.push_back(to);
    if (tried.size() > failures.size()) return true;
    error = failures[tried.size() - 1];
    return false;
  }
};

bool IsTaken(int error) { return error == kTaken; }

// A spool file's path as the driver writes it on this system.
const std::string kSpoolFile = plat::JoinPath("spool", "KLV~abcdef");

TEST(SpoolNames, UnfinishedNamesCarryTheWriterAfterTheMark) {
  EXPECT_EQ(plat::UnfinishedSuffixOf(4711), std::string(plat::kUnfinishedSpoolSuffix) + "4711");
  const std::string suffix = plat::RandomSpoolSuffix();
  EXPECT_EQ(suffix.size(), 6u);
  EXPECT_EQ(suffix.find_first_not_of(
                "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"),
            std::string::npos);
}

TEST(SpoolNames, AWholeFileTakesItsNameLessTheMarkOrANewOneWhenTaken) {
  const std::string suffix = plat::UnfinishedSuffixOf(42);
  const std::string unfinished = kSpoolFile + suffix;
  std::string lastTried;
  int error = 0;

  ScriptedRename first;
  EXPECT_EQ(plat::NameFinishedSpoolFile(unfinished, suffix, "spool", std::ref(first), IsTaken,
                                          lastTried, error),
            kSpoolFile);

  ScriptedRename taken({kTaken});
  const std::string other = plat::NameFinishedSpoolFile(unfinished, suffix, "spool",
                                                          std::ref(taken), IsTaken, lastTried,
                                                          error);
  ASSERT_EQ(taken.tried.size(), 2u);
  EXPECT_EQ(taken.tried[0], kSpoolFile);
  EXPECT_EQ(other, taken.tried[1]);
  EXPECT_EQ(other.rfind(kSpoolFile.substr(0, kSpoolFile.size() - 6), 0), 0u);
  EXPECT_EQ(other.size(), kSpoolFile.size());
}

TEST(SpoolNames, AnotherFailureStopsTheSearchWithItsError) {
  const std::string suffix = plat::UnfinishedSuffixOf(42);
  std::string lastTried;
  int error = 0;
  ScriptedRename refused({kTaken, kRefused});
  EXPECT_EQ(plat::NameFinishedSpoolFile(kSpoolFile + suffix, suffix, "spool",
                                          std::ref(refused), IsTaken, lastTried, error),
            "");
  EXPECT_EQ(refused.tried.size(), 2u);
  EXPECT_EQ(lastTried, refused.tried[1]);
  EXPECT_EQ(error, kRefused);
}

}  // namespace
