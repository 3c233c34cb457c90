// The CUPS backend's pure parts: the device URI, the ports it offers the
// print service, the copies it puts in the record, the marker attributes of
// the published ink levels, and the translation of the spooler's console
// output into the print service's STATE/INFO/ATTR/DEBUG lines.
// Test thread.
#include <gtest/gtest.h>

#include <sstream>

#include "app/headless/headless_loop.h"
#include "engine/fault_question.h"
#include "platform/message_box.h"
#include "tests/support/fault_questions.h"
#include "tools/cups_backend/backend_ops.h"

namespace {

using namespace cupsbackend;
using Lines = std::vector<std::string>;

DeviceUri Parsed(const std::string& uri) {
  DeviceUri device;
  std::string error;
  EXPECT_TRUE(ParseDeviceUri(uri, device, error)) << uri << ": " << error;
  return device;
}

std::string Refusal(const std::string& uri) {
  DeviceUri device;
  device.port = "untouched";
  std::string error;
  EXPECT_FALSE(ParseDeviceUri(uri, device, error)) << uri;
  EXPECT_EQ(device.port, "untouched") << uri;
  return error;
}

TEST(CupsDeviceUri, PortAloneTakesTheDriverDefaults) {
  const DeviceUri device = Parsed("kelvane:/LPT1:");
  EXPECT_EQ(device.port, "LPT1:");
  EXPECT_EQ(device.printer, "VORNA Tamrel");
  EXPECT_EQ(device.ribbon, "Standard");
  // Two slashes, as some dialogs write URIs, name the same port.
  EXPECT_EQ(Parsed("kelvane://LPT2:").port, "LPT2:");
}

TEST(CupsDeviceUri, PrinterAndRibbonComeFromTheQuery) {
  DeviceUri device = Parsed("kelvane:/LPT1:?printer=Tovrel&ribbon=YMCKO");
  EXPECT_EQ(device.port, "LPT1:");
  EXPECT_EQ(device.printer, "Tovrel");
  EXPECT_EQ(device.ribbon, "YMCKO");
  device = Parsed("kelvane:/%5C%5Coffice%5Cribbon?printer=VORNA%20Cantella&ribbon=Half+Panel");
  EXPECT_EQ(device.port, "\\\\office\\ribbon");
  EXPECT_EQ(device.printer, "VORNA Cantella");
  EXPECT_EQ(device.ribbon, "Half Panel");
  // A "+" in the port is a character of its name, not a blank.
  EXPECT_EQ(Parsed("kelvane:/A+B").port, "A+B");
}

TEST(CupsDeviceUri, RefusesWhatNoQueueRecordCouldHold) {
  EXPECT_NE(Refusal("socket://printer:9100").find("not a kelvane:"), std::string::npos);
  EXPECT_NE(Refusal("kelvane:/").find("no port"), std::string::npos);
  EXPECT_NE(Refusal("kelvane:/LPT1:?colour=red").find("unknown parameter"), std::string::npos);
  EXPECT_NE(Refusal("kelvane:/LPT1:?printer=a~b").find("'~'"), std::string::npos);
  Refusal("kelvane:/LPT1%0D%0A");            // a line break would end the port line
  Refusal("kelvane:/LPT1:?ribbon=a%0Ab");    // ... or add a record line
  Refusal("kelvane:/LPT%zz");                // a broken escape
  Refusal("kelvane:/LPT1%");
  Refusal("kelvane:/LPT1:?printer");         // no value
  Refusal("kelvane:/LPT1:?printer=");
  Refusal("kelvane:/LPT1:?printer=" + std::string(50, 'P'));
  Refusal("kelvane:/" + std::string(78, 'p'));
  Parsed("kelvane:/LPT1:?printer=" + std::string(49, 'P'));
  Parsed("kelvane:/" + std::string(77, 'p'));
}

TEST(CupsDeviceUri, FormattedUrisReadBackAsTheirPort) {
  for (const std::string port : {"LPT1:", "FILE:", "\\\\office\\ribbon", "my printer",
                                 "100%", "a?b&c=d", "/dev/usb/lp0"}) {
    const std::string uri = FormatDeviceUri(port);
    EXPECT_EQ(uri.find_first_of(" ?&\\"), std::string::npos) << uri;
    EXPECT_EQ(Parsed(uri).port, port) << uri;
  }
  EXPECT_EQ(FormatDeviceUri("LPT1:"), "kelvane:/LPT1:");
}

// A job's -o ribbon= and -o model= over the queue's, as the print service
// writes the options argument; the rest are not ours.
TEST(CupsJobOptions, RibbonAndModelOverrideTheQueuesOwn) {
  struct Case {
    const char* options;
    const char* printer;
    const char* ribbon;
  };
  const Case cases[] = {
      {"", "VORNA Cantella", "YMCKO"},
      {"job-uuid=urn:uuid:1 ribbon=K copies=2", "VORNA Cantella", "K"},
      {"model='VORNA Tamrel' ribbon=\"Half panel\"", "VORNA Tamrel", "Half panel"},
      {"model=Tovrel\\ 2 noribbon raw", "Tovrel 2", "YMCKO"},
      {"ribbon=YMCKO printer=Tovrel", "Tovrel", "YMCKO"},
  };
  for (const Case& c : cases) {
    DeviceUri device{"LPT1:", "VORNA Cantella", "YMCKO"};
    std::string error;
    ASSERT_TRUE(ApplyJobOptions(c.options, device, error)) << c.options << ": " << error;
    EXPECT_EQ(device.printer, c.printer) << c.options;
    EXPECT_EQ(device.ribbon, c.ribbon) << c.options;
    EXPECT_EQ(device.port, "LPT1:");
  }
  for (const char* bad : {"model=a~b", "ribbon=", "ribbon=" "0123456789012345678901234567890123456789012345678901"}) {
    DeviceUri device{"LPT1:", "VORNA Cantella", "YMCKO"};
    std::string error;
    EXPECT_FALSE(ApplyJobOptions(bad, device, error)) << bad;
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(device.printer, "VORNA Cantella");  // left as it was
  }
}

TEST(CupsPortListing, EveryPortOnceWithItsModelAndDevice) {
  const IniSection ports = {{"LPT1:", "sim:/run/k/printer.sock"},
                            {"lpt1", "/dev/usb/lp0"},  // the same port again
                            {"LPT2:", "socket://192.0.2.10:9100 "},
                            {"FILE:", "/tmp/out \"1\".prn"},
                            {"\\\\office\\ribbon", "socket://office:9100"}};
  const IniSection devices = {{"VORNA Cantella", "kelvane,LPT2:"},
                              {"VORNA Tamrel", "kelvane, lpt1"},
                              {"Tovrel", "kelvane,LPT1:"}};
  const Lines lines = FormatPortListing(ports, devices);
  EXPECT_EQ(lines,
            (Lines{"direct kelvane:/LPT1: \"VORNA Tamrel\" \"Kelvane LPT1: (sim:/run/k/printer.sock)\"",
                   "direct kelvane:/LPT2: \"VORNA Cantella\" \"Kelvane LPT2: (socket://192.0.2.10:9100)\"",
                   "direct kelvane:/FILE: \"VORNA printer\" \"Kelvane FILE: (/tmp/out \\\"1\\\".prn)\"",
                   "direct kelvane:/%5C%5Coffice%5Cribbon \"VORNA printer\" "
                   "\"Kelvane \\\\\\\\office\\\\ribbon (socket://office:9100)\""}));
  // Each listed URI is one the backend takes for a job.
  for (const std::string& line : lines) {
    const std::string uri = line.substr(7, line.find(' ', 7) - 7);
    Parsed(uri);
  }
  EXPECT_TRUE(FormatPortListing({}, devices).empty());
}

TEST(CupsCopies, FileJobsCarryAllTheirCopiesInRecordsOfAtMost255) {
  using V = std::vector<int>;
  EXPECT_EQ(CopiesPerRecord("3", true), V{3});
  EXPECT_EQ(CopiesPerRecord("0", true), V{0});
  EXPECT_EQ(CopiesPerRecord("255", true), V{255});
  EXPECT_EQ(CopiesPerRecord("300", true), (V{255, 45}));  // not 255, nor 44
  EXPECT_EQ(CopiesPerRecord("510", true), (V{255, 255}));
  EXPECT_EQ(CopiesPerRecord("9999", true).size(), 40u);
  EXPECT_EQ(CopiesPerRecord("10000", true), V{});
  EXPECT_EQ(CopiesPerRecord("-2", true), V{0});
  EXPECT_EQ(CopiesPerRecord("two", true), V{1});
  EXPECT_EQ(CopiesPerRecord("", true), V{1});
  // From standard input the filters made the copies already.
  EXPECT_EQ(CopiesPerRecord("300", false), V{1});
}

TEST(CupsMarkers, PublishedLevelsBecomeMarkerAttributes) {
  const std::string colour = "ATTR: marker-colors=#00FFFF,#FF00FF,#FFFF00 ";
  const std::string bounds = "marker-low-levels=10,10,10 marker-high-levels=100,100,100 ";
  const std::string names = "marker-names=Cyan,Magenta,Yellow ";
  EXPECT_EQ(FormatMarkerAttributes({"2", "", "71", "55", "23"}),
            colour + "marker-levels=71,55,23 " + bounds + names +
                "marker-types=ink,ink,ink marker-message=''");
  // A ribbon printer's panels, two of them low.
  EXPECT_EQ(FormatMarkerAttributes({"2", "", "10", "55", "0"}, MarkerKind::Ribbon),
            colour + "marker-levels=10,55,0 " + bounds + names +
                "marker-types=ink-ribbon,ink-ribbon,ink-ribbon "
                "marker-message='Cyan and Yellow ribbon low'");
  EXPECT_EQ(FormatMarkerAttributes({"1", "4", "", "", ""}),
            "ATTR: marker-colors=#000000 marker-levels=4 marker-low-levels=10 "
            "marker-high-levels=100 marker-names=Black marker-types=ink "
            "marker-message='Black ink low'");
  // Levels the printer reported out of range, or none: unknown, not empty
  // and not low.
  EXPECT_EQ(FormatMarkerAttributes({"2", "", "-5", "101", "x"}),
            colour + "marker-levels=-1,-1,-1 " + bounds + names +
                "marker-types=ink,ink,ink marker-message=''");
  EXPECT_EQ(FormatMarkerAttributes({"0", "40", "1", "2", "3"}), "");
  EXPECT_EQ(FormatMarkerAttributes({"", "", "", "", ""}), "");
}

TEST(CupsMarkers, InkKeysAreReadWhateverTheirCase) {
  const PublishedInk ink = InkFromSection({{"SpoolerHwnd", "4242"},
                                           {"inktype", "2"},
                                           {"CYANLEVEL", " 71"},
                                           {"MagentaLevel", "55"},
                                           {"YellowLevel", "23"}});
  EXPECT_NE(FormatMarkerAttributes(ink).find(" marker-levels=71,55,23 "), std::string::npos);
  // Nothing published yet: no markers rather than levels of 0.
  EXPECT_EQ(FormatMarkerAttributes(InkFromSection({{"SpoolerHwnd", "4242"}})), "");
}

// waitpid statuses as the kernel packs them.
int Exited(int code) { return code << 8; }
int Killed(int signal) { return signal; }

// A document or a picture sent to a raw queue would print as garbage on a
// card: told by the print service's type or by its first bytes.
TEST(CupsContent, OnlyPrinterReadyDataIsTaken) {
  using cupsbackend::NotPrinterReady;
  const std::string raster("\x1b" "E\x00\x01" "card", 8);
  EXPECT_EQ(NotPrinterReady("application/vnd.cups-raw", raster), "");
  EXPECT_EQ(NotPrinterReady("", raster), "");
  EXPECT_EQ(NotPrinterReady("", ""), "");
  EXPECT_EQ(NotPrinterReady("application/octet-stream", "%PDF-1.2\n%"), "a PDF document");
  EXPECT_EQ(NotPrinterReady("application/pdf", raster), "a PDF document");
  EXPECT_EQ(NotPrinterReady("", "%!PS-Adobe-3.0"), "a PostScript document");
  EXPECT_EQ(NotPrinterReady("", "\x89PNG\r\n\x1a\n"), "an image");
  EXPECT_EQ(NotPrinterReady("", "\xFF\xD8\xFF\xE0"), "an image");
  EXPECT_EQ(NotPrinterReady("image/urf", raster), "an image");
  EXPECT_EQ(NotPrinterReady("text/plain", "Dear printer"), "text");
}

TEST(CupsExitCodes, EachEndOfTheSpoolerHasItsPrintServiceCode) {
  EXPECT_EQ(ExitCodeForSpoolerEnd(true, Exited(0)), kBackendOk);
  // A job printed and then the spooler was stopped: still printed.
  EXPECT_EQ(ExitCodeForSpoolerEnd(true, Killed(15)), kBackendOk);
  EXPECT_EQ(ExitCodeForSpoolerEnd(false, Exited(2)), kBackendStop);
  EXPECT_EQ(ExitCodeForSpoolerEnd(false, Exited(0)), kBackendRetry);
  EXPECT_EQ(ExitCodeForSpoolerEnd(false, Killed(9)), kBackendFailed);
  EXPECT_EQ(ExitCodeForSpoolerEnd(false, Exited(127)), kBackendFailed);
  // The job left the queue because it can never print: not printed.
  EXPECT_EQ(ExitCodeForSpoolerEnd(true, Exited(3)), kBackendCancel);
  EXPECT_EQ(std::vector<int>({kBackendOk, kBackendFailed, kBackendStop, kBackendCancel,
                              kBackendRetry}),
            std::vector<int>({0, 1, 4, 5, 6}));
}

Lines Relay(StatusRelay& relay, const std::string& output) {
  Lines lines;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    for (std::string& out : relay.TakeLine(line)) lines.push_back(out);
  }
  return lines;
}

