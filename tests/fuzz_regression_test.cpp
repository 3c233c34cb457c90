// Replays every fuzz seed (fuzz/corpus/<target>/) and every fuzz finding
// (fuzz/regressions/<target>/) through the fuzz targets' own entry
// functions, so that an ordinary build keeps them passing without clang or
// libFuzzer. A finding kept under a name starting with "open-" is a fault
// not mended yet: it must still make its target fail (a death test), so
// that its mending is noticed and the file renamed.
// Test thread (the command channel target runs its own server thread).
#include <gtest/gtest.h>

// Everything the fuzz sources include, before they are pulled into their
// namespaces below (a header included first is not read again there).
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "engine/printer_commands.h"
#include "engine/printer_status.h"
#include "platform/command_channel.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "queue/queue_file.h"

// Each target under its own name, so that the four entry points and their
// private helpers live side by side in this one program.
#define LLVMFuzzerTestOneInput FuzzRegistryFile
namespace fuzz_registry_file {
#include "fuzz/registry_file_fuzz.cpp"
}  // namespace fuzz_registry_file
#undef LLVMFuzzerTestOneInput

#define LLVMFuzzerTestOneInput FuzzWinIni
namespace fuzz_win_ini {
#include "fuzz/win_ini_fuzz.cpp"
}  // namespace fuzz_win_ini
#undef LLVMFuzzerTestOneInput

#define LLVMFuzzerTestOneInput FuzzQueueRecord
namespace fuzz_queue_record {
#include "fuzz/queue_record_fuzz.cpp"
}  // namespace fuzz_queue_record
#undef LLVMFuzzerTestOneInput

#define LLVMFuzzerTestOneInput FuzzStatusReply
namespace fuzz_status_reply {
#include "fuzz/status_reply_fuzz.cpp"
}  // namespace fuzz_status_reply
#undef LLVMFuzzerTestOneInput

#define LLVMFuzzerTestOneInput FuzzInkReply
namespace fuzz_ink_reply {
#include "fuzz/ink_reply_fuzz.cpp"
}  // namespace fuzz_ink_reply
#undef LLVMFuzzerTestOneInput

#define LLVMFuzzerTestOneInput FuzzCommandRequest
namespace fuzz_command_request {
#include "fuzz/command_request_fuzz.cpp"
}  // namespace fuzz_command_request
#undef LLVMFuzzerTestOneInput

namespace {

namespace fs = std::filesystem;

using Entry = int (*)(const std::uint8_t*, std::size_t);

struct Target {
  Entry entry;
  bool* passOverOpenFindings;  // null: the target lets nothing through
};

const std::map<std::string, Target>& Targets() {
  static const std::map<std::string, Target> targets = {
      {"registry_file", {fuzz_registry_file::FuzzRegistryFile,
                         &fuzz_registry_file::g_passOverOpenFindings}},
      {"win_ini", {fuzz_win_ini::FuzzWinIni, &fuzz_win_ini::g_passOverOpenFindings}},
      {"queue_record", {fuzz_queue_record::FuzzQueueRecord, nullptr}},
      {"status_reply", {fuzz_status_reply::FuzzStatusReply, nullptr}},
      {"ink_reply", {fuzz_ink_reply::FuzzInkReply, nullptr}},
      {"command_request", {fuzz_command_request::FuzzCommandRequest, nullptr}},
  };
  return targets;
}

fs::path FuzzDirectory() { return fs::path(__FILE__).parent_path().parent_path() / "fuzz"; }

struct Case {
  std::string target;
  fs::path file;
  bool open = false;  // a finding not mended yet
  std::string name;   // the test's name
};

// gtest names a failing case by its input file.
void PrintTo(const Case& c, std::ostream* os) { *os << c.file.string(); }

std::string Sanitize(const std::string& s) {
  std::string out;
  for (char c : s) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return out;
}

// Every input file, in a stable order; a missing folder gives none.
std::vector<Case> CollectCases() {
  std::vector<Case> cases;
  for (const auto& [target, unused] : Targets()) {
    for (const char* kind : {"corpus", "regressions"}) {
      const fs::path dir = FuzzDirectory() / kind / target;
      std::error_code ec;
      if (!fs::is_directory(dir, ec)) continue;
      std::vector<fs::path> files;
      for (const auto& item : fs::directory_iterator(dir, ec))
        if (item.is_regular_file()) files.push_back(item.path());
      std::sort(files.begin(), files.end());
      for (const fs::path& file : files) {
        Case c;
        c.target = target;
        c.file = file;
        c.open = std::string_view(kind) == "regressions" &&
                 file.filename().string().rfind("open-", 0) == 0;
        c.name = Sanitize(target + "_" + kind + "_" + file.filename().string());
        cases.push_back(std::move(c));
      }
    }
  }
  return cases;
}

std::string ReadInput(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int Replay(const Target& target, const std::string& bytes) {
  return target.entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

class FuzzInputReplay : public ::testing::TestWithParam<Case> {};

TEST_P(FuzzInputReplay, RunsThroughItsTarget) {
  const Case& c = GetParam();
  const Target& target = Targets().at(c.target);
  const std::string bytes = ReadInput(c.file);
  if (!c.open) {
    // A failing check aborts the program; the test's name tells which file.
    EXPECT_EQ(Replay(target, bytes), 0) << c.file;
    return;
  }
  ASSERT_NE(target.passOverOpenFindings, nullptr)
      << c.file << ": this target cannot hold open findings";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        *target.passOverOpenFindings = false;
        Replay(target, bytes);
      },
      "")
      << c.file << " no longer fails: the fault is mended, drop \"open-\" from its name";
}

INSTANTIATE_TEST_SUITE_P(Inputs, FuzzInputReplay, ::testing::ValuesIn(CollectCases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return info.param.name;
                         });

// The replay must not pass for want of inputs: every target has seeds
// where the suite looks.
TEST(FuzzReplaySetup, FindsTheSeedsOfEveryTarget) {
  const std::vector<Case> cases = CollectCases();
  for (const auto& [target, unused] : Targets()) {
    EXPECT_TRUE(std::any_of(cases.begin(), cases.end(),
                            [&](const Case& c) { return c.target == target; }))
        << "no seeds for " << target << " under " << FuzzDirectory();
  }
}

}  // namespace
