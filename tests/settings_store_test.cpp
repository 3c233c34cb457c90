// Settings store: the six value operations on the spooler's key, the port
// time-out defaults, and the printer enumeration buffer.
// Test thread.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/home.h"
#include "platform/printers.h"
#include "platform/registry.h"
#include "queue/settings_store.h"
#include "tests/support/test_support.h"

namespace {

TEST(SettingsStore, KeyPathHasFiveLevels) {
  EXPECT_EQ(SettingsKeyPath(), "SOFTWARE\\VORNA\\Kelvane\\2.00\\Tamrel");
}

TEST(SettingsStore, StringsOf49CharactersReadAnd50DoNot) {
  kt::TempHome home;
  home.InstallKey();
  const std::string s49(49, 'P'), s50(50, 'P');
  ASSERT_TRUE(WriteRegString("Port", s49.c_str()));
  EXPECT_EQ(ReadRegString("Port"), s49);
  ASSERT_TRUE(WriteRegString("Port", s50.c_str()));
  EXPECT_FALSE(ReadRegString("Port").has_value());
  ASSERT_TRUE(WriteRegString("Port", "LPT1:"));
  EXPECT_EQ(ReadRegString("Port"), "LPT1:");
  EXPECT_FALSE(ReadRegString("Config File").has_value());
}

TEST(SettingsStore, StringReadIgnoresTheTypeAndStopsAtTheData) {
  kt::TempHome home;
  home.InstallKey();
  // Bytes with no terminator end with the value, never run past it.
  ASSERT_TRUE(WriteRegBinary("Port", "LPT2", 4));
  EXPECT_EQ(ReadRegString("Port"), "LPT2");
  ASSERT_TRUE(WriteRegDword("Port", 0x00333231));
  EXPECT_EQ(ReadRegString("Port"), "123");
}

TEST(SettingsStore, DwordsReadAsStoredAndOversizeReadsZero) {
  kt::TempHome home;
  home.InstallKey();
  ASSERT_TRUE(WriteRegDword("txTimeout", 123456));
  EXPECT_EQ(ReadRegDword("txTimeout"), 123456u);
  const BYTE two[2] = {0x34, 0x12};
  ASSERT_TRUE(WriteRegBinary("txTimeout", two, 2));
  EXPECT_EQ(ReadRegDword("txTimeout"), 0x1234u);
  const BYTE five[5] = {1, 0, 0, 0, 0};
  ASSERT_TRUE(WriteRegBinary("txTimeout", five, 5));
  EXPECT_EQ(ReadRegDword("txTimeout"), 0u);
  EXPECT_EQ(ReadRegDword("dnsTimeout"), 0u);
}

TEST(SettingsStore, BinaryReadsIntoTheCallersBuffer) {
  kt::TempHome home;
  home.InstallKey();
  WINDOWPLACEMENT wp{};
  wp.length = 44;
  wp.showCmd = SW_SHOWNORMAL;
  wp.rcNormalRight = 640;
  wp.rcNormalBottom = -480;
  ASSERT_TRUE(WriteRegBinary("Window Placement", &wp, sizeof wp));
  auto raw = plat::RegQueryValue(SettingsKeyPath(), "Window Placement");
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(raw->type, plat::REG_NONE);

  WINDOWPLACEMENT back{};
  DWORD size = sizeof back;
  ASSERT_TRUE(ReadRegBinary("Window Placement", &back, &size));
  EXPECT_EQ(size, 44u);
  EXPECT_EQ(std::memcmp(&wp, &back, sizeof wp), 0);

  BYTE small[10] = {};
  size = sizeof small;
  EXPECT_FALSE(ReadRegBinary("Window Placement", small, &size));
  EXPECT_EQ(size, 44u);  // tells the caller what it would need
  for (BYTE b : small) EXPECT_EQ(b, 0);  // nothing written past or into it
  size = 44;
  EXPECT_FALSE(ReadRegBinary("Missing", &back, &size));
}

TEST(SettingsStore, WithoutTheKeyReadsAreMissingAndWritesFail) {
  kt::TempHome home;
  EXPECT_FALSE(ReadRegString("Port").has_value());
  EXPECT_EQ(ReadRegDword("dnsTimeout"), 0u);
  BYTE buf[44];
  DWORD size = sizeof buf;
  EXPECT_FALSE(ReadRegBinary("Window Placement", buf, &size));
  EXPECT_FALSE(WriteRegString("Port", "LPT1:"));
  EXPECT_FALSE(WriteRegDword("dnsTimeout", 1));
  EXPECT_FALSE(WriteRegBinary("Window Placement", buf, 44));
  DWORD dns = 0, tx = 0;
  EXPECT_TRUE(GetPortTimeouts(&dns, &tx));  // defaults all the same
  EXPECT_EQ(dns, kDefaultDnsTimeout);
  EXPECT_EQ(tx, kDefaultTxTimeout);
  EXPECT_FALSE(kt::FileExists(plat::RegistryPath()));
}

TEST(PortTimeouts, BothAbsentWritesAndReturnsTheDefaults) {
  kt::TempHome home;
  home.InstallKey();
  DWORD dns = 0, tx = 0;
  EXPECT_TRUE(GetPortTimeouts(&dns, &tx));
  EXPECT_EQ(dns, 500000u);
  EXPECT_EQ(tx, 600000u);
  EXPECT_EQ(ReadRegDword("dnsTimeout"), 500000u);
  EXPECT_EQ(ReadRegDword("txTimeout"), 600000u);
}

TEST(PortTimeouts, OneZeroResetsBoth) {
  kt::TempHome home;
  home.InstallKey();
  ASSERT_TRUE(WriteRegDword("dnsTimeout", 30000));
  ASSERT_TRUE(WriteRegDword("txTimeout", 0));
  DWORD dns = 0, tx = 0;
  EXPECT_TRUE(GetPortTimeouts(&dns, &tx));
  EXPECT_EQ(dns, 500000u);
  EXPECT_EQ(tx, 600000u);
  EXPECT_EQ(ReadRegDword("dnsTimeout"), 500000u);
}

TEST(PortTimeouts, StoredValuesAreReturnedUnchanged) {
  kt::TempHome home;
  home.InstallKey();
  ASSERT_TRUE(WriteRegDword("dnsTimeout", 1500));
  ASSERT_TRUE(WriteRegDword("txTimeout", 2000));
  const std::string before = kt::ReadFileBytes(plat::RegistryPath());
  DWORD dns = 0, tx = 0;
  EXPECT_TRUE(GetPortTimeouts(&dns, &tx));
  EXPECT_EQ(dns, 1500u);
  EXPECT_EQ(tx, 2000u);
  EXPECT_EQ(kt::ReadFileBytes(plat::RegistryPath()), before);
}

// These write the profile as the home's file; on Windows the profile is
// the system's win.ini, whose [devices] the system keeps in the registry.
#ifndef _WIN32
TEST(PrinterEnum, ReadsDevicesFromTheProfile) {
  kt::TempHome home;
  kt::WriteFileBytes(plat::ProfilePath(),
                     "[windows]\r\ndevice=x\r\n"
                     "[Devices]\r\n"
                     "VORNA Cantella=vorncant, LPT1: \r\n"
                     "No Comma Printer=driveronly\r\n"
                     "; a comment=no,LPT3:\r\n"
                     "Net Printer=vorn,\\\\server\\share\r\n"
                     "[ports]\r\nLPT1:=\r\n");
  DWORD need = GetPrinterEnumSize();
  const DWORD expected = 2 * sizeof(PRINTER_INFO_2) +
                         sizeof("VORNA Cantella") + sizeof("LPT1:") +
                         sizeof("Net Printer") + sizeof("\\\\server\\share");
  ASSERT_EQ(need, expected);
  std::vector<char> buf(need);
  DWORD count = 0;
  ASSERT_TRUE(EnumLocalPrinters(buf.data(), need, &count));
  ASSERT_EQ(count, 2u);
  PRINTER_INFO_2 entries[2];
  std::memcpy(entries, buf.data(), sizeof entries);
  EXPECT_STREQ(entries[0].pPrinterName, "VORNA Cantella");
  EXPECT_STREQ(entries[0].pPortName, "LPT1:");
  EXPECT_STREQ(entries[1].pPrinterName, "Net Printer");
  EXPECT_STREQ(entries[1].pPortName, "\\\\server\\share");
  // Every string lies inside the caller's buffer.
  for (const auto& e : entries) {
    for (const char* p : {e.pPrinterName, e.pPortName}) {
      EXPECT_GE(p, buf.data());
      EXPECT_LE(p + std::strlen(p) + 1, buf.data() + buf.size());
    }
  }
}

TEST(PrinterEnum, TooSmallBufferIsRefusedUntouched) {
  kt::TempHome home;
  kt::WriteFileBytes(plat::ProfilePath(), "[devices]\nP=d,LPT1:\n");
  DWORD need = GetPrinterEnumSize();
  ASSERT_GT(need, 0u);
  std::vector<char> buf(need + 16, '\x5a');
  DWORD count = 77;
  EXPECT_FALSE(EnumLocalPrinters(buf.data(), need - 1, &count));
  EXPECT_EQ(count, 0u);
  for (char c : buf) ASSERT_EQ(c, '\x5a');
  EXPECT_TRUE(EnumLocalPrinters(buf.data(), need, &count));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(buf[need], '\x5a');  // nothing past the size it was given
}
#endif

TEST(PrinterEnum, NoPrintersOrAFailingSource) {
  kt::TempHome home;
#ifdef _WIN32
  // The system's own list is whatever the machine has installed: stand in
  // a system without printers.
  struct Empty : plat::PrinterSource {
    bool List(std::vector<plat::InstalledPrinter>&) override { return true; }
  } empty;
  plat::SetPrinterSource(&empty);
#endif
  EXPECT_EQ(GetPrinterEnumSize(), 0u);  // no win.ini at all, or no printer
  char buf[256];
  DWORD count = 5;
  EXPECT_FALSE(EnumLocalPrinters(buf, sizeof buf, &count));
  EXPECT_EQ(count, 0u);

  struct Failing : plat::PrinterSource {
    bool List(std::vector<plat::InstalledPrinter>& out) override {
      out.push_back({"half", "LPT1:"});
      return false;
    }
  } failing;
  plat::SetPrinterSource(&failing);
  EXPECT_EQ(GetPrinterEnumSize(), 0u);
  EXPECT_FALSE(EnumLocalPrinters(buf, sizeof buf, &count));
  plat::SetPrinterSource(nullptr);
}

}  // namespace
