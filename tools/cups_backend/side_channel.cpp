// The side channel's wire format and answers (side_channel.h).
// Any thread.
#include "tools/cups_backend/side_channel.h"

namespace cupsbackend {

namespace {

bool IsKnownCommand(unsigned char command) {
  return command >= kFirstSideChannelCommand && command <= kLastSideChannelCommand;
}

SideChannelAnswer Answer(SideChannelStatus status, std::string data = {}) {
  SideChannelAnswer answer;
  answer.status = status;
  answer.data = std::move(data);
  return answer;
}

unsigned char PrinterState(const SideChannelSnapshot& snapshot) {
  const auto has = [&](const char* reason) { return snapshot.reasons.count(reason) > 0; };
  // Offline is the absence of the online bit: a printer we cannot reach
  // is neither online nor busy with our job.
  if (has("offline-report")) return kSideChannelStateOffline;
  unsigned char state = kSideChannelStateOnline;
  if (snapshot.printing) state |= kSideChannelStateBusy;
  // Out of cards: the printer is on and waits for them, which is no error.
  if (has("media-empty")) state |= kSideChannelStateMediaEmpty;
  // Stalled, or not taking data: something the printer cannot get past.
  if (has("other")) state |= kSideChannelStateError;
  return state;
}

}  // namespace

std::size_t DecodeSideChannelRequest(std::string_view bytes, SideChannelRequest& request) {
  request = SideChannelRequest{};
  if (bytes.empty()) return 0;
  if (bytes.size() < kSideChannelHeaderSize) return bytes.size();
  request.command = static_cast<unsigned char>(bytes[0]);
  if (!IsKnownCommand(request.command)) return bytes.size();
  const std::size_t length = (static_cast<std::size_t>(static_cast<unsigned char>(bytes[2])) << 8) |
                             static_cast<unsigned char>(bytes[3]);
  if (length > bytes.size() - kSideChannelHeaderSize) {
    request.kind = SideChannelRequest::Kind::Malformed;
    return bytes.size();
  }
  // The request's status byte means nothing; libcups sends 0 and reads
  // past it too.
  request.kind = SideChannelRequest::Kind::Request;
  request.data.assign(bytes.substr(kSideChannelHeaderSize, length));
  return kSideChannelHeaderSize + length;
}

std::string EncodeSideChannelResponse(unsigned char command, SideChannelStatus status,
                                      std::string_view data) {
  if (!IsKnownCommand(command) || data.size() > kSideChannelMaxData) return "";
  std::string message(kSideChannelHeaderSize, '\0');
  message[0] = static_cast<char>(command);
  message[1] = static_cast<char>(status);
  message[2] = static_cast<char>((data.size() >> 8) & 0xFF);
  message[3] = static_cast<char>(data.size() & 0xFF);
  message.append(data);
  return message;
}

SideChannelAnswer AnswerSideChannelRequest(const SideChannelRequest& request,
                                           const SideChannelSnapshot& snapshot) {
  using Kind = SideChannelRequest::Kind;
  if (request.kind == Kind::Unanswerable || !IsKnownCommand(request.command)) {
    SideChannelAnswer none;
    none.when = SideChannelAnswer::When::Never;
    return none;
  }
  if (request.kind == Kind::Malformed) return Answer(SideChannelStatus::BadMessage);

  switch (static_cast<SideChannelCommand>(request.command)) {
    case SideChannelCommand::GetConnected: {
      const bool unreachable = snapshot.reasons.count("offline-report") > 0;
      return Answer(SideChannelStatus::Ok,
                    std::string(1, static_cast<char>(unreachable ? kSideChannelNotConnected
                                                                 : kSideChannelConnected)));
    }
    case SideChannelCommand::GetBidi:
      return Answer(SideChannelStatus::Ok,
                    std::string(1, static_cast<char>(kSideChannelBidiNotSupported)));
    case SideChannelCommand::GetDeviceId:
      return Answer(SideChannelStatus::Ok);
    case SideChannelCommand::GetState:
      return Answer(SideChannelStatus::Ok,
                    std::string(1, static_cast<char>(PrinterState(snapshot))));
    case SideChannelCommand::DrainOutput:
      switch (snapshot.end) {
        case SideChannelJobEnd::Printed:
          return Answer(SideChannelStatus::Ok);
        case SideChannelJobEnd::NotPrinted:
          return Answer(SideChannelStatus::IoError);
        case SideChannelJobEnd::Running: {
          SideChannelAnswer later;
          later.when = SideChannelAnswer::When::AtJobEnd;
          return later;
        }
      }
      break;
    case SideChannelCommand::SoftReset:
    case SideChannelCommand::SnmpGet:
    case SideChannelCommand::SnmpGetNext:
      break;
  }
  return Answer(SideChannelStatus::NotImplemented);
}

}  // namespace cupsbackend