TEST(CupsRelay, TheReasonsAndTheMessageFollowTheJob) {
  StatusRelay relay;
  EXPECT_EQ(relay.Connecting("LPT1:"),
            (Lines{"STATE: +connecting-to-device", "INFO: Connecting to the printer on LPT1:"}));
  // The printer is off: its reason replaces the connecting one.
  EXPECT_EQ(relay.TakeLine("state: not selected"),
            (Lines{"STATE: -connecting-to-device", "STATE: +offline-report"}));
  EXPECT_EQ(relay.TakeLine("state: printing"),
            (Lines{"STATE: -offline-report", "INFO: Printing on LPT1:"}));
  // The first block noted after that changes nothing.
  EXPECT_TRUE(relay.Printing().empty());
  EXPECT_EQ(relay.TakeLine("state: out of paper"), (Lines{"STATE: +media-empty"}));
  // A fault that follows another replaces it.
  EXPECT_EQ(relay.TakeLine("state: stalled"), (Lines{"STATE: -media-empty", "STATE: +other"}));
  EXPECT_EQ(relay.TakeLine("state: not accepting data"), (Lines{"STATE: +other"}));
  EXPECT_EQ(relay.TakeLine("state: printing"),
            (Lines{"STATE: -other", "INFO: Printing on LPT1:"}));
  EXPECT_EQ(relay.TakeLine("state: not selected\r"), (Lines{"STATE: +offline-report"}));
  EXPECT_EQ(relay.ClearAll(), (Lines{"STATE: -offline-report"}));
  EXPECT_TRUE(relay.ClearAll().empty());
  // The next job begins without a fault: connecting, then printing, once.
  relay.Connecting("LPT2:");
  EXPECT_EQ(relay.Printing(),
            (Lines{"STATE: -connecting-to-device", "INFO: Printing on LPT2:"}));
  EXPECT_TRUE(relay.Printing().empty());
}

