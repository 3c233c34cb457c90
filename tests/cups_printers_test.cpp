// Print service queues as installed printers: device URI translation, USB
// node matching, composition with [devices], the sysfs scan on a fake tree,
// and the source as the settings store sees it; libcups loaded only when
// printers are listed, and a machine without it. No print service needed.
// Test thread only.
#include "platform/cups_printers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/home.h"
#include "platform/port_names.h"
#include "platform/posix/cups_library.h"
#include "platform/printers.h"
#include "queue/settings_store.h"
#include "support/test_support.h"

// Our declarations of libcups's interface against its own, where its
// development files are installed: a wrong number would send another
// request or misread the answer.
#if __has_include(<cups/cups.h>)
#include <cups/cups.h>
static_assert(plat::cups::kOpCupsGetPrinters == IPP_OP_CUPS_GET_PRINTERS);
static_assert(plat::cups::kTagOperation == IPP_TAG_OPERATION);
static_assert(plat::cups::kTagPrinter == IPP_TAG_PRINTER);
static_assert(plat::cups::kTagKeyword == IPP_TAG_KEYWORD);
static_assert(plat::cups::kStatusOkConflicting == IPP_STATUS_OK_CONFLICTING);
static_assert(plat::cups::kStatusErrorNotFound == IPP_STATUS_ERROR_NOT_FOUND);
// We pass and take these as int.
static_assert(sizeof(ipp_op_t) == sizeof(int) && sizeof(ipp_tag_t) == sizeof(int) &&
              sizeof(ipp_status_t) == sizeof(int) && sizeof(http_encryption_t) == sizeof(int));
#endif

