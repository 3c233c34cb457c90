// The registry on Windows: values set and read back on the machine's own
// HKEY_LOCAL_MACHINE key, where the driver and the installer see them, and
// the system's codes when a key or value is missing.
// Test thread.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/files.h"
#include "platform/win32/windows_api.h"
#include "platform/win32/registry_view.h"

// Our constants of the same names and values, not the system's macros.
#undef REG_SZ
#undef REG_BINARY
#undef REG_DWORD

namespace {

// A key of this test run's own under the spooler's, made as installation
// makes it and removed afterwards.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = "SOFTWARE\\VORNA\\Kelvane\\Test-" + std::to_string(::GetCurrentProcessId());
    ASSERT_TRUE(plat::RegCreateKey(key_));
  }
  void TearDown() override {
    if (HKEY key = SystemKey(KEY_ALL_ACCESS, kDriverRegistryView)) {
      ::RegDeleteTreeA(key, nullptr);
      ::RegCloseKey(key);
    }
    HKEY vendor = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VORNA\\Kelvane", 0,
                        KEY_ALL_ACCESS | kDriverRegistryView, &vendor) == ERROR_SUCCESS) {
      ::RegDeleteKeyExA(vendor, key_.substr(key_.rfind('\\') + 1).c_str(), kDriverRegistryView, 0);
      ::RegCloseKey(vendor);
    }
  }

  // The test's key straight from the system in one view, or nullptr.
  HKEY SystemKey(REGSAM access, REGSAM view) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, access | view, &key) != ERROR_SUCCESS)
      return nullptr;
    return key;
  }

  // Straight from the system, not through our calls.
  std::string SystemString(const char* name) {
    HKEY key = SystemKey(KEY_QUERY_VALUE, kDriverRegistryView);
    if (!key) return "<no key>";
    char text[256] = {};
    W32_DWORD size = sizeof text;
    const W32_LONG rc = ::RegGetValueA(key, nullptr, name, RRF_RT_REG_SZ, nullptr, text, &size);
    ::RegCloseKey(key);
    return rc == ERROR_SUCCESS ? text : "<missing>";
  }

  std::string key_;
};

plat::RegValue Text(const std::string& text) {
  plat::RegValue value;
  value.type = plat::REG_SZ;
  value.data.assign(text.begin(), text.end());
  value.data.push_back(0);
  return value;
}

TEST_F(RegistryTest, ValuesGoToTheMachinesKeyAndComeBackAsSet) {
  EXPECT_TRUE(plat::RegKeyExists(key_));
  ASSERT_TRUE(plat::RegSetValue(key_, "Port", Text("LPT1:")));
  EXPECT_EQ(SystemString("Port"), "LPT1:");

  plat::RegValue timeout;
  timeout.type = plat::REG_DWORD;
  timeout.data = {0x20, 0xa1, 0x07, 0x00};
  ASSERT_TRUE(plat::RegSetValue(key_, "dnsTimeout", timeout));
  plat::RegValue placement;
  placement.type = plat::REG_BINARY;
  placement.data.assign(44, 0);
  placement.data[0] = 44;
  ASSERT_TRUE(plat::RegSetValue(key_, "Window Placement", placement));

  auto port = plat::RegQueryValue(key_, "Port");
  ASSERT_TRUE(port.has_value());
  EXPECT_EQ(port->type, plat::REG_SZ);
  EXPECT_EQ(port->data, Text("LPT1:").data);
  auto dword = plat::RegQueryValue(key_, "DNSTIMEOUT");  // names ignore case
  ASSERT_TRUE(dword.has_value());
  EXPECT_EQ(dword->type, plat::REG_DWORD);
  EXPECT_EQ(dword->data, timeout.data);
  auto binary = plat::RegQueryValue(key_, "Window Placement");
  ASSERT_TRUE(binary.has_value());
  EXPECT_EQ(binary->type, plat::REG_BINARY);
  EXPECT_EQ(binary->data, placement.data);

  // A second set replaces the value.
  ASSERT_TRUE(plat::RegSetValue(key_, "Port", Text("\\\\server\\printer")));
  EXPECT_EQ(SystemString("Port"), "\\\\server\\printer");
}

// A 32-bit driver on 64-bit Windows reads and writes SOFTWARE's 32-bit view:
// the key must be there, and not in the 64-bit view it would never see.
TEST_F(RegistryTest, TheKeyLivesInTheViewThe32BitDriversSee) {
  ASSERT_TRUE(plat::RegSetValue(key_, "Port", Text("LPT2:")));
  HKEY shared = SystemKey(KEY_QUERY_VALUE, KEY_WOW64_32KEY);
  ASSERT_NE(shared, nullptr);
  ::RegCloseKey(shared);
  BOOL wow64 = FALSE;
  const bool sixtyFourBitSystem =
      sizeof(void*) == 8 || (::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64);
  if (sixtyFourBitSystem) {
    HKEY native = SystemKey(KEY_QUERY_VALUE, KEY_WOW64_64KEY);
    EXPECT_EQ(native, nullptr) << "the key went to the 64-bit view";
    if (native) ::RegCloseKey(native);
  }
}

TEST_F(RegistryTest, AStringStoredWithoutItsTerminatorReadsWithOne) {
  HKEY key = nullptr;
  ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0,
                            KEY_SET_VALUE | kDriverRegistryView, &key),
            ERROR_SUCCESS);
  ASSERT_EQ(::RegSetValueExA(key, "Bare", 0, plat::REG_SZ, reinterpret_cast<const BYTE*>("COM2:"), 5),
            ERROR_SUCCESS);
  ::RegCloseKey(key);
  auto value = plat::RegQueryValue(key_, "Bare");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->data, Text("COM2:").data);
}

TEST_F(RegistryTest, MissingKeysAndValuesFailWithTheSystemsCode) {
  const std::string missing = key_ + "\\Missing";
  EXPECT_FALSE(plat::RegKeyExists(missing));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // Keys are made by installation only.
  plat::SetLastError(0);
  EXPECT_FALSE(plat::RegSetValue(missing, "Port", Text("LPT1:")));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(plat::RegKeyExists(missing));

  plat::SetLastError(0);
  EXPECT_FALSE(plat::RegQueryValue(key_, "NoSuchValue").has_value());
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryTest, ANameWithALineBreakIsRefusedAsEverywhere) {
  EXPECT_FALSE(plat::RegSetValue(key_, "Port\r\nEvil", Text("x")));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(plat::RegQueryValue(key_, "Port\r\nEvil").has_value());
}

}  // namespace
