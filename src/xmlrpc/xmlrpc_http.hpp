// The small part of HTTP/1.1 that the XML-RPC transport speaks: message
// heads (start line and header fields), Content-Length, Basic credentials
// and reason phrases.  Bodies are always delimited by Content-Length; both
// sides close the connection after one exchange.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvex::xmlrpc::detail {

// Longest message head either side accepts; XML-RPC heads are a few hundred
// bytes, so anything near this is not a client of ours.
inline constexpr std::size_t kMaxHeadBytes = 64 * 1024;

// A parsed message head: the start line and the header fields in order,
// with field names lower-cased (HTTP field names are case-insensitive).
struct HttpHead {
  std::string start_line;
  std::vector<std::pair<std::string, std::string>> fields;

  // The value of the first field called `lower_name`, or nullptr.
  const std::string* field(std::string_view lower_name) const;
};

// The offset just past the empty line that ends a message head in `data`
// (CRLF CRLF, or bare LF LF from lenient peers), or npos.  `from` is where
// the previous search stopped, so that a head arriving in pieces is scanned
// once.
std::size_t find_head_end(std::string_view data, std::size_t from = 0);

// Parses a complete head (as delimited by find_head_end); nullopt with
// `error` set when it is not well-formed.
std::optional<HttpHead> parse_head(std::string_view head, std::string& error);

// The body length a head announces: nullopt when there is no Content-Length
// field; `error` set (and nullopt) when the field is malformed or given
// twice with different values.
std::optional<std::uint64_t> content_length(const HttpHead& head, std::string& error);

// Basic authentication: the credentials field value for `user`/`password`,
// and the password of a received field value (nullopt when the value is not
// Basic credentials).
std::string basic_credentials(std::string_view user, std::string_view password);
std::optional<std::string> basic_password(std::string_view field_value);

std::string base64_encode(std::string_view bytes);
std::optional<std::string> base64_decode(std::string_view text);

// The standard reason phrase of the statuses this transport sends.
const char* reason_phrase(int status);

}  // namespace tarvex::xmlrpc::detail
