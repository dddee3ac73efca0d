#include "framework/yaml/yaml_simple_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "framework/yaml/yaml_scalar.hpp"

namespace tarvex::utils::yaml {
namespace {

// Thrown inside the reader when the document leaves the subset it reads.
struct NotSimple {};

[[noreturn]] void not_simple() { throw NotSimple{}; }

// Nesting beyond this is left to the general parser, which enforces the
// real limit; it keeps this reader's recursion shallow.
constexpr int kMaxDepth = 64;

// Plain keys longer than this are left to the general parser, which
// refuses implicit keys of more than 1024 characters.
constexpr std::size_t kMaxKeyLength = 1000;

constexpr std::size_t kChunk = 256 * 1024;

// A line that holds content: its indentation and its text from the first
// non-space character, trailing spaces removed.
struct Line {
  std::size_t indent = 0;
  std::string_view text;
};

// Splits the input into content lines, skipping blank and comment-only
// lines.  Any byte other than printable ASCII and \n (tabs, \r, control
// characters, non-ASCII) ends the input and marks it unusable.
class LineSource {
 public:
  explicit LineSource(std::string_view text) : data_(text.data()), end_(text.size()), done_(true) {}
  LineSource(int fd, std::uint64_t max_bytes) : fd_(fd), max_bytes_(max_bytes) {
    buffer_.resize(kChunk);
    data_ = buffer_.data();
  }

  bool unusable() const { return unusable_; }

  // The next content line; false at the end.  The line's text stays valid
  // until the next call.
  bool next(Line& line) {
    while (true) {
      std::size_t stop = pos_;
      while (true) {
        while (stop < end_) {
          const auto c = static_cast<unsigned char>(data_[stop]);
          if (c == '\n') break;
          if (c < 0x20 || c > 0x7E) {
            unusable_ = true;
            return false;
          }
          ++stop;
        }
        if (stop < end_ || done_) break;
        stop -= pos_;
        if (!read_more()) return false;
        stop += pos_;
      }
      if (pos_ == end_ && done_) return false;
      std::size_t start = pos_;
      pos_ = stop < end_ ? stop + 1 : stop;
      std::size_t indent = 0;
      while (start < stop && data_[start] == ' ') ++start, ++indent;
      while (stop > start && data_[stop - 1] == ' ') --stop;
      if (start == stop || data_[start] == '#') continue;
      line.indent = indent;
      line.text = std::string_view(data_ + start, stop - start);
      return true;
    }
  }

 private:
  // Moves the unread bytes to the front and reads more after them.
  bool read_more() {
    const std::size_t left = end_ - pos_;
    std::memmove(buffer_.data(), buffer_.data() + pos_, left);
    pos_ = 0;
    end_ = left;
    if (buffer_.size() - end_ < kChunk / 2) buffer_.resize(buffer_.size() * 2);
    data_ = buffer_.data();
    while (true) {
      const ssize_t count = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) {
        unusable_ = true;  // the general parser reports the error
        return false;
      }
      if (count == 0) {
        done_ = true;
        return true;
      }
      total_ += static_cast<std::uint64_t>(count);
      if (total_ > max_bytes_) {
        unusable_ = true;
        return false;
      }
      end_ += static_cast<std::size_t>(count);
      return true;
    }
  }

