// Port name resolution without devices: [ports] mappings, default LPT
// devices, redirected devices, shares and names that must not open.
// Test thread only.
#include "platform/port_names.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>

#include "platform/profile.h"
#include "support/test_support.h"

namespace {

using plat::PortKind;
using plat::PortSection;
using plat::PortTarget;
using plat::ResolvePortName;

plat::RedirectLookup NoRedirections() {
  return [](const std::string&) { return std::optional<std::string>(); };
}

plat::RedirectLookup Redirections(std::map<std::string, std::string> table) {
  return [table](const std::string& device) -> std::optional<std::string> {
    auto it = table.find(device);
    if (it == table.end()) return std::nullopt;
    return it->second;
  };
}

TEST(PortNamesTest, LptNumbersAndCanonicalNames) {
  EXPECT_EQ(plat::LptNumber("LPT1:"), 1);
  EXPECT_EQ(plat::LptNumber("lpt9"), 9);
  EXPECT_EQ(plat::LptNumber("Lpt3 :"), 3);
  EXPECT_EQ(plat::LptNumber("LPT0"), 0);
  EXPECT_EQ(plat::LptNumber("LPT10"), 0);
  EXPECT_EQ(plat::LptNumber("COM1"), 0);
  EXPECT_EQ(plat::LptNumber("LPT"), 0);
  EXPECT_EQ(plat::CanonicalPortName("lpt2:"), "LPT2");
  EXPECT_EQ(plat::CanonicalPortName("Office:"), "Office");
}

TEST(PortNamesTest, PortsKeysMatchWithoutCaseAndWithOrWithoutColon) {
  const PortSection ports = {{"lpt1:", "/tmp/a"}, {"LPT2", "/tmp/b"}};
  for (const char* name : {"LPT1:", "LPT1", "lpt1", "Lpt1:"}) {
    auto t = ResolvePortName(name, ports, NoRedirections());
    EXPECT_EQ(t.kind, PortKind::Path) << name;
    EXPECT_EQ(t.path, "/tmp/a") << name;
    EXPECT_TRUE(t.mayCreate) << name;
  }
  auto t = ResolvePortName("lpt2:", ports, NoRedirections());
  EXPECT_EQ(t.path, "/tmp/b");
}

TEST(PortNamesTest, DeviceValuesOfEveryKind) {
  auto device = plat::ParsePortDevice("/dev/usb/lp0");
  EXPECT_EQ(device.kind, PortKind::Path);
  EXPECT_FALSE(device.mayCreate);  // never create a plain file in /dev

  auto sock = plat::ParsePortDevice(" socket://printer.local:9101 ");
  EXPECT_EQ(sock.kind, PortKind::Socket);
  EXPECT_EQ(sock.host, "printer.local");
  EXPECT_EQ(sock.port, 9101);

  auto bare = plat::ParsePortDevice("SOCKET://10.0.0.7");
  EXPECT_EQ(bare.kind, PortKind::Socket);
  EXPECT_EQ(bare.port, plat::kRawPrinterPort);

  auto v6 = plat::ParsePortDevice("socket://[::1]:9100");
  EXPECT_EQ(v6.kind, PortKind::Socket);
  EXPECT_EQ(v6.host, "::1");

  auto sim = plat::ParsePortDevice("sim:/run/vp.sock");
  EXPECT_EQ(sim.kind, PortKind::Sim);
  EXPECT_EQ(sim.path, "/run/vp.sock");

  for (const char* bad : {"socket://", "socket://host:0", "socket://host:70000",
                          "socket://host:9x", "socket://[::1", "sim:", "relative/file",
                          "", "lp0"}) {
    auto t = plat::ParsePortDevice(bad);
    EXPECT_EQ(t.kind, PortKind::None) << bad;
    EXPECT_NE(t.error, 0u) << bad;
  }
}

TEST(PortNamesTest, UnmappedLptIsTheMatchingPrinterDevice) {
  for (int n = 1; n <= 9; ++n) {
    auto t = ResolvePortName("LPT" + std::to_string(n) + ":", {}, NoRedirections());
    EXPECT_EQ(t.kind, PortKind::Path);
    EXPECT_EQ(t.path, "/dev/lp" + std::to_string(n - 1));
    EXPECT_FALSE(t.mayCreate);
  }
}

TEST(PortNamesTest, RedirectedLptReachesItsShare) {
  const PortSection ports = {{"LPT2", "/dev/usb/lp0"},
                             {"\\\\office\\mapped", "socket://10.1.1.1:9200"}};
  auto lookup = Redirections({{"LPT2", "\\\\print-host\\ribbon"},
                              {"LPT3", "\\\\OFFICE\\Mapped"}});
  // The redirection wins over the local mapping of the device.
  auto t = ResolvePortName("lpt2:", ports, lookup);
  EXPECT_EQ(t.kind, PortKind::Socket);
  EXPECT_EQ(t.host, "print-host");
  EXPECT_EQ(t.port, 9100);
  // A share with its own [ports] entry goes where that entry says.
  auto m = ResolvePortName("LPT3", ports, lookup);
  EXPECT_EQ(m.kind, PortKind::Socket);
  EXPECT_EQ(m.host, "10.1.1.1");
  EXPECT_EQ(m.port, 9200);
}

TEST(PortNamesTest, ShareOpensDirectlyOnlyWhenMapped) {
  auto direct = ResolvePortName("\\\\office\\ribbon", {}, NoRedirections());
  EXPECT_EQ(direct.kind, PortKind::None);
  EXPECT_EQ(direct.error, static_cast<DWORD>(ENOENT));

  const PortSection ports = {{"\\\\Office\\Ribbon", "sim:/tmp/vp.sock"}};
  auto mapped = ResolvePortName("\\\\office\\ribbon", ports, NoRedirections());
  EXPECT_EQ(mapped.kind, PortKind::Sim);
  EXPECT_EQ(mapped.path, "/tmp/vp.sock");
}

TEST(PortNamesTest, AbsolutePathsOpenAsWrittenAndOthersDoNot) {
  auto file = ResolvePortName("/var/spool/out.prn", {}, NoRedirections());
  EXPECT_EQ(file.kind, PortKind::Path);
  EXPECT_EQ(file.path, "/var/spool/out.prn");
  EXPECT_TRUE(file.mayCreate);

  auto colon = ResolvePortName("/tmp/odd:", {}, NoRedirections());
  EXPECT_EQ(colon.path, "/tmp/odd:");

  for (const char* typo : {"LTP1:", "out.prn", "COM1:", "", ":", "FILE:"}) {
    auto t = ResolvePortName(typo, {}, NoRedirections());
    EXPECT_EQ(t.kind, PortKind::None) << typo;
    EXPECT_EQ(t.error, static_cast<DWORD>(ENOENT)) << typo;
  }
  // ... unless [ports] maps them.
  auto mapped = ResolvePortName("file:", {{"FILE", "/tmp/file.prn"}}, NoRedirections());
  EXPECT_EQ(mapped.kind, PortKind::Path);
}

TEST(PortNamesTest, NetworkPrinterAddressOpensDirectly) {
  // The print service lists network printers by their address; such a name
  // reaches the printer without a [ports] entry.
  auto t = ResolvePortName("socket://printer.lan:9100", {}, NoRedirections());
  EXPECT_EQ(t.kind, PortKind::Socket);
  EXPECT_EQ(t.host, "printer.lan");
  EXPECT_EQ(t.port, 9100);
  auto upper = ResolvePortName("SOCKET://10.0.0.7:9101", {}, NoRedirections());
  EXPECT_EQ(upper.kind, PortKind::Socket);
  EXPECT_EQ(upper.port, 9101);
  EXPECT_EQ(ResolvePortName("socket://", {}, NoRedirections()).kind, PortKind::None);
}

TEST(PortNamesTest, KeysNameOneDeviceOneWay) {
  EXPECT_EQ(plat::ParsePortDevice("socket://Printer:9100").Key(),
            plat::ParsePortDevice("socket://PRINTER:9100").Key());
  EXPECT_NE(plat::ParsePortDevice("socket://printer:9100").Key(),
            plat::ParsePortDevice("socket://printer:9101").Key());
  EXPECT_NE(plat::ParsePortDevice("sim:/a").Key(), plat::ParsePortDevice("/a").Key());
}

TEST(PortNamesTest, ResolvesThroughTheUsersProfile) {
  kt::TempHome home;
  ASSERT_TRUE(plat::WriteProfileString("ports", "LPT4:", "socket://127.0.0.1:9999"));
  auto t = ResolvePortName("lpt4");
  EXPECT_EQ(t.kind, PortKind::Socket);
  EXPECT_EQ(t.port, 9999);
  EXPECT_EQ(ResolvePortName("LPT5:").path, "/dev/lp4");
}

}  // namespace