namespace {

using plat::CupsQueue;
using plat::InstalledPrinter;
using plat::PortNameFromDeviceUri;
using plat::UsbPrinterNode;

const std::vector<UsbPrinterNode> kNoUsb;

std::optional<std::string> Port(const std::string& uri,
                                const std::vector<UsbPrinterNode>& usb = kNoUsb) {
  return PortNameFromDeviceUri(uri, usb);
}

// ------------------------------------------------------------ translation

TEST(DeviceUri, ParallelAndFileBecomePaths) {
  EXPECT_EQ(Port("parallel:/dev/lp0"), "/dev/lp0");
  EXPECT_EQ(Port("parallel:///dev/lp1"), "/dev/lp1");
  EXPECT_EQ(Port("PARALLEL:/dev/lp2"), "/dev/lp2");
  EXPECT_EQ(Port("file:/tmp/out.prn"), "/tmp/out.prn");
  EXPECT_EQ(Port("file:///var/spool/ribbon%20out.prn"), "/var/spool/ribbon out.prn");
  EXPECT_EQ(Port("file://localhost/dev/null"), "/dev/null");
  EXPECT_EQ(Port("  file:/dev/null \n"), "/dev/null");
}

TEST(DeviceUri, SocketKeepsHostAndPortAndDropsBackendOptions) {
  EXPECT_EQ(Port("socket://printer:9100"), "socket://printer:9100");
  EXPECT_EQ(Port("socket://printer"), "socket://printer:9100");
  EXPECT_EQ(Port("socket://10.0.0.7:9101/?waiteof=false&contimeout=30"),
            "socket://10.0.0.7:9101");
  EXPECT_EQ(Port("socket://[::1]:9100"), "socket://[::1]:9100");
}

TEST(DeviceUri, DevicesOurPortsCannotOpenAreSkipped) {
  for (const char* uri :
       {"ipp://printer/ipp/print", "ipps://printer:631/ipp/print", "lpd://host/queue",
        "dnssd://Vorna%20Tamrel._ipp._tcp.local/", "hp:/usb/Deskjet", "smb://srv/q",
        "serial:/dev/ttyS0?baud=9600", "implicitclass://q/", "", "parallel:", "parallel:lp0",
        "file:relative/path", "file://otherhost/tmp/x", "socket://", "socket://:9100",
        "socket://host:99999", "socket://host:port", "socket://user@host:9100",
        "socket://host:9100/extra/path", "usb://VORNA/Tamrel"}) {
    EXPECT_EQ(Port(uri), std::nullopt) << uri;
  }
}

TEST(DeviceUri, NamesThatWouldNotSurviveStorageAreSkipped) {
  // 49 characters still fit the stored "Port" value; 50 read back as missing.
  const std::string fits = "/" + std::string(48, 'a');
  const std::string tooLong = "/" + std::string(49, 'a');
  EXPECT_EQ(Port("file:" + fits), fits);
  EXPECT_EQ(Port("file:" + tooLong), std::nullopt);
  // A trailing colon is dropped by the next-job step; a line break would
  // split the queue record.
  EXPECT_EQ(Port("file:/tmp/odd:"), std::nullopt);
  EXPECT_EQ(Port("file:/tmp/a%0Ab"), std::nullopt);
}

TEST(DeviceUri, OfferedPathPortsResolveToTheSameDevice) {
  // What the settings page stores must open the device the queue named.
  struct Case {
    const char* uri;
    const char* path;
    bool mayCreate;
  } cases[] = {{"parallel:/dev/lp0", "/dev/lp0", false},
               {"file:/tmp/kelvane-out.prn", "/tmp/kelvane-out.prn", true}};
  for (const Case& c : cases) {
    auto name = Port(c.uri);
    ASSERT_TRUE(name) << c.uri;
    plat::PortTarget target = plat::ResolvePortName(*name, {}, {});
    EXPECT_EQ(target.kind, plat::PortKind::Path) << c.uri;
    EXPECT_EQ(target.path, c.path);
    EXPECT_EQ(target.mayCreate, c.mayCreate);
  }
  auto socket = Port("socket://printer:9101?waiteof=false");
  ASSERT_TRUE(socket);
  plat::PortTarget target = plat::ParsePortDevice(*socket);
  EXPECT_EQ(target.kind, plat::PortKind::Socket);
  EXPECT_EQ(target.host, "printer");
  EXPECT_EQ(target.port, 9101);
}

// ------------------------------------------------------------ USB nodes

const UsbPrinterNode kTamrel{"/dev/usb/lp0", "MFG:VORNA;MDL:Tamrel 200;CMD:VRN;SN:T-17;", ""};
const UsbPrinterNode kCantella{"/dev/usb/lp1", "MANUFACTURER:VORNA;MODEL:Cantella;", "C-99"};
const UsbPrinterNode kHp{"/dev/usb/lp2", "MFG:Hewlett-Packard;MDL:LaserJet 4;", ""};

TEST(UsbUri, MatchesMakeModelAndSerial) {
  EXPECT_TRUE(plat::UsbUriMatchesNode("usb://VORNA/Tamrel%20200?serial=T-17", kTamrel));
  EXPECT_TRUE(plat::UsbUriMatchesNode("usb://vorna/tamrel%20200", kTamrel));
  EXPECT_FALSE(plat::UsbUriMatchesNode("usb://VORNA/Tamrel%20200?serial=T-18", kTamrel));
  EXPECT_FALSE(plat::UsbUriMatchesNode("usb://VORNA/Tamrel%20300", kTamrel));
  EXPECT_FALSE(plat::UsbUriMatchesNode("usb://Other/Tamrel%20200", kTamrel));
  // The serial may come from the USB descriptor instead of the device id.
  EXPECT_TRUE(plat::UsbUriMatchesNode("usb://VORNA/Cantella?serial=C-99&interface=1",
                                      kCantella));
  EXPECT_TRUE(plat::UsbUriMatchesNode("usb://HP/LaserJet%204", kHp));
  EXPECT_FALSE(plat::UsbUriMatchesNode("usb://VORNA/Tamrel%20200",
                                       UsbPrinterNode{"/dev/usb/lp3", "", ""}));
}

TEST(UsbUri, BecomesTheNodeOfTheOnePrinterItNames) {
  const std::vector<UsbPrinterNode> nodes = {kTamrel, kCantella, kHp};
  EXPECT_EQ(Port("usb://VORNA/Tamrel%20200?serial=T-17", nodes), "/dev/usb/lp0");
  EXPECT_EQ(Port("usb://VORNA/Cantella?serial=C-99", nodes), "/dev/usb/lp1");
  EXPECT_EQ(Port("usb://VORNA/Cantella?serial=C-98", nodes), std::nullopt);
  EXPECT_EQ(Port("usb://Epson/TM-T88", nodes), std::nullopt);

  // Two identical printers and a URI without a serial: neither is offered,
  // since a job could reach the wrong one; the serial tells them apart.
  const UsbPrinterNode twin{"/dev/usb/lp4", "MFG:VORNA;MDL:Tamrel 200;SN:T-18;", ""};
  const std::vector<UsbPrinterNode> twins = {kTamrel, twin};
  EXPECT_EQ(Port("usb://VORNA/Tamrel%20200", twins), std::nullopt);
  EXPECT_EQ(Port("usb://VORNA/Tamrel%20200?serial=T-18", twins), "/dev/usb/lp4");
}

class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kelvane-sysfs-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  // class/lpN -> devices/usbK/K:1.0 as the kernel lays it out.
  void AddPrinter(int lp, const std::string& id, const std::string& serial) {
    const std::string usb = root_ + "/devices/usb" + std::to_string(lp);
    const std::string iface = usb + "/1-1:1.0";
    ASSERT_TRUE(plat::MakeDirectories(iface));
    if (!serial.empty()) kt::WriteFileBytes(usb + "/serial", serial + "\n");
    if (!id.empty()) kt::WriteFileBytes(iface + "/ieee1284_id", id + "\n");
    const std::string entry = root_ + "/class/lp" + std::to_string(lp);
    ASSERT_TRUE(plat::MakeDirectories(entry));
    ASSERT_EQ(::symlink(iface.c_str(), (entry + "/device").c_str()), 0);
  }
  std::string root_;
};

