// Registry store: value round trips, the exact text it writes, damaged files,
// missing files and keys, neighbours left untouched, and concurrent setters
// in two processes.
// Test thread and forked children.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/home.h"
#include "platform/registry.h"
#include "tests/support/test_support.h"

namespace {

using plat::RegValue;

const std::string kKey = "SOFTWARE\\VORNA\\Kelvane\\2.00\\Tamrel";

RegValue Str(const std::string& s) {
  RegValue v;
  v.type = plat::REG_SZ;
  v.data.assign(s.begin(), s.end());
  v.data.push_back(0);
  return v;
}

RegValue Dword(DWORD d) {
  RegValue v;
  v.type = plat::REG_DWORD;
  v.data = {BYTE(d), BYTE(d >> 8), BYTE(d >> 16), BYTE(d >> 24)};
  return v;
}

RegValue Bytes(DWORD type, std::vector<BYTE> data) {
  RegValue v;
  v.type = type;
  v.data = std::move(data);
  return v;
}

void ExpectValue(const std::string& name, const RegValue& want) {
  auto got = plat::RegQueryValue(kKey, name);
  ASSERT_TRUE(got.has_value()) << name;
  EXPECT_EQ(got->type, want.type) << name;
  EXPECT_EQ(got->data, want.data) << name;
}

TEST(RegistryStore, RoundTripsEveryKindOfValue) {
  kt::TempHome home;
  ASSERT_TRUE(plat::RegCreateKey(kKey));
  std::vector<BYTE> placement(44);
  for (int i = 0; i < 44; ++i) placement[i] = BYTE(i * 13);
  const RegValue values[] = {
      Str("LPT1:"), Str("a \"quoted\" C:\\path\\"), Str(""), Dword(500000),
      Dword(0xFFFFFFFF), Bytes(plat::REG_NONE, placement),
      Bytes(plat::REG_BINARY, {1, 2, 3}), Bytes(plat::REG_BINARY, {}),
      Bytes(plat::REG_SZ, {'a', 0, 'b', 0}),  // not a plain string
      Bytes(plat::REG_SZ, {'x', '\n', 0}), Bytes(plat::REG_DWORD, {7, 0})};
  int i = 0;
  for (const RegValue& v : values)
    ASSERT_TRUE(plat::RegSetValue(kKey, "v" + std::to_string(i++), v));
  i = 0;
  for (const RegValue& v : values) ExpectValue("v" + std::to_string(i++), v);
  // Every line of the file is still one line: nothing broke the format.
  for (const auto& line : plat::ParseRegFile(kt::ReadFileBytes(plat::RegistryPath())))
    EXPECT_NE(line.kind, plat::RegFileLine::Kind::Other) << line.text;
}

TEST(RegistryStore, WritesRegeditTextWithCrlf) {
  kt::TempHome home;
  ASSERT_TRUE(plat::RegCreateKey(kKey));
  ASSERT_TRUE(plat::RegSetValue(kKey, "Port", Str("LPT1:")));
  ASSERT_TRUE(plat::RegSetValue(kKey, "dnsTimeout", Dword(500000)));
  ASSERT_TRUE(plat::RegSetValue(kKey, "Window Placement",
                                Bytes(plat::REG_NONE, {0x2c, 0, 0, 0})));
  EXPECT_EQ(kt::ReadFileBytes(plat::RegistryPath()),
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VORNA\\Kelvane\\2.00\\Tamrel]\r\n"
            "\"Port\"=\"LPT1:\"\r\n"
            "\"dnsTimeout\"=dword:0007a120\r\n"
            "\"Window Placement\"=hex(0):2c,00,00,00\r\n"
            "\r\n");
  struct stat st {};
  ASSERT_EQ(stat(plat::RegistryPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST(RegistryStore, ReplacesInPlaceAndMatchesNamesWithoutCase) {
  kt::TempHome home;
  kt::WriteFileBytes(plat::RegistryPath(),
                     "REGEDIT4\r\n\r\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
                     "\"Port\"=\"COM1:\"\r\n\r\n"
                     "[hkey_local_machine\\software\\vorna\\kelvane\\2.00\\tamrel]\r\n"
                     "\"port\"=\"LPT2:\"\r\n"
                     "\"txTimeout\"=dword:00000001\r\n\r\n"
                     "[HKEY_CURRENT_USER\\Elsewhere]\r\n"
                     "\"Port\"=\"LPT9:\"\r\n");
  ExpectValue("PORT", Str("LPT2:"));
  ASSERT_TRUE(plat::RegSetValue(kKey, "Port", Str("LPT3:")));
  ASSERT_TRUE(plat::RegSetValue(kKey, "Config File", Str("Processing")));
  EXPECT_EQ(kt::ReadFileBytes(plat::RegistryPath()),
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
            "\"Port\"=\"COM1:\"\r\n\r\n"
            "[hkey_local_machine\\software\\vorna\\kelvane\\2.00\\tamrel]\r\n"
            "\"port\"=\"LPT3:\"\r\n"
            "\"txTimeout\"=dword:00000001\r\n"
            "\"Config File\"=\"Processing\"\r\n\r\n"
            "[HKEY_CURRENT_USER\\Elsewhere]\r\n"
            "\"Port\"=\"LPT9:\"\r\n");
  // A value under a foreign root is not ours.
  EXPECT_FALSE(plat::RegQueryValue("Elsewhere", "Port").has_value());
  ExpectValue("port", Str("LPT3:"));
}

TEST(RegistryStore, MissingFileOrKeyQueriesMissingAndSetsFail) {
  kt::TempHome home;
  EXPECT_FALSE(plat::RegKeyExists(kKey));
  EXPECT_FALSE(plat::RegQueryValue(kKey, "Port").has_value());
  EXPECT_FALSE(plat::RegSetValue(kKey, "Port", Str("LPT1:")));
  EXPECT_FALSE(kt::FileExists(plat::RegistryPath()));  // sets never create

  kt::WriteFileBytes(plat::RegistryPath(),
                     "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VORNA]\r\n");
  const std::string before = kt::ReadFileBytes(plat::RegistryPath());
  EXPECT_FALSE(plat::RegKeyExists(kKey));
  EXPECT_FALSE(plat::RegQueryValue(kKey, "Port").has_value());
  EXPECT_FALSE(plat::RegSetValue(kKey, "Port", Str("LPT1:")));
  EXPECT_EQ(kt::ReadFileBytes(plat::RegistryPath()), before);

  ASSERT_TRUE(plat::RegCreateKey(kKey));
  EXPECT_TRUE(plat::RegKeyExists(kKey));
  EXPECT_FALSE(plat::RegQueryValue(kKey, "Port").has_value());
  ASSERT_TRUE(plat::RegCreateKey(kKey));  // a second time changes nothing
  const std::string created = kt::ReadFileBytes(plat::RegistryPath());
  EXPECT_EQ(created.rfind(before, 0), 0u);
  EXPECT_EQ(created.find("Tamrel"), created.rfind("Tamrel"));
}

TEST(RegistryStore, DamagedLinesAreKeptByteForByte) {
  kt::TempHome home;
  const std::string damaged =
      "REGEDIT4\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VORNA\\Kelvane\\2.00\\Tamrel]\n"
      "\"Port\"=\"LPT1:\n"                 // unterminated string
      "\"dnsTimeout\"=dword:xyz\n"         // bad digits
      "garbage \x01\xff line\r\n"
      "\"Bad\"=hex:1,2,3\n"                // bytes need two digits
      "\"Esc\"=\"a\\nb\"\n"                // not a regedit escape
      "\"txTimeout\"=dword:00000005";     // no line end at all
  kt::WriteFileBytes(plat::RegistryPath(), damaged);
  EXPECT_FALSE(plat::RegQueryValue(kKey, "Port").has_value());
  EXPECT_FALSE(plat::RegQueryValue(kKey, "dnsTimeout").has_value());
  EXPECT_FALSE(plat::RegQueryValue(kKey, "Bad").has_value());
  EXPECT_FALSE(plat::RegQueryValue(kKey, "Esc").has_value());
  ExpectValue("txTimeout", Dword(5));

  ASSERT_TRUE(plat::RegSetValue(kKey, "Port", Str("LPT2:")));
  const std::string after = kt::ReadFileBytes(plat::RegistryPath());
  // The unreadable lines stand where they stood; only the value and the
  // missing line end were added.
  EXPECT_EQ(after, damaged + "\r\n\"Port\"=\"LPT2:\"\r\n");
  ExpectValue("Port", Str("LPT2:"));
}

TEST(RegistryFormat, AcceptsContinuedHexLines) {
  const std::string text =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
      "\"Window Placement\"=hex(0):2c,00,00,00,01,\\\r\n"
      "  02,03\r\n"
      "\"After\"=dword:00000001\r\n";
  auto lines = plat::ParseRegFile(text);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3].kind, plat::RegFileLine::Kind::Value);
  EXPECT_EQ(lines[3].name, "Window Placement");
  EXPECT_EQ(lines[3].value.type, plat::REG_NONE);
  EXPECT_EQ(lines[3].value.data, (std::vector<BYTE>{0x2c, 0, 0, 0, 1, 2, 3}));
  EXPECT_EQ(lines[4].name, "After");
  EXPECT_EQ(plat::FormatRegFile(lines), text);
}

TEST(RegistryFormat, RoundTripIsExactForAnyBytes) {
  const std::string samples[] = {
      "",
      "REGEDIT4",
      "\r\n\r\n\n\r",
      "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=hex:01,\\\r\n",
      "\"a\"=\"b\"\\\n\"c\"=dword:1\\",
      std::string("\0\xff[\n]\"=\\\\", 9),
  };
  for (const std::string& s : samples)
    EXPECT_EQ(plat::FormatRegFile(plat::ParseRegFile(s)), s);
  // Pseudo-random bytes drawn from the format's own alphabet.
  const char alphabet[] = "\"=\\[]\r\n:,hexdwor0(1)aF@ HKEY_LOCAL_MACHINE";
  unsigned seed = 12345;
  for (int round = 0; round < 2000; ++round) {
    std::string s;
    int len = round % 97;
    for (int i = 0; i < len; ++i) {
      seed = seed * 1103515245u + 12345u;
      s += alphabet[(seed >> 16) % (sizeof alphabet - 1)];
    }
    ASSERT_EQ(plat::FormatRegFile(plat::ParseRegFile(s)), s) << round;
  }
}

TEST(RegistryFormat, ValueLines) {
  EXPECT_EQ(plat::FormatRegValueLine("Port", Str("LPT1:")), "\"Port\"=\"LPT1:\"");
  EXPECT_EQ(plat::FormatRegValueLine("a\"b", Str("c\\d")), "\"a\\\"b\"=\"c\\\\d\"");
  EXPECT_EQ(plat::FormatRegValueLine("t", Dword(600000)), "\"t\"=dword:000927c0");
  EXPECT_EQ(plat::FormatRegValueLine("", Str("x")), "@=\"x\"");
  EXPECT_EQ(plat::FormatRegValueLine("b", Bytes(plat::REG_BINARY, {0xab, 0})),
            "\"b\"=hex:ab,00");
  EXPECT_EQ(plat::FormatRegValueLine("s", Bytes(plat::REG_SZ, {'a'})),
            "\"s\"=hex(1):61");
}

// Two processes each set their own values many times; with the file lock
// and atomic replacement no update is lost.
TEST(RegistryStore, ConcurrentSettersInTwoProcessesLoseNothing) {
  kt::TempHome home;
  ASSERT_TRUE(plat::RegCreateKey(kKey));
  constexpr int kRounds = 60;
  pid_t pids[2];
  for (int p = 0; p < 2; ++p) {
    pids[p] = fork();
    ASSERT_GE(pids[p], 0);
    if (pids[p] == 0) {
      // Under this much contention a set may give up after its bounded
      // wait; it then changed nothing and the caller may simply try again.
      auto set = [&](const std::string& name, DWORD v) {
        for (int attempt = 0; attempt < 20; ++attempt)
          if (plat::RegSetValue(kKey, name, Dword(v))) return true;
        return false;
      };
      for (int i = 0; i < kRounds; ++i) {
        if (!set("p" + std::to_string(p) + "_" + std::to_string(i), DWORD(i))) _exit(1);
        if (!set("shared" + std::to_string(p), DWORD(i))) _exit(1);
      }
      _exit(0);
    }
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < kRounds; ++i)
      ExpectValue("p" + std::to_string(p) + "_" + std::to_string(i), Dword(DWORD(i)));
    ExpectValue("shared" + std::to_string(p), Dword(kRounds - 1));
  }
}

}  // namespace
