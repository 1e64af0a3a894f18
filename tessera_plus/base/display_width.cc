#include "tessera_plus/base/display_width.h"

#include <cstdint>

namespace tessera_plus {
namespace {

struct Decoded {
  char32_t code;
  std::size_t length;  // bytes
};

// One character; a byte that starts no valid sequence counts as one character of its own.
Decoded decode(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  const std::size_t length = lead < 0x80         ? 1
                             : lead >> 5 == 0x6  ? 2
                             : lead >> 4 == 0xe  ? 3
                             : lead >> 3 == 0x1e ? 4
                                                 : 1;
  if (length == 1 || length > text.size()) return {lead, 1};
  char32_t code = lead & (0x7f >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0) != 0x80) return {lead, 1};
    code = (code << 6) | (byte(i) & 0x3f);
  }
  return {code, length};
}

bool zero_width(char32_t c) {
  return (c >= 0x0300 && c <= 0x036f) || (c >= 0x200b && c <= 0x200f) || c == 0xfeff;
}

// East Asian Wide and Fullwidth blocks, as terminals draw them.
bool wide(char32_t c) {
  return (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0x303e) ||
         (c >= 0x3041 && c <= 0x33ff) || (c >= 0x3400 && c <= 0x4dbf) ||
         (c >= 0x4e00 && c <= 0x9fff) || (c >= 0xa000 && c <= 0xa4cf) ||
         (c >= 0xac00 && c <= 0xd7a3) || (c >= 0xf900 && c <= 0xfaff) ||
         (c >= 0xfe30 && c <= 0xfe4f) || (c >= 0xff00 && c <= 0xff60) ||
         (c >= 0xffe0 && c <= 0xffe6) || (c >= 0x1f300 && c <= 0x1f64f) ||
         (c >= 0x20000 && c <= 0x3fffd);
}

std::size_t columns_of(char32_t c) { return zero_width(c) ? 0 : wide(c) ? 2 : 1; }

}  // namespace

std::size_t display_width(std::string_view text) {
  std::size_t columns = 0;
  while (!text.empty()) {
    const Decoded d = decode(text);
    columns += columns_of(d.code);
    text.remove_prefix(d.length);
  }
  return columns;
}

std::string cut_to_width(std::string_view text, std::size_t columns) {
  std::size_t used = 0, bytes = 0;
  while (bytes < text.size()) {
    const Decoded d = decode(text.substr(bytes));
    if (used + columns_of(d.code) > columns) break;
    used += columns_of(d.code);
    bytes += d.length;
  }
  return std::string(text.substr(0, bytes));
}

}  // namespace tessera_plus
