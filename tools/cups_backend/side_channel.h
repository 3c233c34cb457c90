// The print service's side channel: filters and clients of the job ask the
// backend about the printer on a socket the scheduler hands it as fd 4
// (CUPS_SC_FD), and wait up to their own timeout for the answer. Here: the
// wire format of one message and the answer to each request, from a
// snapshot of what the backend knows. Pure, so both can be tested without
// a print service; the backend links no libcups, so the codes of
// cups/sidechannel.h are repeated here by value.
//
// A message, request or response alike, is
//   byte 0    command code (1..8)
//   byte 1    status code (0 in a request)
//   bytes 2-3 length of the data, big-endian, at most 65535
//   bytes 4-  the data
// and libcups reads and writes one message per read(2)/write(2).
//
// What we answer:
//   GET_CONNECTED  connected, unless the printer is known to be unreachable
//                  (the spooler reported it not selected / not opened);
//   GET_BIDI       not supported: the spooler reads the printer's replies
//                  itself, a filter gets no back channel from us;
//   GET_DEVICE_ID  OK with no data: our printers have no IEEE 1284 ID;
//   GET_STATE      online, busy while the spooler prints our job, offline,
//                  or error, with the media-empty bit, from the reasons the
//                  status relay has set;
//   DRAIN_OUTPUT   only once the printer has every byte of the job: when
//                  the spooler run has ended, OK if the job printed and
//                  IO_ERROR if it did not (a cancel included). The job is
//                  spooled whole before the spooler starts, so until our
//                  input has ended nothing of it can have reached the
//                  printer: a drain asked early waits for the job's end
//                  (the asker's own timeout may end its wait first);
//   anything else  NOT_IMPLEMENTED (soft reset, SNMP: we have no SNMP
//                  agent to ask);
//   a message shorter than its length says: BAD_MESSAGE. A message too
//   short to hold a command, or with no command we know, gets no answer:
//   a response must carry a command code, and libcups neither writes nor
//   accepts one outside 1..8.
// Any thread.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <string_view>

namespace cupsbackend {

// The descriptor the scheduler gives every filter and the backend.
inline constexpr int kSideChannelFd = 4;

// cups_sc_command_t.
enum class SideChannelCommand : unsigned char {
  SoftReset = 1,
  DrainOutput = 2,
  GetBidi = 3,
  GetDeviceId = 4,
  GetState = 5,
  SnmpGet = 6,
  SnmpGetNext = 7,
  GetConnected = 8,
};
inline constexpr unsigned char kFirstSideChannelCommand = 1;
inline constexpr unsigned char kLastSideChannelCommand = 8;

// cups_sc_status_t.
enum class SideChannelStatus : unsigned char {
  None = 0,
  Ok = 1,
  IoError = 2,
  Timeout = 3,
  NoResponse = 4,
  BadMessage = 5,
  TooBig = 6,
  NotImplemented = 7,
};

// cups_sc_state_t bits (GET_STATE's one data byte), cups_sc_bidi_t and
// cups_sc_connected_t (GET_BIDI's and GET_CONNECTED's).
inline constexpr unsigned char kSideChannelStateOffline = 0;
inline constexpr unsigned char kSideChannelStateOnline = 1;
inline constexpr unsigned char kSideChannelStateBusy = 2;
inline constexpr unsigned char kSideChannelStateError = 4;
inline constexpr unsigned char kSideChannelStateMediaLow = 16;
inline constexpr unsigned char kSideChannelStateMediaEmpty = 32;
inline constexpr unsigned char kSideChannelBidiNotSupported = 0;
inline constexpr unsigned char kSideChannelNotConnected = 0;
inline constexpr unsigned char kSideChannelConnected = 1;

inline constexpr std::size_t kSideChannelHeaderSize = 4;
inline constexpr std::size_t kSideChannelMaxData = 65535;
// The most one read of the socket needs to hold a whole message.
inline constexpr std::size_t kSideChannelMaxMessage = kSideChannelHeaderSize + kSideChannelMaxData;

struct SideChannelRequest {
  enum class Kind {
    Request,       // a whole message with a known command
    Malformed,     // a known command, but fewer data bytes than its length says
    Unanswerable,  // too short for a header, or a command we do not know
  };
  Kind kind = Kind::Unanswerable;
  unsigned char command = 0;  // the code as sent (a SideChannelCommand when known)
  std::string data;
};

// Takes the first message from `bytes`, what one read of the socket gave,
// and returns how many bytes it used: a header and its data, so several
// messages that came in one read are taken one by one. A message shorter
// than its length, or one that cannot be framed, takes all of `bytes`:
// nothing after it can be told apart. Empty `bytes` take nothing.
std::size_t DecodeSideChannelRequest(std::string_view bytes, SideChannelRequest& request);

// One response message; "" when `command` is outside 1..8 or `data` is
// longer than a message holds (libcups writes no such message).
std::string EncodeSideChannelResponse(unsigned char command, SideChannelStatus status,
                                      std::string_view data = {});

// What the backend knows when a request comes.
enum class SideChannelJobEnd {
  Running,     // the spooler run has not ended (or not begun)
  Printed,     // the run ended with the job printed: the printer has it all
  NotPrinted,  // it ended otherwise: failed, given up, refused, cancelled
};
struct SideChannelSnapshot {
  std::set<std::string> reasons;  // "media-empty", "offline-report", "other"
  bool printing = false;          // the spooler runs our job now
  SideChannelJobEnd end = SideChannelJobEnd::Running;
};

struct SideChannelAnswer {
  enum class When {
    Now,       // send it
    AtJobEnd,  // DRAIN_OUTPUT before the job ended: ask again at its end
    Never,     // no response can be written
  };
  When when = When::Now;
  SideChannelStatus status = SideChannelStatus::Ok;
  std::string data;
};

// The answer to `request` given `snapshot` (see the table above).
SideChannelAnswer AnswerSideChannelRequest(const SideChannelRequest& request,
                                           const SideChannelSnapshot& snapshot);

}  // namespace cupsbackend