TEST_F(FakeSysfs, ListsUsbPrintersInNodeOrderWithIdAndSerial) {
  AddPrinter(10, "MFG:VORNA;MDL:Cantella;", "C-99");
  AddPrinter(2, "MFG:VORNA;MDL:Tamrel 200;SN:T-17;", "");
  ASSERT_TRUE(plat::MakeDirectories(root_ + "/class/lpx"));  // not a printer node
  auto nodes = plat::ListUsbPrinterNodes(root_ + "/class", "/dev/usb");
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].devicePath, "/dev/usb/lp2");
  EXPECT_EQ(nodes[0].deviceId, "MFG:VORNA;MDL:Tamrel 200;SN:T-17;");
  EXPECT_EQ(nodes[0].usbSerial, "");
  EXPECT_EQ(nodes[1].devicePath, "/dev/usb/lp10");
  EXPECT_EQ(nodes[1].usbSerial, "C-99");
  EXPECT_EQ(Port("usb://VORNA/Cantella?serial=C-99", nodes), "/dev/usb/lp10");
}

TEST_F(FakeSysfs, NoClassDirectoryMeansNoNodes) {
  EXPECT_TRUE(plat::ListUsbPrinterNodes(root_ + "/missing").empty());
}

// ------------------------------------------------------------ composition

TEST(ComposePrinters, ProfileFirstThenReachableQueues) {
  const std::vector<InstalledPrinter> profile = {{"VORNA Tamrel", "LPT1:"},
                                                 {"Tovrel", "LPT1:"}};
  const std::vector<CupsQueue> queues = {
      {"Office_Laser", "ipp://laser.local/ipp/print"},  // not ours to open
      {"Ribbon", "socket://ribbon:9100"},
      {"vorna tamrel", "parallel:/dev/lp1"},  // the user's entry wins
      {"Tamrel_USB", "usb://VORNA/Tamrel%20200?serial=T-17"},
      {"Hidden", ""},  // the server kept the device from us
      {"", "file:/tmp/x"},
      {"ToFile", "file:/tmp/kelvane.prn"}};
  auto list = plat::ComposeInstalledPrinters(profile, queues, {kTamrel});
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].printerName, "VORNA Tamrel");
  EXPECT_EQ(list[0].portName, "LPT1:");
  EXPECT_EQ(list[1].printerName, "Tovrel");
  EXPECT_EQ(list[2].printerName, "Ribbon");
  EXPECT_EQ(list[2].portName, "socket://ribbon:9100");
  EXPECT_EQ(list[3].printerName, "Tamrel_USB");
  EXPECT_EQ(list[3].portName, "/dev/usb/lp0");
  EXPECT_EQ(list[4].printerName, "ToFile");
  EXPECT_EQ(list[4].portName, "/tmp/kelvane.prn");
}

TEST(ComposePrinters, NoQueuesLeavesTheProfileAlone) {
  const std::vector<InstalledPrinter> profile = {{"A", "LPT2:"}};
  auto list = plat::ComposeInstalledPrinters(profile, {}, {});
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].printerName, "A");
  EXPECT_EQ(list[0].portName, "LPT2:");
}

// ------------------------------------------------------------ the source

