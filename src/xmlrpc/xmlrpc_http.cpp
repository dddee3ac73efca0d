#include "xmlrpc_http.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace tarvex::xmlrpc::detail {

namespace {

bool is_token_char(char c) {
  static constexpr std::string_view kSpecials = "!#$%&'*+-.^_`|~";
  return std::isalnum(static_cast<unsigned char>(c)) || kSpecials.find(c) != std::string_view::npos;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

const std::string* HttpHead::field(std::string_view lower_name) const {
  for (const auto& [name, value] : fields) {
    if (name == lower_name) return &value;
  }
  return nullptr;
}

std::size_t find_head_end(std::string_view data, std::size_t from) {
  // Back up over a line ending that may have been split between two reads.
  std::size_t pos = from > 3 ? from - 3 : 0;
  while ((pos = data.find('\n', pos)) != std::string_view::npos) {
    if (pos + 1 < data.size() && data[pos + 1] == '\n') return pos + 2;
    if (pos + 2 < data.size() && data[pos + 1] == '\r' && data[pos + 2] == '\n') return pos + 3;
    ++pos;
  }
  return std::string_view::npos;
}

std::optional<HttpHead> parse_head(std::string_view head, std::string& error) {
  HttpHead out;
  bool first = true;
  while (!head.empty()) {
    const std::size_t eol = head.find('\n');
    std::string_view line = head.substr(0, eol);
    head.remove_prefix(eol == std::string_view::npos ? head.size() : eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      if (first) {
        error = "empty start line";
        return std::nullopt;
      }
      break;  // the blank line that ends the head
    }
    if (first) {
      out.start_line = std::string(line);
      first = false;
      continue;
    }
    if (line.front() == ' ' || line.front() == '\t') {
      error = "folded header line";  // obsolete line folding, refused as RFC 9112 allows
      return std::nullopt;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon), is_token_char)) {
      error = "malformed header line";
      return std::nullopt;
    }
    out.fields.emplace_back(lower(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
  }
  if (first) {
    error = "empty message head";
    return std::nullopt;
  }
  return out;
}

std::optional<std::uint64_t> content_length(const HttpHead& head, std::string& error) {
  std::optional<std::uint64_t> length;
  for (const auto& [name, value] : head.fields) {
    if (name != "content-length") continue;
    std::uint64_t parsed = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), parsed);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size()) {
      error = "malformed Content-Length";
      return std::nullopt;
    }
    if (length && *length != parsed) {
      error = "conflicting Content-Length fields";
      return std::nullopt;
    }
    length = parsed;
  }
  return length;
}

std::string basic_credentials(std::string_view user, std::string_view password) {
  std::string pair(user);
  pair += ':';
  pair += password;
  return "Basic " + base64_encode(pair);
}

std::optional<std::string> basic_password(std::string_view field_value) {
  field_value = trim(field_value);
  const std::size_t space = field_value.find(' ');
  if (space == std::string_view::npos || lower(field_value.substr(0, space)) != "basic") return std::nullopt;
  const std::optional<std::string> pair = base64_decode(trim(field_value.substr(space + 1)));
  if (!pair) return std::nullopt;
  const std::size_t colon = pair->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return pair->substr(colon + 1);
}

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = static_cast<std::uint8_t>(bytes[i]) << 16 | static_cast<std::uint8_t>(bytes[i + 1]) << 8 |
                            static_cast<std::uint8_t>(bytes[i + 2]);
    out += kBase64Alphabet[n >> 18];
    out += kBase64Alphabet[(n >> 12) & 63];
    out += kBase64Alphabet[(n >> 6) & 63];
    out += kBase64Alphabet[n & 63];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    std::uint32_t n = static_cast<std::uint8_t>(bytes[i]) << 16;
    if (rest == 2) n |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
    out += kBase64Alphabet[n >> 18];
    out += kBase64Alphabet[(n >> 12) & 63];
    out += rest == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  static const std::array<int, 256> kValues = [] {
    std::array<int, 256> values{};
    values.fill(-1);
    for (std::size_t i = 0; i < kBase64Alphabet.size(); ++i)
      values[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<int>(i);
    return values;
  }();
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const int value = kValues[static_cast<unsigned char>(c)];
    if (value < 0) return std::nullopt;
    bits = bits << 6 | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

const char* reason_phrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    default: return "Unknown";
  }
}

}  // namespace tarvex::xmlrpc::detail
