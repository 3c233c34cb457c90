// Escaping of box texts for kelvane-headless's terminal. Any thread.
#include "app/headless/console_text.h"

#include <cstdio>

namespace headless {
namespace {

void AppendHex(std::string& out, unsigned char byte) {
  char code[5];
  std::snprintf(code, sizeof code, "\\x%02x", byte);
  out += code;
}

// Length of the valid UTF-8 sequence at `i`, 0 when there is none.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  unsigned int min = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  unsigned int code = lead & (0xFF >> (length + 1));
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  if (code >= 0x80 && code <= 0x9F) return 0;  // C1 controls: escaped byte by byte
  return length;
}

}  // namespace

std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\\') {
      out += "\\\\";
      ++i;
    } else if (byte == 0x1B) {
      out += "\\e";
      ++i;
    } else if (byte == '\t' || (byte >= 0x20 && byte < 0x7F)) {
      out += static_cast<char>(byte);
      ++i;
    } else if (byte < 0x80) {
      AppendHex(out, byte);  // the other C0 controls and DEL
      ++i;
    } else if (const std::size_t length = Utf8Length(text, i); length > 0) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      AppendHex(out, byte);
      ++i;
    }
  }
  return out;
}

std::string FormatConsoleText(std::string_view label, std::string_view text) {
  std::string out(label);
  const std::string indent(label.size(), ' ');
  std::size_t start = 0;
  bool first = true;
  for (;;) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (!first) out += "\n" + indent;
    out += EscapeControls(text.substr(start, end == std::string_view::npos ? end : end - start));
    first = false;
    if (end == std::string_view::npos) break;
    // CR LF is one line break; a lone CR or LF is one too.
    start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
  return out;
}

}  // namespace headless