// Each port gets a home of its own, the same for every spelling of it,
// and one whose spool paths still fit a record line.
TEST(CupsPortHomes, OnePortOneFolderNameThatFitsARecord) {
  EXPECT_EQ(PortHomeName("LPT1:"), "LPT1");
  EXPECT_EQ(PortHomeName("lpt1"), "LPT1");
  EXPECT_EQ(PortHomeName("file:"), PortHomeName("FILE"));
  EXPECT_NE(PortHomeName("LPT1:"), PortHomeName("LPT2:"));
  // Nothing that walks out of the folder or hides it.
  EXPECT_EQ(PortHomeName("\\\\host\\share"), "%5C%5CHOST%5CSHARE");
  EXPECT_EQ(PortHomeName("../x"), "%2E%2E%2FX");
  EXPECT_EQ(PortHomeName("\\\\print.lan\\card"), "%5C%5CPRINT%2ELAN%5CCARD");
  EXPECT_EQ(PortHomeName(".hidden"), "%2EHIDDEN");
  const std::string a = PortHomeName("\\\\office-server\\badge-printer-one");
  const std::string b = PortHomeName("\\\\office-server\\badge-printer-two");
  EXPECT_EQ(a.size(), kMaxPortHomeName);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.find_first_of("/\\"), std::string::npos) << a;
}

