// The headers in platform/ are what the rest of the spooler sees on every
// system: they name no system header and no system type, so another
// system's bodies can stand behind them unchanged. The system's own pieces
// (descriptors, uids, event objects) stay in platform/<system>/.
// Test thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

const fs::path kPlatformDir = fs::path(KELVANE_SOURCE_DIR) / "platform";

std::vector<fs::path> NeutralHeaders() {
  std::vector<fs::path> headers;
  for (const auto& entry : fs::directory_iterator(kPlatformDir)) {
    if (entry.is_regular_file() && entry.path().extension() == ".h") {
      headers.push_back(entry.path());
    }
  }
  std::sort(headers.begin(), headers.end());
  return headers;
}

// The code of a header without its // comments: the comments may well say
// how a system does a thing; the declarations must not depend on it.
std::string CodeOf(const fs::path& header) {
  static const std::regex comment("//[^\n]*");
  return std::regex_replace(kt::ReadFileBytes(header.string()), comment, "");
}

// Each offending line of `code`, for the failure message.
std::vector<std::string> Matches(const std::string& code, const std::regex& pattern) {
  std::vector<std::string> found;
  for (std::sregex_iterator it(code.begin(), code.end(), pattern), end; it != end; ++it) {
    found.push_back(it->str());
  }
  return found;
}

TEST(PlatformHeaders, AreFoundWhereTheTestLooks) {
  // The interfaces the rest of the spooler uses; an empty list would let the
  // checks below pass on nothing.
  auto headers = NeutralHeaders();
  for (const char* name : {"files.h", "command_channel.h", "port_device.h",
                           "single_instance.h", "registry.h", "profile.h"}) {
    EXPECT_NE(std::find(headers.begin(), headers.end(), kPlatformDir / name),
              headers.end())
        << name;
  }
}

TEST(PlatformHeaders, IncludeNoSystemHeader) {
  static const std::regex systemInclude(
      R"(#\s*include\s*<(unistd\.h|fcntl\.h|poll\.h|pthread\.h|signal\.h|)"
      R"(termios\.h|pwd\.h|dirent\.h|netdb\.h|strings\.h|sys/[^>]*|netinet/[^>]*|)"
      R"(arpa/[^>]*|linux/[^>]*|windows\.h|winsock2\.h|ws2tcpip\.h)>)");
  for (const auto& header : NeutralHeaders()) {
    for (const auto& hit : Matches(CodeOf(header), systemInclude)) {
      ADD_FAILURE() << header.filename() << ": " << hit;
    }
  }
}

TEST(PlatformHeaders, DeclareNoSystemTypeOrDescriptor) {
  // uid_t and friends, and plain int descriptors (an int named ...fd,
  // ...Fd_, a pipe pair).
  static const std::regex systemType(
      R"(\b(uid_t|gid_t|pid_t|ssize_t|mode_t|off_t|pollfd|eventfd\w*)\b)");
  static const std::regex descriptor(
      R"(\bint\s+(\w*[Ff]d\w*|\w*[Pp]ipe\w*|\w*[Dd]escriptor\w*)\b)");
  for (const auto& header : NeutralHeaders()) {
    const std::string code = CodeOf(header);
    for (const auto& hit : Matches(code, systemType)) {
      ADD_FAILURE() << header.filename() << ": " << hit;
    }
    for (const auto& hit : Matches(code, descriptor)) {
      ADD_FAILURE() << header.filename() << ": " << hit;
    }
  }
}

TEST(PlatformHeaders, StandAloneWithoutBodies) {
  // Bodies belong to platform/common/ or a system's folder, which the build
  // picks by system; one left beside the headers would be built everywhere.
  for (const auto& entry : fs::directory_iterator(kPlatformDir)) {
    EXPECT_NE(entry.path().extension(), ".cpp") << entry.path().filename();
  }
}

}  // namespace
