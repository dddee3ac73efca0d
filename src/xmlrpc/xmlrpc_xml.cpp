#include "xmlrpc_xml.hpp"

#include <fmt/format.h>

#include <array>
#include <cstring>
#include <optional>

#include "framework/core/utf8.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/value.hpp"
#include "xmlrpc_codec.hpp"

namespace tarvex::xmlrpc::detail {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Bytes of character data that need more than copying: markup and
// references, line endings, "]]>", control characters and everything
// beyond ASCII (checked as UTF-8).
const std::array<bool, 256> kSpecial = [] {
  std::array<bool, 256> special{};
  for (int c = 0; c < 256; ++c) special[c] = c < 0x20 || c >= 0x80;
  special['\t'] = special['\n'] = false;
  special['&'] = special['<'] = special['\r'] = special[']'] = true;
  return special;
}();

// Bytes of names: ASCII letters, digits, "-_.:", and every byte of a
// character beyond ASCII (checked as UTF-8 separately).
const std::array<bool, 256> kNameChar = [] {
  std::array<bool, 256> name{};
  for (int c = 0; c < 256; ++c) {
    name[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
              c == '.' || c == ':' || c >= 0x80;
  }
  return name;
}();

bool is_name_char(unsigned char c) { return kNameChar[c]; }

// The name bytes that are ASCII.
const std::array<bool, 256> kAsciiName = [] {
  std::array<bool, 256> name = kNameChar;
  for (int c = 0x80; c < 256; ++c) name[c] = false;
  return name;
}();

bool is_name_start(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

// Whether a code point may appear in an XML 1.0 document.
bool is_xml_char(std::uint32_t code) {
  return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
         (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

// The character a reference's body (between "&" and ";") stands for;
// empty when it is not a reference XML defines without a DOCTYPE.
std::string resolve(std::string_view body) {
  if (body == "lt") return "<";
  if (body == "gt") return ">";
  if (body == "amp") return "&";
  if (body == "quot") return "\"";
  if (body == "apos") return "'";
  if (body.size() < 2 || body[0] != '#') return {};
  const bool hex = body[1] == 'x';
  const std::string_view digits = body.substr(hex ? 2 : 1);
  if (digits.empty() || digits.size() > 8) return {};
  std::uint32_t code = 0;
  for (const char c : digits) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return {};
    }
    code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
    if (code > 0x10FFFF) return {};
  }
  if (!is_xml_char(code)) return {};
  std::string out;
  utils::utf8::append(out, code);
  return out;
}

// The most character data that can be left unread at the end of a piece:
// a reference ("&#x10FFFF;" and a little), or a part of a character.
constexpr std::size_t kLongestCutText = 16;

// Whether `s` starts with `prefix`, or could once more bytes arrive.
bool may_start_with(std::string_view s, std::string_view prefix) {
  return s.size() < prefix.size() ? prefix.starts_with(s) : s.starts_with(prefix);
}

}  // namespace

void XmlReader::fail(std::uint64_t at, std::string_view what) const {
  throw ValueError(fmt::format("{} at byte {}", what, at));
}

void XmlReader::feed(std::string_view data) {
  // Markup left incomplete can only end with a ">": until one arrives it is
  // not scanned again, so that a document sent a byte at a time still costs
  // linear time.
  if (pending_.size() > kLongestCutText && std::memchr(data.data(), '>', data.size()) == nullptr) {
    pending_.append(data);
    if (pending_.size() > kMaxMarkup) fail(consumed_, fmt::format("markup longer than {} bytes", kMaxMarkup));
    return;
  }
  if (pending_.empty()) {
    base_ = consumed_;
    const std::size_t used = scan(data, false);
    consumed_ += used;
    pending_.assign(data.substr(used));
  } else {
    pending_.append(data);
    base_ = consumed_;
    const std::size_t used = scan(pending_, false);
    consumed_ += used;
    pending_.erase(0, used);
  }
  if (pending_.size() > kMaxMarkup) fail(consumed_, fmt::format("markup longer than {} bytes", kMaxMarkup));
}

void XmlReader::finish() {
  base_ = consumed_;
  const std::size_t used = scan(pending_, true);
  consumed_ += used;
  if (used < pending_.size()) fail(consumed_, "incomplete markup at the end of the document");
  pending_.clear();
  if (where_ == Where::Prolog) fail(consumed_, "no document element");
  if (where_ == Where::Root) fail(consumed_, fmt::format("document ends inside <{}>", innermost()));
}

std::size_t XmlReader::scan(std::string_view buf, bool final) {
  std::size_t i = 0;
  const std::size_t n = buf.size();
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (base_ == 0 && !buf.empty() && may_start_with(buf, kByteOrderMark)) {
    if (buf.size() < kByteOrderMark.size()) return final ? fail(0, "incomplete byte order mark"), 0 : 0;
    i = kByteOrderMark.size();
    byte_order_mark_ = true;
  }
  while (i < n) {
    if (buf[i] != '<') {
      // Plain text up to the next tag, by far the common case, is reported
      // as it is.
      std::size_t k = i;
      while (k < n && !kSpecial[static_cast<unsigned char>(buf[k])]) ++k;
      if (k < n && buf[k] == '<' && where_ == Where::Root) {
        events_.text(buf.substr(i, k - i));
        i = k;
        continue;
      }
      const void* found = std::memchr(buf.data() + i, '<', n - i);
      const std::size_t stop = found ? static_cast<std::size_t>(static_cast<const char*>(found) - buf.data()) : n;
      if (where_ != Where::Root) {
        for (std::size_t k = i; k < stop; ++k) {
          if (!is_space(buf[k])) fail(base_ + k, "text outside the document element");
        }
        i = stop;
        continue;
      }
      const std::size_t used = text_run(buf, i, stop, found != nullptr || final, true, true);
      if (used < stop) return used;  // an incomplete character or reference
      i = stop;
      continue;
    }
    if (i + 1 >= n) return i;
    const char next = buf[i + 1];
    if (kAsciiName[static_cast<unsigned char>(next)]) {
      // A start tag that is a plain name, by far the common case.
      std::size_t k = i + 1;
      while (k < n && kAsciiName[static_cast<unsigned char>(buf[k])]) ++k;
      if (k < n && buf[k] == '>' && where_ != Where::Epilog) {
        start_tag(buf.substr(i + 1, k - i - 1), true);
        i = k + 1;
        continue;
      }
    }
    if (next == '/') {
      const void* gt = std::memchr(buf.data() + i + 2, '>', n - i - 2);
      if (!gt) return i;
      const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(gt) - buf.data());
      if (where_ != Where::Root) fail(base_ + i, "end tag outside the document element");
      end_tag(buf.substr(i + 2, end - i - 2));
      i = end + 1;
      continue;
    }
    if (next == '?') {
      const std::size_t end = buf.find("?>", i + 2);
      if (end == std::string_view::npos) return i;
      processing_instruction(buf.substr(i + 2, end - i - 2), i);
      i = end + 2;
      continue;
    }
    if (next == '!') {
      const std::string_view rest = buf.substr(i);
      if (may_start_with(rest, "<!--") && rest.size() < 4) return i;
      if (rest.starts_with("<!--")) {
        const std::size_t end = buf.find("--", i + 4);
        if (end == std::string_view::npos || end + 2 >= n) return i;
        if (buf[end + 2] != '>') fail(base_ + end, "\"--\" inside a comment");
        text_run(buf, i + 4, end, true, false, false);
        i = end + 3;
        continue;
      }
      if (may_start_with(rest, "<![CDATA[")) {
        if (rest.size() < 9) return i;
        if (where_ != Where::Root) fail(base_ + i, "CDATA outside the document element");
        const std::size_t end = buf.find("]]>", i + 9);
        if (end == std::string_view::npos) return i;
        text_run(buf, i + 9, end, true, false, true);
        i = end + 3;
        continue;
      }
      if (may_start_with(rest, "<!DOCTYPE") && rest.size() < 9) return i;
      if (rest.starts_with("<!DOCTYPE")) fail(base_ + i, "a DOCTYPE is not allowed in XML-RPC");
      fail(base_ + i, "unexpected markup \"<!\"");
    }
    // A start tag: its end is the first ">" outside quotes (attributes,
    // which XML-RPC never has, are the only place a quote can be).
    const void* gt = std::memchr(buf.data() + i + 1, '>', n - i - 1);
    std::size_t k = gt ? static_cast<std::size_t>(static_cast<const char*>(gt) - buf.data()) : n;
    const std::string_view inside = buf.substr(i + 1, k - i - 1);
    if (inside.find_first_of("\"'<") != std::string_view::npos) {
      char quote = 0;
      for (k = i + 1; k < n; ++k) {
        const char c = buf[k];
        if (quote) {
          if (c == quote) quote = 0;
          if (c == '<') fail(base_ + k, "\"<\" in an attribute value");
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>' || c == '<') {
          break;
        }
      }
    }
    if (k >= n) return i;
    if (buf[k] == '<') fail(base_ + k, "\"<\" inside a tag");
    if (where_ == Where::Epilog) fail(base_ + i, "content after the document element");
    start_tag(buf.substr(i + 1, k - i - 1), false);
    i = k + 1;
  }
  return i;
}

// Checks the character data in buf[from, to) and, with `emit`, reports it
// with line endings normalised and (with `references`) references resolved.
// Stops early, returning where, at a character or reference that may be
// cut off by the end of the piece (unless `complete`).
std::size_t XmlReader::text_run(std::string_view buf, std::size_t from, std::size_t to, bool complete, bool references,
                                bool emit) {
  std::size_t run = from;  // start of the bytes not yet reported
  const auto flush = [&](std::size_t until) {
    if (emit && until > run) events_.text(buf.substr(run, until - run));
  };
  std::size_t i = from;
  while (i < to) {
    const auto c = static_cast<unsigned char>(buf[i]);
    if (!kSpecial[c]) {
      ++i;
      continue;
    }
    if (c == '\r') {
      if (i + 1 >= to && !complete) {
        flush(i);
        return i;
      }
      flush(i);
      if (emit) events_.text("\n");
      i += i + 1 < to && buf[i + 1] == '\n' ? 2 : 1;
      run = i;
      continue;
    }
    if (c == ']') {
      if (references) {  // in text, not CDATA: "]]>" is not allowed
        if (i + 3 > to && !complete && may_start_with(buf.substr(i, to - i), "]]>")) {
          flush(i);
          return i;
        }
        if (buf.substr(i, 3) == "]]>") fail(base_ + i, "\"]]>\" in character data");
      }
      ++i;
      continue;
    }
    if (c == '&' && references) {
      const std::size_t limit = std::min(to, i + 12);
      const std::size_t semicolon = buf.substr(0, limit).find(';', i + 1);
      if (semicolon == std::string_view::npos) {
        if (limit == to && !complete) {
          flush(i);
          return i;
        }
        fail(base_ + i, "malformed reference");
      }
      const std::string_view body = buf.substr(i + 1, semicolon - i - 1);
      const std::string resolved = resolve(body);
      if (resolved.empty()) {
        fail(base_ + i, fmt::format("undefined or invalid reference &{};", xml_safe_text(body)));
      }
      flush(i);
      if (emit) events_.text(resolved);
      i = semicolon + 1;
      run = i;
      continue;
    }
    if (c == '&' || c == '<') {  // plain characters in CDATA, comments and tags
      ++i;
      continue;
    }
    if (c >= 0x80) {
      const std::size_t length = xml_char_length(buf.substr(0, to), i);
      if (length == 0) {
        // A character cut off by the end of the piece waits for the rest.
        const std::size_t want = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (!complete && c >= 0xC2 && c <= 0xF4 && to - i < want) {
          bool continued = true;
          for (std::size_t k = i + 1; k < to; ++k) continued = continued && (buf[k] & 0xC0) == 0x80;
          if (continued) {
            flush(i);
            return i;
          }
        }
        fail(base_ + i, "invalid UTF-8 or a character XML does not allow");
      }
      i += length;
      continue;
    }
    fail(base_ + i, fmt::format("control character {:#04x} not allowed in XML", c));
  }
  flush(to);
  return to;
}

void XmlReader::start_tag(std::string_view tag, bool plain) {
  // A plain ASCII name (every tag of XML-RPC) needs no closer look.
  if (plain) {
    where_ = Where::Root;
    open_starts_.push_back(open_names_.size());
    open_names_.append(tag);
    events_.start_element(tag);
    return;
  }
  text_run(tag, 0, tag.size(), true, false, false);  // every byte a valid character
  bool empty = false;
  if (!tag.empty() && tag.back() == '/') {
    empty = true;
    tag.remove_suffix(1);
  }
  std::size_t k = 0;
  while (k < tag.size() && is_name_char(static_cast<unsigned char>(tag[k]))) ++k;
  const std::string_view name = tag.substr(0, k);
  if (name.empty() || !is_name_start(static_cast<unsigned char>(name[0]))) {
    fail(consumed_, fmt::format("malformed start tag <{}>", xml_safe_text(tag.substr(0, 64))));
  }
  // Attributes: name = "value" ..., checked and ignored.
  std::string_view rest = tag.substr(k);
  std::vector<std::string_view> attributes;
  while (!rest.empty()) {
    if (!is_space(rest[0])) fail(consumed_, fmt::format("malformed attributes in <{}>", xml_safe_text(name)));
    while (!rest.empty() && is_space(rest[0])) rest.remove_prefix(1);
    if (rest.empty()) break;
    std::size_t a = 0;
    while (a < rest.size() && is_name_char(static_cast<unsigned char>(rest[a]))) ++a;
    std::size_t e = a;
    while (e < rest.size() && is_space(rest[e])) ++e;
    if (a == 0 || e >= rest.size() || rest[e] != '=') {
      fail(consumed_, fmt::format("malformed attributes in <{}>", xml_safe_text(name)));
    }
    ++e;
    while (e < rest.size() && is_space(rest[e])) ++e;
    if (e >= rest.size() || (rest[e] != '"' && rest[e] != '\'')) {
      fail(consumed_, fmt::format("malformed attributes in <{}>", xml_safe_text(name)));
    }
    const std::size_t close = rest.find(rest[e], e + 1);
    if (close == std::string_view::npos)
      fail(consumed_, fmt::format("malformed attributes in <{}>", xml_safe_text(name)));
    rest.remove_prefix(close + 1);
  }
  where_ = Where::Root;
  if (empty) {
    events_.start_element(name);
    events_.end_element();
    if (open_starts_.empty()) where_ = Where::Epilog;
    return;
  }
  open_starts_.push_back(open_names_.size());
  open_names_.append(name);
  events_.start_element(name);
}

void XmlReader::end_tag(std::string_view tag) {
  while (!tag.empty() && is_space(tag.back())) tag.remove_suffix(1);
  const std::string_view open = innermost();
  if (open_starts_.empty() || tag != open) {
    fail(consumed_, fmt::format("end tag </{}> does not match <{}>", xml_safe_text(tag.substr(0, 64)), open));
  }
  open_names_.resize(open_starts_.back());
  open_starts_.pop_back();
  events_.end_element();
  if (open_starts_.empty()) where_ = Where::Epilog;
}

void XmlReader::processing_instruction(std::string_view body, std::size_t at) {
  std::size_t k = 0;
  while (k < body.size() && is_name_char(static_cast<unsigned char>(body[k]))) ++k;
  const std::string_view target = body.substr(0, k);
  if (target.empty() || !is_name_start(static_cast<unsigned char>(target[0]))) {
    fail(base_ + at, "malformed processing instruction");
  }
  if (k < body.size() && !is_space(body[k])) fail(base_ + at, "malformed processing instruction");
  text_run(body, 0, body.size(), true, false, false);  // the target's bytes too
  const bool reserved =
      target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l';
  if (!reserved) return;  // another processing instruction: ignored
  const bool at_start = base_ + at == (byte_order_mark_ ? 3 : 0);
  if (target != "xml" || !at_start || where_ != Where::Prolog) {
    fail(base_ + at, "an XML declaration is allowed only at the start of the document");
  }
  // version="1.x", then optionally encoding="UTF-8" and standalone="yes"
  // or "no", in that order; only UTF-8 is read.
  std::string_view rest = body.substr(3);
  const auto malformed = [&] { fail(base_ + at, "malformed XML declaration"); };
  const auto pseudo_attribute = [&](std::string_view name) -> std::optional<std::string_view> {
    std::size_t k = 0;
    while (k < rest.size() && is_space(rest[k])) ++k;
    if (k == 0 || !rest.substr(k).starts_with(name)) return std::nullopt;
    std::size_t e = k + name.size();
    while (e < rest.size() && is_space(rest[e])) ++e;
    if (e >= rest.size() || rest[e] != '=') malformed();
    ++e;
    while (e < rest.size() && is_space(rest[e])) ++e;
    if (e >= rest.size() || (rest[e] != '"' && rest[e] != '\'')) malformed();
    const std::size_t close = rest.find(rest[e], e + 1);
    if (close == std::string_view::npos) malformed();
    const std::string_view value = rest.substr(e + 1, close - e - 1);
    rest.remove_prefix(close + 1);
    return value;
  };
  const std::optional<std::string_view> version = pseudo_attribute("version");
  if (!version || version->size() < 3 || !version->starts_with("1.") ||
      version->substr(2).find_first_not_of("0123456789") != std::string_view::npos) {
    malformed();
  }
  if (const std::optional<std::string_view> encoding = pseudo_attribute("encoding")) {
    std::string name(*encoding);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name != "utf-8") {
      fail(base_ + at, fmt::format("unsupported encoding {} (XML-RPC is read as UTF-8)", py_repr(*encoding)));
    }
  }
  if (const std::optional<std::string_view> standalone = pseudo_attribute("standalone")) {
    if (*standalone != "yes" && *standalone != "no") malformed();
  }
  while (!rest.empty() && is_space(rest[0])) rest.remove_prefix(1);
  if (!rest.empty()) malformed();
}

}  // namespace tarvex::xmlrpc::detail
