// Port name resolution without devices: [ports] mappings, default LPT
// devices, redirected devices, shares and names that must not open, with
// each system's meaning of paths and device names.
// Test thread only.
#include "platform/port_names.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/errors.h"
#include "platform/profile.h"
#include "support/test_support.h"

namespace {

using plat::PortKind;
using plat::PortSection;
using plat::PortTarget;
using plat::ResolvePortName;

// A plain file's path as each system writes it.
#ifdef _WIN32
constexpr const char* kFileA = "C:\\spool\\a.prn";
constexpr const char* kFileB = "D:/out/b.prn";
#else
constexpr const char* kFileA = "/tmp/a";
constexpr const char* kFileB = "/tmp/b";
#endif

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
  const PortSection ports = {{"lpt1:", kFileA}, {"LPT2", kFileB}};
  for (const char* name : {"LPT1:", "LPT1", "lpt1", "Lpt1:"}) {
    auto t = ResolvePortName(name, ports, NoRedirections());
    EXPECT_EQ(t.kind, PortKind::Path) << name;
    EXPECT_EQ(t.path, kFileA) << name;
    EXPECT_TRUE(t.mayCreate) << name;
  }
  auto t = ResolvePortName("lpt2:", ports, NoRedirections());
  EXPECT_EQ(t.path, kFileB);
}

TEST(PortNamesTest, DeviceValuesOfEveryKind) {
#ifdef _WIN32
  auto device = plat::ParsePortDevice("\\\\.\\COM10");
  EXPECT_EQ(device.kind, PortKind::Path);
  EXPECT_EQ(device.path, "\\\\.\\COM10");
  EXPECT_FALSE(device.mayCreate);  // a device is never created as a file
  auto named = plat::ParsePortDevice("COM2:");
  EXPECT_EQ(named.kind, PortKind::Path);
  EXPECT_EQ(named.path, "\\\\.\\COM2");
  EXPECT_FALSE(named.mayCreate);
  auto share = plat::ParsePortDevice("\\\\server\\queue");
  EXPECT_EQ(share.kind, PortKind::Path);
  EXPECT_EQ(share.path, "\\\\server\\queue");
  EXPECT_FALSE(share.mayCreate);
  auto file = plat::ParsePortDevice(" c:\\out.prn ");
  EXPECT_EQ(file.kind, PortKind::Path);
  EXPECT_EQ(file.path, "c:\\out.prn");
  EXPECT_TRUE(file.mayCreate);
#else
  auto device = plat::ParsePortDevice("/dev/usb/lp0");
  EXPECT_EQ(device.kind, PortKind::Path);
  EXPECT_FALSE(device.mayCreate);  // never create a plain file in /dev
#endif

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
                          "", "out.prn", "\\\\host", "\\\\host\\"}) {
    auto t = plat::ParsePortDevice(bad);
    EXPECT_EQ(t.kind, PortKind::None) << bad;
    EXPECT_NE(t.error, 0u) << bad;
  }
}

TEST(PortNamesTest, UnmappedLptIsTheMatchingPrinterDevice) {
  // "LPT1:=" only lists the port (Windows' own port list reads so).
  const PortSection listed = {{"LPT1:", ""}, {"LPT2", " "}};
  for (int n = 1; n <= 9; ++n) {
    auto t = ResolvePortName("lpt" + std::to_string(n), listed, NoRedirections());
    EXPECT_EQ(t.kind, PortKind::Path);
#ifdef _WIN32
    EXPECT_EQ(t.path, "LPT" + std::to_string(n) + ":");
#else
    EXPECT_EQ(t.path, "/dev/lp" + std::to_string(n - 1));
#endif
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
#ifdef _WIN32
  // The system's redirector carries the device's data to the share.
  EXPECT_EQ(t.kind, PortKind::Path);
  EXPECT_EQ(t.path, "LPT2:");
  EXPECT_FALSE(t.mayCreate);
#else
  EXPECT_EQ(t.kind, PortKind::Socket);
  EXPECT_EQ(t.host, "print-host");
  EXPECT_EQ(t.port, 9100);
#endif
  // A share with its own [ports] entry goes where that entry says.
  auto m = ResolvePortName("LPT3", ports, lookup);
  EXPECT_EQ(m.kind, PortKind::Socket);
  EXPECT_EQ(m.host, "10.1.1.1");
  EXPECT_EQ(m.port, 9200);
}

TEST(PortNamesTest, ShareOpensByItselfOnlyWhereTheSystemOpensShares) {
  auto direct = ResolvePortName("\\\\office\\ribbon", {}, NoRedirections());
#ifdef _WIN32
  EXPECT_EQ(direct.kind, PortKind::Path);
  EXPECT_EQ(direct.path, "\\\\office\\ribbon");
  EXPECT_FALSE(direct.mayCreate);
#else
  EXPECT_EQ(direct.kind, PortKind::None);
  EXPECT_EQ(direct.error, plat::kErrorNotFound);
#endif

  const PortSection ports = {{"\\\\Office\\Ribbon", "sim:/tmp/vp.sock"}};
  auto mapped = ResolvePortName("\\\\office\\ribbon", ports, NoRedirections());
  EXPECT_EQ(mapped.kind, PortKind::Sim);
  EXPECT_EQ(mapped.path, "/tmp/vp.sock");
}

TEST(PortNamesTest, AbsolutePathsOpenAsWrittenAndOthersDoNot) {
  auto file = ResolvePortName(kFileA, {}, NoRedirections());
  EXPECT_EQ(file.kind, PortKind::Path);
  EXPECT_EQ(file.path, kFileA);
  EXPECT_TRUE(file.mayCreate);

  auto colon = ResolvePortName(std::string(kFileB) + ":", {}, NoRedirections());
  EXPECT_EQ(colon.path, std::string(kFileB) + ":");

  for (const char* typo : {"out.prn", "spool/out.prn", "", ":", "\\\\office"}) {
    auto t = ResolvePortName(typo, {}, NoRedirections());
    EXPECT_EQ(t.kind, PortKind::None) << typo;
    EXPECT_EQ(t.error, plat::kErrorNotFound) << typo;
  }
#ifdef _WIN32
  // Other names are the system's devices: they open if the system has them,
  // and a typo fails there rather than becoming a file.
  for (const char* name : {"COM1:", "LTP1:", "FILE:"}) {
    auto t = ResolvePortName(name, {}, NoRedirections());
    EXPECT_EQ(t.kind, PortKind::Path) << name;
    EXPECT_FALSE(t.mayCreate) << name;
  }
  EXPECT_EQ(ResolvePortName("com1:", {}, NoRedirections()).path, "\\\\.\\com1");
#else
  for (const char* typo : {"LTP1:", "COM1:", "FILE:"}) {
    auto t = ResolvePortName(typo, {}, NoRedirections());
    EXPECT_EQ(t.kind, PortKind::None) << typo;
    EXPECT_EQ(t.error, plat::kErrorNotFound) << typo;
  }
#endif
  // ... unless [ports] maps them.
  auto mapped = ResolvePortName("file:", {{"FILE", kFileB}}, NoRedirections());
  EXPECT_EQ(mapped.kind, PortKind::Path);
  EXPECT_EQ(mapped.path, kFileB);
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
#ifdef _WIN32
  EXPECT_EQ(ResolvePortName("LPT5:").path, "LPT5:");
#else
  EXPECT_EQ(ResolvePortName("LPT5:").path, "/dev/lp4");
#endif
}

}  // namespace
