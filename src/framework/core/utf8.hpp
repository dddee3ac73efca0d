// Decoding of single UTF-8 sequences, shared by the YAML reader (which
// repairs the few escapes the parser encodes wrongly) and the YAML writer
// (which must escape the code points a YAML reader refuses or folds).
#pragma once

#include <cstddef>
#include <string_view>

namespace tarvex::utils::utf8 {

// Decodes the well-formed UTF-8 sequence starting at `text[pos]` into
// `code_point` and returns its length in bytes, or 0 when the bytes there are
// not a well-formed sequence (stray continuation byte, truncated sequence,
// overlong form, surrogate, or a value beyond U+10FFFF).
inline std::size_t decode(std::string_view text, std::size_t pos, char32_t& code_point) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  code_point = value;
  return length;
}

}  // namespace tarvex::utils::utf8
