// Decoding and encoding of single UTF-8 sequences, shared by the YAML reader
// (which repairs the few escapes the parser encodes wrongly and turns UTF-16
// files into UTF-8), the YAML writer (which must escape the code points a YAML
// reader refuses or folds) and the XML-RPC decoder (which resolves character
// references).
#pragma once

#include <cstddef>
#include <string>
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

// Appends the UTF-8 form of `code_point` to `out`. The caller has checked the
// value: a Unicode scalar value (no surrogate, nothing beyond U+10FFFF).
inline void append(std::string& out, char32_t code_point) {
  const auto byte = [&](char32_t bits) { out += static_cast<char>(bits); };
  if (code_point < 0x80) {
    byte(code_point);
  } else if (code_point < 0x800) {
    byte(0xC0 | (code_point >> 6));
    byte(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    byte(0xE0 | (code_point >> 12));
    byte(0x80 | ((code_point >> 6) & 0x3F));
    byte(0x80 | (code_point & 0x3F));
  } else {
    byte(0xF0 | (code_point >> 18));
    byte(0x80 | ((code_point >> 12) & 0x3F));
    byte(0x80 | ((code_point >> 6) & 0x3F));
    byte(0x80 | (code_point & 0x3F));
  }
}

}  // namespace tarvex::utils::utf8
