// Writing Values as block-style YAML.  The text is appended to one string;
// strings are written plain unless a YAML 1.1 loader would read them as
// something else or they are not valid plain scalars, and then
// double-quoted with escapes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "framework/core/utf8.hpp"
#include "framework/yaml/yaml_scalar.hpp"
#include "tarvex/fd.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::utils::yaml {
namespace {

// Keys longer than this are written as explicit `? key` entries: YAML
// readers accept implicit keys of limited length only.
constexpr std::size_t kMaxImplicitKeyLength = 128;

// Per-byte facts that decide how a string is written.
enum CharClass : unsigned char {
  kPlainSafe = 0,
  kNeedsQuotes = 1,    // control characters, DEL, non-ASCII: always quoted
  kBadFirst = 2,       // indicators that cannot start a plain scalar
  kContextual = 4,     // ':' and '#', harmful next to a space or at an end
  kResolverStart = 8,  // may begin a scalar that reads as a non-string
};

constexpr std::array<unsigned char, 256> make_char_classes() {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = kNeedsQuotes;
  for (int c = 0x7F; c < 0x100; ++c) table[c] = kNeedsQuotes;
  for (const char c : std::string_view("-?:,[]{}#&*!|>'\"%@`")) table[static_cast<unsigned char>(c)] |= kBadFirst;
  table[static_cast<unsigned char>(':')] |= kContextual;
  table[static_cast<unsigned char>('#')] |= kContextual;
  for (const char c : std::string_view("~nNyYtTfFoO<=+-.0123456789")) {
    table[static_cast<unsigned char>(c)] |= kResolverStart;
  }
  return table;
}

constexpr std::array<unsigned char, 256> kCharClasses = make_char_classes();

bool needs_quotes(std::string_view text) {
  if (text.empty()) return true;
  const auto cls = [](char c) { return kCharClasses[static_cast<unsigned char>(c)]; };
  const unsigned char first = cls(text.front());
  if ((first & kBadFirst) || text.front() == ' ' || text.back() == ' ' || text.back() == ':') return true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = cls(text[i]);
    if (c == kPlainSafe) continue;
    if (c & kNeedsQuotes) return true;
    if (c & kContextual) {
      // ": " starts a value and " #" a comment.
      if (text[i] == ':' && i + 1 < text.size() && text[i + 1] == ' ') return true;
      if (text[i] == '#' && i > 0 && text[i - 1] == ' ') return true;
    }
  }
  // `...` at the start of a line ends the document (`---` starts with an
  // indicator and is quoted above).
  if (text.starts_with("...")) return true;
  if (first & kResolverStart) return scalar::resolve(text) != scalar::Plain::Str;
  return false;
}

void append_hex_escape(std::string& out, char letter, unsigned value, int digits) {
  char buffer[12];
  std::snprintf(buffer, sizeof buffer, "\\%c%0*X", letter, digits, value);
  out += buffer;
}

void append_double_quoted(std::string& out, std::string_view text) {
  out += '"';
  std::size_t run = 0;  // start of the bytes not yet copied
  std::size_t pos = 0;
  const auto flush = [&] { out.append(text.data() + run, pos - run); };
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
      ++pos;
      continue;
    }
    if (byte >= 0x80) {
      char32_t code_point = 0;
      const std::size_t length = utf8::decode(text, pos, code_point);
      if (length == 0) {
        throw YAMLError("cannot write a string that is not valid UTF-8 (byte " + std::to_string(byte) + " at offset " +
                        std::to_string(pos) + "): " + py_repr(text));
      }
      // Readers refuse C1 controls and non-characters, fold U+0085,
      // U+2028 and U+2029 as line breaks, and may drop a byte order mark;
      // everything else stays as it is.
      const bool escape = code_point <= 0x9F || code_point == 0x2028 || code_point == 0x2029 || code_point == 0xFEFF ||
                          code_point == 0xFFFE || code_point == 0xFFFF;
      if (escape) {
        flush();
        if (code_point <= 0xFF) {
          append_hex_escape(out, 'x', code_point, 2);
        } else {
          append_hex_escape(out, 'u', code_point, 4);
        }
        run = pos + length;
      }
      pos += length;
      continue;
    }
    flush();
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\0': out += "\\0"; break;
      case '\a': out += "\\a"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\v': out += "\\v"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case 0x1B: out += "\\e"; break;
      default: append_hex_escape(out, 'x', byte, 2); break;
    }
    ++pos;
    run = pos;
  }
  flush();
  out += '"';
}

