// Escaping user text for graphviz's labels and names.
#include "graph/graphviz_text.hpp"

#include <cstdint>

namespace tarvex::morvane::graph {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";         // U+FFFD
constexpr std::string_view kBackslashLookalike = "\xE2\xA7\xB5";  // U+29F5

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(0);
  std::size_t length = 0;
  std::uint32_t lowest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    lowest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    lowest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  std::uint32_t code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  return code < lowest || code > 0x10FFFF || surrogate ? 0 : length;
}

// Copies `text` to `out`: well-formed UTF-8 sequences as they are, stray
// bytes as U+FFFD, ASCII through `ascii`.
template <class Ascii>
void convert(std::string_view text, std::string& out, Ascii&& ascii) {
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<std::uint8_t>(text[i]) < 0x80) {
      ascii(text[i++]);
      continue;
    }
    const std::size_t length = utf8_length(text.substr(i));
    if (length == 0) {
      out += kReplacement;
      ++i;
    } else {
      out += text.substr(i, length);
      i += length;
    }
  }
}

bool is_control(char c) { return static_cast<std::uint8_t>(c) < 0x20 || c == 0x7F; }

}  // namespace

std::string html_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  convert(text, out, [&](char c) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      case '\n': out += "<BR/>"; break;
      case '\t': out += ' '; break;
      // graphviz reads \N, \G, ... in label text as the object's names; two
      // backslashes are one.
      case '\\': out += "\\\\"; break;
      default:
        if (is_control(c)) {
          out += kReplacement;
        } else {
          out += c;
        }
    }
  });
  return out;
}

std::string id_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  convert(text, out, [&](char c) {
    if (is_control(c)) {
      out += kReplacement;
    } else if (c == '\\') {
      out += kBackslashLookalike;
    } else {
      out += c;
    }
  });
  return out;
}

}  // namespace tarvex::morvane::graph
