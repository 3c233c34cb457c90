// libFuzzer entry point for the status reply decoder: the input is what one
// read from the port delivered (cut to the 100-byte reply buffer, as the
// read is). The decoder must never read past the input and its decision
// must hang together. Fuzzer thread only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/printer_status.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size > kStatusReplySize) size = kStatusReplySize;
  constexpr std::string_view kRibbon = "YMCKO Half Panel";
  const StatusReplyDecision d = DecodeStatusReply(data, size, kRibbon);

  if (size == 0) {
    Require(d.kind == StatusReplyKind::None && !d.showBox &&
            d.result == STATUS_NONE);
    return 0;
  }
  Require(d.kind != StatusReplyKind::None);
  Require(d.result == STATUS_SHOWN || d.result == STATUS_ERROR_SHOWN ||
          d.result == STATUS_ERROR_SILENT);
  Require(d.showBox == (d.result != STATUS_ERROR_SILENT));
  Require(d.hasCount == (d.kind == StatusReplyKind::Error));
  Require(d.text.find('\0') == std::string::npos);
  if (d.kind == StatusReplyKind::Error) {
    Require(d.count >= -128 && d.count <= 127);
    if (size < 4) Require(d.count == 0);
  } else {
    // A reply's text comes from the reply and nowhere else.
    Require(d.text.size() <= size);
    Require(std::string_view(reinterpret_cast<const char*>(data), size)
                .find(d.text) != std::string_view::npos);
  }
  if (d.showBox) {
    Require(!d.caption.empty() && d.caption.size() < 40);
    Require((d.style & MB_SETFOREGROUND) != 0);
  }
  (void)StatusReplyNeedsRibbonType(data, size);
  return 0;
}
