// Printer status replies and port fault prompts: decoding what the printer
// sends back, and putting printer trouble to the user (fault_question.h).
// Print thread (after a stalled write, on a port fault) or main thread (the
// scheduler's idle poll). Both operations block until the box is closed and
// never hold g_csSpooler of their own while a box is up.
#include "engine/printer_status.h"

#include <algorithm>
#include <cstring>

#include "app/state/spooler_state.h"
#include "engine/fault_question.h"
#include "engine/port_channel.h"
#include "platform/message_box.h"
#include "res/string_ids.h"
#include "res/string_table.h"

namespace {

constexpr BYTE kKindMessage = 0x41;  // 'A'
constexpr BYTE kKindStatus = 0x53;   // 'S'
constexpr BYTE kKindError = 0x45;    // 'E'

constexpr std::size_t kCountOffset = 3;
constexpr std::size_t kCodeOffset = 5;
constexpr std::int8_t kSilentErrorCode = 127;
constexpr std::int8_t kRibbonTypeErrorCode = 3;

// Error texts are loaded like the port prompts; the longest is far below.
constexpr int kErrorTextLoadMax = kPromptLoadMax;

// A text from `from` up to its first NUL, never past the bytes received: a
// printer that fills all 100 bytes without a NUL still gives a bounded text.
std::string TakeText(const BYTE* bytes, std::size_t size, std::size_t from) {
  if (from >= size) return {};
  const char* start = reinterpret_cast<const char*>(bytes + from);
  const std::size_t available = size - from;
  const void* nul = std::memchr(start, '\0', available);
  const std::size_t length =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - start)
          : available;
  return std::string(start, length);
}

UINT ErrorTextId(std::int8_t code) {
  switch (code) {
    case 0: return IDS_PRINTER_COMM_ERROR;
    case 1: return IDS_PRINTER_PAPER_JAM;
    case 2: return IDS_PRINTER_RIBBON_JAM;
    case 3: return IDS_PRINTER_RIBBON_TYPE;
    case 4: return IDS_PRINTER_HOOD_OPEN;
    case 5: return IDS_PRINTER_FLIPPER;
    case 6: return IDS_PRINTER_HEAD_LIFTER;
    case 80: return IDS_CUTTER_KNIFE;
    case 81: return IDS_CUTTER_CARRIAGE;
    case 82: return IDS_CUTTER_MOTOR_STALL;
    case 84: return IDS_CUTTER_DOOR_OPEN;
    default: return IDS_PRINTER_UNKNOWN_ERROR;  // 83 and negatives too
  }
}

void DecodeErrorReply(const BYTE* bytes, std::size_t size,
                      std::string_view ribbonType, StatusReplyDecision& out) {
  out.kind = StatusReplyKind::Error;
  // The count goes to the caller, who may step back that many bytes: a
  // reply cut before it gives 0 rather than a stale value.
  out.hasCount = true;
  out.count = size > kCountOffset
                  ? static_cast<std::int16_t>(
                        static_cast<std::int8_t>(bytes[kCountOffset]))
                  : 0;
  out.captionId = IDS_CAPTION_PRINTER_ERROR;
  out.caption = LoadResString(out.captionId, kCaptionLoadMax);

  if (size <= kCodeOffset) {
    // The printer did report an error, only not which: say so rather than
    // hide it or guess from bytes that never arrived.
    out.text = LoadResString(IDS_PRINTER_UNKNOWN_ERROR, kErrorTextLoadMax);
  } else {
    const auto code = static_cast<std::int8_t>(bytes[kCodeOffset]);
    if (code == kSilentErrorCode) {
      out.caption.clear();
      out.captionId = 0;
      out.result = STATUS_ERROR_SILENT;
      return;
    }
    out.text = LoadResString(ErrorTextId(code), kErrorTextLoadMax);
    if (code == kRibbonTypeErrorCode) out.text.append(ribbonType);
  }
  out.showBox = true;
  out.style = MB_OK | MB_SETFOREGROUND | MB_ICONERROR;
  out.result = STATUS_ERROR_SHOWN;
}

// Copies the job's ribbon type under the lock; the field may lack its zero
// if someone filled it carelessly, so the copy is bounded by its size.
std::string CopyRibbonType() {
  SpoolerLock lock;
  const void* nul = std::memchr(g_szRibbonType, '\0', sizeof g_szRibbonType);
  const std::size_t length =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) -
                                     g_szRibbonType)
          : sizeof g_szRibbonType;
  return std::string(g_szRibbonType, length);
}

}  // namespace

bool StatusReplyNeedsRibbonType(const BYTE* bytes, std::size_t size) {
  return size > kCodeOffset && bytes[0] == kKindError &&
         static_cast<std::int8_t>(bytes[kCodeOffset]) == kRibbonTypeErrorCode;
}

StatusReplyDecision DecodeStatusReply(const BYTE* bytes, std::size_t size,
                                      std::string_view ribbonType) {
  StatusReplyDecision out;
  if (bytes == nullptr || size == 0) return out;

  switch (bytes[0]) {
    case kKindMessage:
    case kKindStatus:
      out.kind = bytes[0] == kKindMessage ? StatusReplyKind::Message
                                          : StatusReplyKind::Status;
      out.captionId = bytes[0] == kKindMessage ? IDS_CAPTION_PRINTER_MESSAGE
                                               : IDS_CAPTION_PRINTER_STATUS;
      out.text = TakeText(bytes, size, 1);
      break;
    case kKindError:
      DecodeErrorReply(bytes, size, ribbonType, out);
      return out;
    default:
      // Printers that know no kinds send plain text: show all of it.
      out.kind = StatusReplyKind::Other;
      out.captionId = IDS_CAPTION_PRINTER_MESSAGE;
      out.text = TakeText(bytes, size, 0);
      break;
  }
  out.caption = LoadResString(out.captionId, kCaptionLoadMax);
  out.showBox = true;
  out.style = MB_OK | MB_SETFOREGROUND;
  out.result = STATUS_SHOWN;
  return out;
}

std::uint16_t QueryPrinterStatus(HANDLE port, std::int16_t& count) {
  BYTE reply[kStatusReplySize] = {};
  DWORD received = 0;
  if (!ReadPortWithTimeout(port, reply, sizeof reply, received,
                           kStatusReadTimeoutMs) ||
      received == 0) {
    return STATUS_NONE;
  }
  const std::size_t size = std::min<std::size_t>(received, sizeof reply);

  // Only the ribbon error quotes shared state; the lock is left again
  // before any box goes up.
  std::string ribbonType;
  if (StatusReplyNeedsRibbonType(reply, size)) ribbonType = CopyRibbonType();

  const StatusReplyDecision decision = DecodeStatusReply(reply, size, ribbonType);
  if (decision.hasCount) count = decision.count;
  if (decision.showBox) {
    AskFaultQuestion(0, PrinterReportNotice(decision.caption, decision.text, decision.style));
  }
  return decision.result;
}

int PromptPortError(std::int32_t code) {
  bool queueMode = false;
  {
    SpoolerLock lock;
    queueMode = g_bQueueMode != 0;
  }
  return AskFaultQuestion(0, PortFaultQuestion(code, queueMode));
}