TEST(CupsPortHomes, ThePortHomeMapsPortsAsTheSharedHomeDoes) {
  const IniSection shared = {{"LPT1:", "socket://10.0.0.7:9100"},
                             {"LPT2", "/dev/usb/lp1"},
                             {"lpt1", "/dev/never-read"}};
  // A fresh port home: the install's own LPT1 entry, and one the shared
  // home no longer has.
  const IniSection own = {{"lpt1:", "sim:/var/lib/kelvane/ports/LPT1/run/printer.sock"},
                          {"LPT3", "/dev/usb/lp2"},
                          {"lpt3:", "/dev/usb/lp2"}};
  const PortsUpdate update = UpdateOfPorts(shared, own);
  EXPECT_EQ(update.write,
            (IniSection{{"lpt1:", "socket://10.0.0.7:9100"}, {"LPT2", "/dev/usb/lp1"}}));
  EXPECT_EQ(update.remove, (std::vector<std::string>{"LPT3", "lpt3:"}));
  // Up to date: nothing is written.
  const PortsUpdate none = UpdateOfPorts(shared, {{"lpt1:", "socket://10.0.0.7:9100"},
                                                  {"LPT2", "/dev/usb/lp1"}});
  EXPECT_TRUE(none.write.empty());
  EXPECT_TRUE(none.remove.empty());
}

