// The CUPS backend's side channel: the bytes of a request and a response
// as libcups reads and writes them, and the answer to each request from
// what the backend knows.
// Test thread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/cups_backend/backend_ops.h"
#include "tools/cups_backend/side_channel.h"

namespace {

using namespace cupsbackend;
using namespace std::string_literals;
using Kind = SideChannelRequest::Kind;
using When = SideChannelAnswer::When;

// A header and its data. (Built with append: GCC 12 misreads `"..."s + s`
// of long strings at -O1 as an overread.)
std::string Message(const std::string& header, const std::string& data) {
  std::string message = header;
  message.append(data);
  return message;
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text += digits[byte >> 4];
    text += digits[byte & 15];
    text += ' ';
  }
  return text;
}

TEST(CupsSideChannelDecode, TakesOneMessageAsLibcupsFramesIt) {
  const std::string oid = ".1.3.6.1.2.1.43\0"s;
  const std::string big(0x0102, 'd');  // a length with both bytes set
  struct Case {
    const char* what;
    std::string bytes;
    std::size_t used;
    Kind kind;
    unsigned char command;
    std::string data;
  } cases[] = {
      {"nothing", "", 0, Kind::Unanswerable, 0, ""},
      {"one byte", "\x08"s, 1, Kind::Unanswerable, 0, ""},
      {"three bytes", "\x08\x00\x00"s, 3, Kind::Unanswerable, 0, ""},
      {"GET_CONNECTED", "\x08\x00\x00\x00"s, 4, Kind::Request, 8, ""},
      {"DRAIN_OUTPUT", "\x02\x00\x00\x00"s, 4, Kind::Request, 2, ""},
      {"SOFT_RESET", "\x01\x00\x00\x00"s, 4, Kind::Request, 1, ""},
      {"SNMP_GET with its OID", Message("\x06\x00\x00\x10"s, oid), 20, Kind::Request, 6, oid},
      {"a status byte in a request is passed over", "\x05\x07\x00\x00"s, 4, Kind::Request, 5, ""},
      {"a length of 258 is big-endian", Message("\x04\x00\x01\x02"s, big), 4 + big.size(),
       Kind::Request, 4, big},
      {"command 0", "\x00\x00\x00\x00"s, 4, Kind::Unanswerable, 0, ""},
      {"command 9", "\x09\x00\x00\x00"s, 4, Kind::Unanswerable, 9, ""},
      {"command 255", "\xff\x00\x00\x00"s, 4, Kind::Unanswerable, 255, ""},
      {"fewer data bytes than the length", "\x05\x00\x00\x02x"s, 5, Kind::Malformed, 5, ""},
      {"a length of 256 with one byte", "\x06\x00\x01\x00x"s, 5, Kind::Malformed, 6, ""},
      {"two requests in one read: the first", "\x08\x00\x00\x00\x03\x00\x00\x00"s, 4,
       Kind::Request, 8, ""},
      {"a request and the start of another", "\x03\x00\x00\x00\x05\x00"s, 4, Kind::Request, 3,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SideChannelRequest request;
    request.data = "left from before";
    EXPECT_EQ(DecodeSideChannelRequest(c.bytes, request), c.used);
    EXPECT_EQ(request.kind, c.kind);
    EXPECT_EQ(request.command, c.command);
    EXPECT_EQ(request.data, c.data);
  }
}

TEST(CupsSideChannelDecode, MessagesOfOneReadAreTakenOneByOne) {
  const std::string read = "\x08\x00\x00\x00" "\x06\x00\x00\x03.1\0" "\x05\x00\x00\x00"s;
  std::vector<unsigned char> commands;
  std::vector<std::string> data;
  std::string_view rest = read;
  SideChannelRequest request;
  while (std::size_t used = DecodeSideChannelRequest(rest, request)) {
    ASSERT_EQ(request.kind, Kind::Request);
    commands.push_back(request.command);
    data.push_back(request.data);
    rest.remove_prefix(used);
  }
  EXPECT_EQ(commands, (std::vector<unsigned char>{8, 6, 5}));
  EXPECT_EQ(data, (std::vector<std::string>{"", ".1\0"s, ""}));
}

TEST(CupsSideChannelEncode, WritesTheBytesLibcupsReads) {
  const std::string largest(kSideChannelMaxData, 'z');
  struct Case {
    const char* what;
    unsigned char command;
    SideChannelStatus status;
    std::string data;
    std::string bytes;
  } cases[] = {
      {"connected", 8, SideChannelStatus::Ok, "\x01"s, "\x08\x01\x00\x01\x01"s},
      {"no back channel", 3, SideChannelStatus::Ok, "\x00"s, "\x03\x01\x00\x01\x00"s},
      {"drained", 2, SideChannelStatus::Ok, "", "\x02\x01\x00\x00"s},
      {"not drained", 2, SideChannelStatus::IoError, "", "\x02\x02\x00\x00"s},
      {"no SNMP", 6, SideChannelStatus::NotImplemented, "", "\x06\x07\x00\x00"s},
      {"a bad message", 5, SideChannelStatus::BadMessage, "", "\x05\x05\x00\x00"s},
      {"a device ID of 300 bytes", 4, SideChannelStatus::Ok, std::string(300, 'M'),
       Message("\x04\x01\x01\x2c"s, std::string(300, 'M'))},
      {"the most data a message holds", 4, SideChannelStatus::Ok, largest,
       Message("\x04\x01\xff\xff"s, largest)},
      {"one byte more", 4, SideChannelStatus::Ok, largest + "z", ""},
      {"command 0", 0, SideChannelStatus::BadMessage, "", ""},
      {"command 9", 9, SideChannelStatus::Ok, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bytes = EncodeSideChannelResponse(c.command, c.status, c.data);
    EXPECT_EQ(bytes.size(), c.bytes.size());
    EXPECT_TRUE(bytes == c.bytes) << Hex(bytes.substr(0, 8)) << "instead of "
                                  << Hex(c.bytes.substr(0, 8));
  }
}

TEST(CupsSideChannelAnswers, EachRequestGetsTheAnswerOfWhatTheBackendKnows) {
  const SideChannelSnapshot idle;  // waiting for the lock, or spooling
  SideChannelSnapshot printing;
  printing.printing = true;
  SideChannelSnapshot offline = printing;
  offline.reasons = {"offline-report"};
  SideChannelSnapshot noCards = printing;
  noCards.reasons = {"media-empty"};
  SideChannelSnapshot stalled = printing;
  stalled.reasons = {"other"};
  SideChannelSnapshot noCardsIdle;
  noCardsIdle.reasons = {"media-empty"};
  SideChannelSnapshot printed;
  printed.end = SideChannelJobEnd::Printed;
  SideChannelSnapshot failed;
  failed.end = SideChannelJobEnd::NotPrinted;
  SideChannelSnapshot failedOffline = failed;
  failedOffline.reasons = {"offline-report"};

  const auto one = [](unsigned char byte) { return std::string(1, static_cast<char>(byte)); };
  using S = SideChannelStatus;
  struct Case {
    const char* what;
    unsigned char command;
    Kind kind;
    const SideChannelSnapshot& snapshot;
    When when;
    SideChannelStatus status;
    std::string data;
  } cases[] = {
      {"connected while waiting", 8, Kind::Request, idle, When::Now, S::Ok, one(1)},
      {"connected while printing", 8, Kind::Request, printing, When::Now, S::Ok, one(1)},
      {"connected without cards", 8, Kind::Request, noCards, When::Now, S::Ok, one(1)},
      {"not connected when unreachable", 8, Kind::Request, offline, When::Now, S::Ok, one(0)},
      {"no back channel", 3, Kind::Request, printing, When::Now, S::Ok, one(0)},
      {"no back channel offline", 3, Kind::Request, offline, When::Now, S::Ok, one(0)},
      {"no device ID", 4, Kind::Request, idle, When::Now, S::Ok, ""},
      {"online while waiting", 5, Kind::Request, idle, When::Now, S::Ok, one(1)},
      {"online and busy while printing", 5, Kind::Request, printing, When::Now, S::Ok, one(3)},
      {"offline", 5, Kind::Request, offline, When::Now, S::Ok, one(0)},
      {"out of cards while printing", 5, Kind::Request, noCards, When::Now, S::Ok,
       one(1 | 2 | 32)},
      {"out of cards, not printing", 5, Kind::Request, noCardsIdle, When::Now, S::Ok,
       one(1 | 32)},
      {"stalled", 5, Kind::Request, stalled, When::Now, S::Ok, one(1 | 2 | 4)},
      {"online once the job printed", 5, Kind::Request, printed, When::Now, S::Ok, one(1)},
      {"a drain before the job ends waits", 2, Kind::Request, idle, When::AtJobEnd, S::Ok, ""},
      {"a drain while printing waits", 2, Kind::Request, printing, When::AtJobEnd, S::Ok, ""},
      {"drained: printed", 2, Kind::Request, printed, When::Now, S::Ok, ""},
      {"not drained: not printed", 2, Kind::Request, failed, When::Now, S::IoError, ""},
      {"not drained: unreachable", 2, Kind::Request, failedOffline, When::Now, S::IoError, ""},
      {"no soft reset", 1, Kind::Request, printing, When::Now, S::NotImplemented, ""},
      {"no SNMP get", 6, Kind::Request, printing, When::Now, S::NotImplemented, ""},
      {"no SNMP get-next", 7, Kind::Request, printing, When::Now, S::NotImplemented, ""},
      {"a malformed GET_STATE", 5, Kind::Malformed, printing, When::Now, S::BadMessage, ""},
      {"a malformed drain is answered at once", 2, Kind::Malformed, idle, When::Now,
       S::BadMessage, ""},
      {"an unknown command", 9, Kind::Unanswerable, idle, When::Never, S::Ok, ""},
      {"a scrap", 0, Kind::Unanswerable, idle, When::Never, S::Ok, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SideChannelRequest request;
    request.kind = c.kind;
    request.command = c.command;
    const SideChannelAnswer answer = AnswerSideChannelRequest(request, c.snapshot);
    EXPECT_EQ(answer.when, c.when);
    if (c.when != When::Now) continue;
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(Hex(answer.data), Hex(c.data));
  }
}

// What the spooler said last is what GET_STATE and GET_CONNECTED answer
// while it prints: the relay's reasons are the backend's snapshot.
TEST(CupsSideChannelAnswers, FollowTheReasonsTheRelaySets) {
  struct Case {
    const char* line;
    unsigned char state;
    unsigned char connected;
  } cases[] = {
      {"state: printing", 1 | 2, 1},
      {"state: out of paper", 1 | 2 | 32, 1},
      {"state: not selected", 0, 0},
      {"state: stalled", 1 | 2 | 4, 1},
      {"state: not accepting data", 1 | 2 | 4, 1},
      {"state: out of paper", 1 | 2 | 32, 1},  // replaces "other"
      {"state: printing", 1 | 2, 1},
  };
  StatusRelay relay;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    relay.TakeLine(c.line);
    SideChannelSnapshot snapshot;
    snapshot.reasons = relay.Reasons();
    snapshot.printing = true;
    SideChannelRequest request;
    request.kind = Kind::Request;
    request.command = static_cast<unsigned char>(SideChannelCommand::GetState);
    EXPECT_EQ(Hex(AnswerSideChannelRequest(request, snapshot).data), Hex(std::string(1, c.state)));
    request.command = static_cast<unsigned char>(SideChannelCommand::GetConnected);
    EXPECT_EQ(Hex(AnswerSideChannelRequest(request, snapshot).data),
              Hex(std::string(1, c.connected)));
  }
}

}  // namespace