TEST(SystemPrinters, JoinsQueuesToDevicesThroughTheSettingsStore) {
  kt::TempHome home;
  kt::WriteFileBytes(plat::ProfilePath(), "[devices]\nVORNA Tamrel=kelvane,LPT1:\n");
  int usbScans = 0;
  plat::SystemPrinterSource source(
      [](std::vector<CupsQueue>& out) {
        out = {{"Ribbon", "socket://ribbon:9100"},
               {"Tamrel_USB", "usb://VORNA/Tamrel%20200"}};
        return true;
      },
      [&] {
        ++usbScans;
        return std::vector<UsbPrinterNode>{kTamrel};
      });
  plat::SetPrinterSource(&source);
  std::vector<InstalledPrinter> list;
  const bool listed = plat::ListInstalledPrinters(list);
  const int scansForOneList = usbScans;
  // The settings page sizes its buffer from the same list.
  const DWORD needed = GetPrinterEnumSize();
  plat::SetPrinterSource(nullptr);

  ASSERT_TRUE(listed);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].portName, "LPT1:");
  EXPECT_EQ(list[1].portName, "socket://ribbon:9100");
  EXPECT_EQ(list[2].portName, "/dev/usb/lp0");
  EXPECT_EQ(scansForOneList, 1);
  EXPECT_GT(needed, 0u);
}

TEST(SystemPrinters, WithoutAServerTheListIsTheProfile) {
  kt::TempHome home;
  kt::WriteFileBytes(plat::ProfilePath(),
                     "[devices]\nVORNA Tamrel=kelvane,LPT1:\nTovrel=kelvane,LPT2:\n");
  int usbScans = 0;
  plat::SystemPrinterSource source(
      [](std::vector<CupsQueue>& out) {
        out = {{"Stale", "file:/tmp/x"}};  // a failed call's leftovers
        return false;
      },
      [&] {
        ++usbScans;
        return std::vector<UsbPrinterNode>{};
      });
  std::vector<InstalledPrinter> viaSource, viaProfile;
  ASSERT_TRUE(source.List(viaSource));
  ASSERT_TRUE(plat::ListProfileDevices(viaProfile));
  ASSERT_EQ(viaSource.size(), viaProfile.size());
  for (std::size_t i = 0; i < viaSource.size(); ++i) {
    EXPECT_EQ(viaSource[i].printerName, viaProfile[i].printerName);
    EXPECT_EQ(viaSource[i].portName, viaProfile[i].portName);
  }
  EXPECT_EQ(usbScans, 0);  // nothing asked for sysfs
}

TEST(SystemPrinters, NoUsbQueueMeansNoSysfsScan) {
  kt::TempHome home;
  int usbScans = 0;
  plat::SystemPrinterSource source(
      [](std::vector<CupsQueue>& out) {
        out = {{"Ribbon", "socket://ribbon:9100"}};
        return true;
      },
      [&] {
        ++usbScans;
        return std::vector<UsbPrinterNode>{};
      });
  std::vector<InstalledPrinter> list;
  ASSERT_TRUE(source.List(list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].printerName, "Ribbon");
  EXPECT_EQ(usbScans, 0);
}

TEST(SystemPrinters, AnUnreachableServerIsNoServer) {
  // A server address where nothing listens: the query fails, and without
  // libcups it says so without trying.
  const char* old = std::getenv("CUPS_SERVER");
  const std::string saved = old ? old : "";
  ::setenv("CUPS_SERVER", "/nonexistent/kelvane-cups.sock", 1);
  std::vector<CupsQueue> queues = {{"x", "y"}};
  EXPECT_FALSE(plat::ListCupsQueues(queues, 1000));
  EXPECT_TRUE(queues.empty());
  if (old) ::setenv("CUPS_SERVER", saved.c_str(), 1);
  else ::unsetenv("CUPS_SERVER");
}

// A library that no machine has: the listing behaves as on a machine
// without the print service's library.
constexpr const char* kAbsentLibrary = "libkelvane-no-such-print-service.so.2";