  int fd_ = -1;
  std::uint64_t max_bytes_ = 0;
  std::uint64_t total_ = 0;
  std::vector<char> buffer_;
  const char* data_ = nullptr;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool done_ = false;
  bool unusable_ = false;
};

bool is_sequence_entry(std::string_view text) { return text == "-" || text.starts_with("- "); }

std::string_view trim_left(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return text;
}

std::string_view trim_right(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// Whether `text` (trimmed) is a plain scalar this reader reads the way the
// general parser does.  In flow collections, ':' and '#' are refused
// altogether (they may start entries and comments there).
bool simple_plain(std::string_view text, bool in_flow) {
  if (text.empty()) return false;
  const char first = text.front();
  if (std::strchr("?:,[]{}#&*!|>'\"%@`", first)) return false;
  if (first == '-' && (text.size() == 1 || text[1] == ' ')) return false;
  if (text.back() == ':') return false;
  if (text.find(": ") != std::string_view::npos || text.find(" #") != std::string_view::npos) return false;
  if (in_flow && text.find_first_of(",[]{}#:") != std::string_view::npos) return false;
  return true;
}

// The typed value of a plain scalar; `<<` as a key (a merge) and numbers
// that cannot be built are left to the general parser.
Value typed_plain(std::string_view text, bool is_key) {
  switch (scalar::resolve(text)) {
    case scalar::Plain::Null: return Value();
    case scalar::Plain::Bool: {
      bool value = false;
      scalar::to_bool(text, value);
      return Value(value);
    }
    case scalar::Plain::Int: {
      std::int64_t value = 0;
      if (scalar::to_int(text, value) != scalar::IntResult::Ok) not_simple();
      return Value(value);
    }
    case scalar::Plain::Float: {
      double value = 0;
      if (!scalar::to_float(text, value)) not_simple();
      return Value(value);
    }
    case scalar::Plain::Merge:
      if (is_key) not_simple();
      break;
    case scalar::Plain::Timestamp:
    case scalar::Plain::ValueKey:
    case scalar::Plain::Str: break;
  }
  return Value(std::string(text));
}

// What may follow a quoted scalar or a flow collection on its line:
// nothing, or a comment.
void expect_line_end(std::string_view rest) {
  if (rest.empty()) return;
  if (rest.front() != ' ' || trim_left(rest).front() != '#') not_simple();
}

// (Whether it refuses duplicate keys is a template parameter, so that the
// reader that does not pays nothing for it on each key.)
template <bool kRefuseDuplicateKeys>
class SimpleReader {
 public:
  explicit SimpleReader(LineSource& lines) : lines_(lines) {}

  std::optional<Value> read() {
    try {
      if (!advance()) return finish(Value());
      if (line_.indent == 0 && line_.text == "---") {
        // An explicit start of the (only) document.
        first_ = false;
        if (!advance()) return finish(Value());
      }
      Value document = block(line_.indent, 0);
      if (have_line_) not_simple();
      return finish(std::move(document));
    } catch (const NotSimple&) {
      return std::nullopt;
    }
  }

 private:
  std::optional<Value> finish(Value value) {
    if (lines_.unusable()) return std::nullopt;
    return value;
  }

  bool advance() {
    have_line_ = lines_.next(line_);
    // Document markers and directives are left to the general parser.
    if (have_line_ && line_.indent == 0 &&
        ((line_.text.starts_with("---") && !first_) || line_.text.starts_with("...") || line_.text[0] == '%')) {
      not_simple();
    }
    if (have_line_ && line_.indent == 0 && line_.text.starts_with("---") && line_.text != "---") not_simple();
    first_ = false;
    return have_line_;
  }

  Value block(std::size_t indent, int depth) {
    if (depth > kMaxDepth) not_simple();
    return is_sequence_entry(line_.text) ? sequence(indent, depth) : mapping(indent, depth);
  }

  Value mapping(std::size_t indent, int depth) {
    Map map;
    while (true) {
      const std::string_view text = line_.text;
      if (is_sequence_entry(text)) not_simple();
      std::string_view key_text;
      std::string_view rest;
      const std::size_t colon = text.find(": ");
      if (colon != std::string_view::npos) {
        key_text = text.substr(0, colon);
        rest = text.substr(colon + 2);
      } else if (text.back() == ':') {
        key_text = text.substr(0, text.size() - 1);
      } else {
        not_simple();
      }
      key_text = trim_right(key_text);
      if (key_text.size() > kMaxKeyLength || !simple_plain(key_text, false)) not_simple();
      Value key = typed_plain(key_text, true);
      Value value = entry_value(trim_left(rest), indent, depth, true);
      insert(map, std::move(key), std::move(value));
      if (!have_line_ || line_.indent < indent) break;
      if (line_.indent > indent) not_simple();
    }
    return Value(std::move(map));
  }

  Value sequence(std::size_t indent, int depth) {
    List list;
    while (true) {
      const std::string_view after_dash = line_.text.substr(1);
      const std::string_view rest = trim_left(after_dash);
      if (rest.empty() || rest.front() == '#') {
        list.push_back(entry_value({}, indent, depth, false));
      } else if (is_sequence_entry(rest) || looks_like_entry(rest)) {
        // A collection that starts on the dash's line, at the column of
        // its first character.
        const std::size_t column = indent + 1 + (after_dash.size() - rest.size());
        line_ = Line{column, rest};
        list.push_back(block(column, depth + 1));
      } else {
        list.push_back(entry_value(rest, indent, depth, false));
      }
      if (!have_line_ || line_.indent < indent) break;
      if (line_.indent > indent) not_simple();
      // A mapping entry at the sequence's own column belongs to the
      // mapping the sequence is the value of (or is an error it reports).
      if (!is_sequence_entry(line_.text)) break;
    }
    return Value(std::move(list));
  }

  static void insert(Map& map, Value&& key, Value&& value) {
    if constexpr (kRefuseDuplicateKeys) {
      const std::size_t before = map.size();
      map.insert_or_assign(std::move(key), std::move(value));
      if (map.size() == before) not_simple();
    } else {
      map.insert_or_assign(std::move(key), std::move(value));
    }
  }

  // Whether the text after a dash starts a mapping: a plain key and ':'.
  static bool looks_like_entry(std::string_view text) {
    if (text.front() == '"' || text.front() == '\'' || text.front() == '[' || text.front() == '{') return false;
    return text.find(": ") != std::string_view::npos || text.back() == ':';
  }

  // The value after `key: ` or `- ` (left-trimmed), and the lines that
  // belong to it; leaves the next line current.
  Value entry_value(std::string_view rest, std::size_t indent, int depth, bool in_mapping) {
    if (rest.empty() || rest.front() == '#') {
      if (!advance()) return Value();
      if (line_.indent > indent) return block(line_.indent, depth + 1);
      // A sequence may sit at its key's own column.
      if (in_mapping && line_.indent == indent && is_sequence_entry(line_.text)) return sequence(indent, depth + 1);
      return Value();
    }
    Value value = inline_value(rest);
    // A deeper line after a scalar continues it or is an error: either
    // way the general parser decides.
    if (advance() && line_.indent > indent) not_simple();
    return value;
  }

  static Value inline_value(std::string_view text) {
    switch (text.front()) {
      case '[': return flow(text, ']');
      case '{': return flow(text, '}');
      case '"':
      case '\'': {
        const std::size_t close = text.find(text.front(), 1);
        if (close == std::string_view::npos) not_simple();
        const std::string_view inner = text.substr(1, close - 1);
        // Escapes (and '' in single quotes) are left to the general parser.
        if (text.front() == '"' && inner.find('\\') != std::string_view::npos) not_simple();
        expect_line_end(text.substr(close + 1));
        return Value(std::string(inner));
      }
      default: {
        const std::size_t comment = text.find(" #");
        const std::string_view plain = trim_right(text.substr(0, comment));
        if (!simple_plain(plain, false)) not_simple();
        return typed_plain(plain, false);
      }
    }
  }

  // A flow sequence or mapping of plain scalars, on one line.
  static Value flow(std::string_view text, char close_char) {
    const std::size_t close = text.find(close_char);
    if (close == std::string_view::npos) not_simple();
    expect_line_end(text.substr(close + 1));
    const std::string_view inner = text.substr(1, close - 1);
    const bool is_map = close_char == '}';
    List list;
    Map map;
    if (!trim_left(inner).empty()) {
      std::size_t start = 0;
      while (true) {
        const std::size_t comma = inner.find(',', start);
        const std::string_view item = trim_right(trim_left(inner.substr(start, comma - start)));
        if (is_map) {
          const std::size_t colon = item.find(": ");
          if (colon == std::string_view::npos) not_simple();
          const std::string_view key = trim_right(item.substr(0, colon));
          const std::string_view value = trim_left(item.substr(colon + 2));
          if (!simple_plain(key, true) || !simple_plain(value, true)) not_simple();
          insert(map, typed_plain(key, true), typed_plain(value, false));
        } else {
          if (!simple_plain(item, true)) not_simple();
          list.push_back(typed_plain(item, false));
        }
        if (comma == std::string_view::npos) break;
        start = comma + 1;
      }
    }
    return is_map ? Value(std::move(map)) : Value(std::move(list));
  }

  LineSource& lines_;
  Line line_;
  bool have_line_ = false;
  bool first_ = true;
};

std::optional<Value> read(LineSource& lines, bool refuse_duplicate_keys) {
  return refuse_duplicate_keys ? SimpleReader<true>(lines).read() : SimpleReader<false>(lines).read();
}

}  // namespace

std::optional<Value> read_simple_yaml(std::string_view text, bool refuse_duplicate_keys) {
  LineSource lines(text);
  return read(lines, refuse_duplicate_keys);
}

std::optional<Value> read_simple_yaml(int fd, std::uint64_t max_bytes, bool refuse_duplicate_keys) {
  LineSource lines(fd, max_bytes);
  return read(lines, refuse_duplicate_keys);
}

}  // namespace tarvex::utils::yaml