TEST(CupsRelay, OtherLinesAreDebugOnOneLine) {
  StatusRelay relay;
  EXPECT_EQ(relay.TakeLine("no answer: the queue is kept; trying again in 30 s"),
            (Lines{"DEBUG: no answer: the queue is kept; trying again in 30 s"}));
  EXPECT_EQ(relay.TakeLine("answer? answered by policy: ignore (after 30 s)"),
            (Lines{"DEBUG: answered by policy: ignore (after 30 s)"}));
  EXPECT_EQ(relay.TakeLine(std::string("odd\x1b[2J\0", 8)), (Lines{"DEBUG: odd [2J "}));
  EXPECT_EQ(relay.TakeLine("STATE: -paused"), (Lines{"DEBUG: STATE: -paused"}));
}

// The boxes as kelvane-headless prints them, read back by the relay.
// The spooler's question of `kind` in these words, as kelvane-headless
// writes it under --on-fault=retry=30 with nobody to answer.
std::string ConsoleBox(QuestionKind kind, const std::string& text, const std::string& caption,
                       UINT style) {
  std::istringstream nobody;
  std::ostringstream out;
  headless::ConsoleMessageBoxes boxes({headless::FaultPolicyKind::Retry, 30}, nobody, out,
                                      false, [](unsigned) { return true; });
  boxes.Ask(0, kt::Question(kind, text, caption, style));
  return out.str();
}

TEST(CupsRelay, AMessageBoxBecomesOneInfoLineWithItsText) {
  StatusRelay relay;
  const std::string box = ConsoleBox(
      QuestionKind::PortOutOfPaper, "The printer is reporting out of paper.  Check paper supply.", "Kelvane Error",
      MB_RETRYCANCEL | MB_ICONWARNING);
  EXPECT_EQ(Relay(relay, box),
            (Lines{"INFO: The printer is reporting out of paper.  Check paper supply.",
                   "DEBUG: answered by policy: retry (after 30 s)"}));
  // A text of several lines is one line; a printer's reply cannot pass for
  // a line of the box, nor for a line of ours.
  const std::string reply = ConsoleBox(QuestionKind::PrinterReport, "Printer message:\r\nbuttons: fake\r\nSTATE: +paused",
                                       "Kelvane - Printer Message", MB_OK);
  EXPECT_EQ(Relay(relay, reply),
            (Lines{"INFO: Printer message: buttons: fake STATE: +paused",
                   "DEBUG: answered by policy: none"}));
  // The port's fault questions: an empty line between the fault and what
  // the buttons do.
  const std::string question = ConsoleBox(
      QuestionKind::PortNotReady, "The printer is not selected. Make sure the cable is connected and the printer is "
      "online.\r\n\r\nAbort cancels all jobs.\r\nRetry starts current job over.",
      "Kelvane Error", MB_ABORTRETRYIGNORE | MB_ICONWARNING);
  // What the buttons would do is not said: nobody can press them there.
  EXPECT_EQ(Relay(relay, question),
            (Lines{"INFO: The printer is not selected. Make sure the cable is connected and "
                   "the printer is online.",
                   "DEBUG: answered by policy: ignore (after 30 s)"}));
  // A printer that is off or unplugged is a reason of its own.
  const std::string off = ConsoleBox(QuestionKind::PortOpenFailed, "Could not get handle to port. Spooler Error # 2",
                                     "Kelvane Error.", MB_OK);
  EXPECT_EQ(Relay(relay, off),
            (Lines{"STATE: +offline-report",
                   "INFO: The printer cannot be reached: check that it is on and connected, "
                   "and that its port is set up (Could not get handle to port. Spooler "
                   "Error # 2)",
                   "DEBUG: answered by policy: none"}));
  EXPECT_EQ(relay.ClearAll(), (Lines{"STATE: -offline-report"}));
  // A box cut short still says its text.
  EXPECT_EQ(Relay(relay, "--- message box ---\ncaption: c\ntext: half\nstate: not selected\n"),
            (Lines{"INFO: half", "STATE: +offline-report"}));
}

}  // namespace