TEST(SystemPrinters, WithoutTheLibraryThereIsNoServer) {
  std::vector<CupsQueue> queues = {{"x", "y"}};
  EXPECT_FALSE(plat::ListCupsQueuesFrom(kAbsentLibrary, queues, 1000));
  EXPECT_TRUE(queues.empty());
  EXPECT_EQ(plat::cups::LoadCupsLibrary(kAbsentLibrary), nullptr);

  kt::TempHome home;
  kt::WriteFileBytes(plat::ProfilePath(), "[devices]\nVORNA Tamrel=kelvane,LPT1:\n");
  plat::SystemPrinterSource source(
      [](std::vector<CupsQueue>& out) { return plat::ListCupsQueuesFrom(kAbsentLibrary, out); },
      [] { return std::vector<UsbPrinterNode>{kTamrel}; });
  std::vector<InstalledPrinter> list;
  ASSERT_TRUE(source.List(list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].printerName, "VORNA Tamrel");
  EXPECT_EQ(list[0].portName, "LPT1:");
}

TEST(SystemPrinters, ALibraryThatIsNotTheServicesIsNoServer) {
  // It loads, but lacks libcups's functions: nothing of it may be called.
  EXPECT_EQ(plat::cups::LoadCupsLibrary("libm.so.6"), nullptr);
  std::vector<CupsQueue> queues = {{"x", "y"}};
  EXPECT_FALSE(plat::ListCupsQueuesFrom("libm.so.6", queues, 1000));
  EXPECT_TRUE(queues.empty());
}

// True when a library whose file name starts with `prefix` is mapped into
// this process.
bool IsMapped(const std::string& prefix) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    const std::size_t slash = line.rfind('/');
    if (slash != std::string::npos && line.compare(slash + 1, prefix.size(), prefix) == 0)
      return true;
  }
  return false;
}

TEST(SystemPrintersDeathTest, TheLibraryIsLoadedByTheFirstListingOnly) {
  // "threadsafe" runs the body in a fresh process of this suite, so no
  // earlier test has listed printers there yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // 1: linked in, loaded at start; 2: loaded by installing the
        // source; 3: a failed load left something behind; 4: the listing
        // did not load an installed library.
        if (IsMapped("libcups.so")) std::_Exit(1);
        plat::UseSystemPrinters();
        if (IsMapped("libcups.so")) std::_Exit(2);
        std::vector<CupsQueue> queues;
        plat::ListCupsQueuesFrom(kAbsentLibrary, queues, 1000);
        if (IsMapped("libcups.so")) std::_Exit(3);
        ::setenv("CUPS_SERVER", "/nonexistent/kelvane-cups.sock", 1);
        plat::ListCupsQueues(queues, 1000);
        if (plat::HaveCupsSupport() && !IsMapped("libcups.so")) std::_Exit(4);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace

// ------------------------------------------------------------ live server
// Runs only under tests/cups_check.sh, which starts a private print server
// with these queues and names its socket in KELVANE_TEST_CUPS_SERVER:
//   Ribbon_File  file:$KELVANE_TEST_CUPS_FILE
//   Ribbon_Net   socket://127.0.0.1:9100
//   Par          parallel:/dev/lp0
//   Office       ipp://127.0.0.1/ipp/print
TEST(LiveCupsServer, QueuesOnOurDevicesBecomePorts) {
  const char* server = std::getenv("KELVANE_TEST_CUPS_SERVER");
  const char* file = std::getenv("KELVANE_TEST_CUPS_FILE");
  if (!server || !file) GTEST_SKIP() << "no private print server (tests/cups_check.sh)";
  if (!plat::HaveCupsSupport()) GTEST_SKIP() << "built without libcups";
  ::setenv("CUPS_SERVER", server, 1);

  std::vector<CupsQueue> queues;
  ASSERT_TRUE(plat::ListCupsQueues(queues, 3000));
  ASSERT_EQ(queues.size(), 4u);

  kt::TempHome home;
  kt::WriteFileBytes(plat::ProfilePath(), "[devices]\nVORNA Tamrel=kelvane,LPT1:\n");
  plat::SystemPrinterSource source;
  std::vector<InstalledPrinter> list;
  ASSERT_TRUE(source.List(list));
  std::map<std::string, std::string> ports;
  for (const InstalledPrinter& p : list) ports[p.printerName] = p.portName;
  EXPECT_EQ(list.size(), 4u);
  EXPECT_EQ(ports["VORNA Tamrel"], "LPT1:");
  EXPECT_EQ(ports["Ribbon_File"], file);
  EXPECT_EQ(ports["Ribbon_Net"], "socket://127.0.0.1:9100");
  EXPECT_EQ(ports["Par"], "/dev/lp0");
  EXPECT_EQ(ports.count("Office"), 0u);
  ::unsetenv("CUPS_SERVER");
}