void append_string(std::string& out, std::string_view text) {
  if (needs_quotes(text)) {
    append_double_quoted(out, text);
  } else {
    out += text;
  }
}

// Shortest digits that read back to the same double, always with a '.' and
// a signed exponent so that YAML 1.1 loaders read a float.
void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += ".nan";
    return;
  }
  if (std::isinf(value)) {
    out += value > 0 ? ".inf" : "-.inf";
    return;
  }
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  const std::string_view digits(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t exponent = digits.find('e');
  const std::string_view mantissa = digits.substr(0, exponent);
  out += mantissa;
  if (mantissa.find('.') == std::string_view::npos) out += ".0";
  if (exponent != std::string_view::npos) out += digits.substr(exponent);  // to_chars writes e+NN / e-NN
}

void append_int(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// Order of keys of different kinds: null, booleans, numbers, strings.
int key_rank(const Value& key) {
  switch (key.kind()) {
    case Value::Kind::None: return 0;
    case Value::Kind::Bool: return 1;
    case Value::Kind::Int:
    case Value::Kind::Float: return 2;
    default: return 3;
  }
}

bool key_less(const Value& a, const Value& b) {
  const int rank_a = key_rank(a);
  const int rank_b = key_rank(b);
  if (rank_a != rank_b) return rank_a < rank_b;
  switch (rank_a) {
    case 0: return false;
    case 1: return !a.as_bool() && b.as_bool();
    case 2: {
      if (a.is_int() && b.is_int()) return a.as_int() < b.as_int();
      // long double holds every int64 exactly; NaN sorts after all numbers.
      const long double x = a.is_int() ? static_cast<long double>(a.as_int()) : a.as_float();
      const long double y = b.is_int() ? static_cast<long double>(b.as_int()) : b.as_float();
      if (std::isnan(x) || std::isnan(y)) return !std::isnan(x) && std::isnan(y);
      return x < y;
    }
    default:
      if (a.is_str() && b.is_str()) return a.as_str() < b.as_str();
      return a.str() < b.str();
  }
}

// Writes one document.  `entries_` is a stack of sort buffers shared by
// all mappings of the document, so sorting keys allocates nothing once
// the stack has grown to the document's needs.
// How much text a piecewise dump gathers before handing it on.
constexpr std::size_t kDumpPieceBytes = 256 * 1024;

class BlockWriter {
 public:
  // Without a sink, the whole text is left in `out`; with one, `out` is
  // handed to it whenever an entry ends with more than a piece's worth in
  // it (never inside an entry, whose key may still be rewritten).
  using Sink = std::function<void(std::string_view)>;
  explicit BlockWriter(std::string& out, const Sink* sink = nullptr) : out_(out), sink_(sink) {}

  void finish() {
    if (sink_ && !out_.empty()) (*sink_)(out_);
    out_.clear();
  }

  void document(const Value& value) {
    if (is_block(value)) {
      block(value, 0, false);
    } else {
      scalar(value);
      out_ += '\n';
    }
  }

 private:
  static bool is_block(const Value& value) {
    return (value.is_map() && !value.as_map().empty()) || (value.is_list() && !value.as_list().empty());
  }

  void indent(std::size_t width) { out_.append(width, ' '); }

  // Scalars and empty collections, which fit on the line of their key or
  // dash.
  void scalar(const Value& value) {
    switch (value.kind()) {
      case Value::Kind::None: out_ += "null"; break;
      case Value::Kind::Bool: out_ += value.as_bool() ? "true" : "false"; break;
      case Value::Kind::Int: append_int(out_, value.as_int()); break;
      case Value::Kind::Float: append_float(out_, value.as_float()); break;
      case Value::Kind::Str: append_string(out_, value.as_str()); break;
      case Value::Kind::Class: append_string(out_, value.str()); break;
      case Value::Kind::List: out_ += "[]"; break;
      case Value::Kind::Map: out_ += "{}"; break;
    }
  }

  // A non-empty collection whose lines are indented by `width`.  With
  // `inline_first`, the first line continues a line already written (after
  // "- " or ": ").
  void block(const Value& value, std::size_t width, bool inline_first) {
    if (value.is_list()) {
      sequence(value.as_list(), width, inline_first);
    } else {
      mapping(value.as_map(), width, inline_first);
    }
  }

  void sequence(const List& list, std::size_t width, bool inline_first) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (i > 0 || !inline_first) indent(width);
      out_ += "- ";
      nested_item(list[i], width + 2);
      entry_done();
    }
  }

  void entry_done() {
    if (sink_ && out_.size() >= kDumpPieceBytes) {
      (*sink_)(out_);
      out_.clear();
    }
  }

  // An item written right after "- ", "? " or ": ": a block continues on
  // the same line at the item's indentation.
  void nested_item(const Value& value, std::size_t width) {
    if (is_block(value)) {
      block(value, width, true);
    } else {
      scalar(value);
      out_ += '\n';
    }
  }

  void mapping(const Map& map, std::size_t width, bool inline_first) {
    const std::size_t base = entries_.size();
    for (const auto& entry : map) entries_.push_back(&entry);
    std::stable_sort(entries_.begin() + static_cast<std::ptrdiff_t>(base), entries_.end(),
                     [](const Map::value_type* a, const Map::value_type* b) { return key_less(a->first, b->first); });
    // Indexing, not iterators: nested mappings grow the shared stack.
    for (std::size_t i = base; i < base + map.size(); ++i) {
      const auto& [key, value] = *entries_[i];
      if (i > base || !inline_first) indent(width);
      const std::size_t key_start = out_.size();
      scalar(key);
      if (out_.size() - key_start <= kMaxImplicitKeyLength) {
        out_ += ':';
        if (value.is_map() && !value.as_map().empty()) {
          out_ += '\n';
          mapping(value.as_map(), width + 2, false);
        } else if (value.is_list() && !value.as_list().empty()) {
          // Sequences in mappings are not indented further, as the
          // reference dumpers write them.
          out_ += '\n';
          sequence(value.as_list(), width, false);
        } else {
          out_ += ' ';
          scalar(value);
          out_ += '\n';
        }
      } else {
        out_.insert(key_start, "? ");
        out_ += '\n';
        indent(width);
        out_ += ": ";
        nested_item(value, width + 2);
      }
      entry_done();
    }
    entries_.resize(base);
  }

  std::string& out_;
  const Sink* sink_;
  std::vector<const Map::value_type*> entries_;
};

}  // namespace

std::string dump(const Value& value) {
  std::string out;
  BlockWriter(out).document(value);
  return out;
}

void dump(const Value& value, const std::function<void(std::string_view piece)>& write) {
  std::string out;
  out.reserve(kDumpPieceBytes + kDumpPieceBytes / 4);
  BlockWriter writer(out, &write);
  writer.document(value);
  writer.finish();
}

void dump_file(const Value& value, const std::string& path) {
  // The text is made before the file is opened, so that a value that
  // cannot be written leaves an existing file as it was.
  const std::string text = dump(value);
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) raise_os_error(errno, path);
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = ::write(fd.get(), text.data() + written, text.size() - written);
    if (count < 0) {
      if (errno == EINTR) continue;
      raise_os_error(errno, path);
    }
    written += static_cast<std::size_t>(count);
  }
  // A full disk may show only when the file is closed.
  if (::close(fd.release()) != 0) raise_os_error(errno, path);
}

}  // namespace tarvex::utils::yaml
