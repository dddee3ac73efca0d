#include "yaml_quoted_scalar.hpp"

namespace tarvex::utils::yaml::baseline {
namespace {

bool is_break(char c) { return c == '\n' || c == '\r'; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// Folds one quoted scalar.  The structure follows the YAML scanner's:
// runs of non-blank text alternate with runs of blanks and line breaks.
class Folder {
 public:
  Folder(std::string_view text, std::size_t pos) : text_(text), pos_(pos + 1), quote_(text[pos]) {}

  bool run(std::string& out) {
    if (!non_blanks(out)) return false;
    while (pos_ < text_.size() && text_[pos_] != quote_) {
      if (!blanks(out) || !non_blanks(out)) return false;
    }
    return pos_ < text_.size();
  }

 private:
  bool at_end() const { return pos_ >= text_.size(); }

  void skip_break() { pos_ += text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n' ? 2 : 1; }

  // Empty lines after a line break: each becomes a line feed; the
  // indentation of the line that ends them is dropped.
  void empty_lines(std::string& out) {
    while (true) {
      while (!at_end() && is_blank(text_[pos_])) ++pos_;
      if (at_end() || !is_break(text_[pos_])) return;
      skip_break();
      out += '\n';
    }
  }

  bool non_blanks(std::string& out) {
    const bool double_quoted = quote_ == '"';
    while (true) {
      const std::size_t start = pos_;
      while (!at_end() && text_[pos_] != '\'' && text_[pos_] != '"' && text_[pos_] != '\\' && !is_blank(text_[pos_]) &&
             !is_break(text_[pos_])) {
        ++pos_;
      }
      out.append(text_, start, pos_ - start);
      if (at_end()) return false;
      const char c = text_[pos_];
      if (!double_quoted && c == '\'' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\'') {
        out += '\'';
        pos_ += 2;
      } else if ((double_quoted && c == '\'') || (!double_quoted && (c == '"' || c == '\\'))) {
        out += c;
        ++pos_;
      } else if (double_quoted && c == '\\') {
        if (!escape(out)) return false;
      } else {
        return true;
      }
    }
  }

  bool escape(std::string& out) {
    ++pos_;
    if (at_end()) return false;
    const char c = text_[pos_];
    const char* simple = nullptr;
    switch (c) {
      case '0': out += '\0'; break;
      case 'a': simple = "\a"; break;
      case 'b': simple = "\b"; break;
      case 't':
      case '\t': simple = "\t"; break;
      case 'n': simple = "\n"; break;
      case 'v': simple = "\v"; break;
      case 'f': simple = "\f"; break;
      case 'r': simple = "\r"; break;
      case 'e': simple = "\x1b"; break;
      case ' ': simple = " "; break;
      case '"': simple = "\""; break;
      case '/': simple = "/"; break;
      case '\\': simple = "\\"; break;
      case 'N': simple = "\xc2\x85"; break;
      case '_': simple = "\xc2\xa0"; break;
      case 'L': simple = "\xe2\x80\xa8"; break;
      case 'P': simple = "\xe2\x80\xa9"; break;
      case 'x': return code_point(out, 2);
      case 'u': return code_point(out, 4);
      case 'U': return code_point(out, 8);
      case '\n':
      case '\r':
        // An escaped line break joins the lines without a space.
        skip_break();
        empty_lines(out);
        return true;
      default: return false;
    }
    if (simple) out += simple;
    ++pos_;
    return true;
  }

  bool code_point(std::string& out, std::size_t digits) {
    ++pos_;
    if (pos_ + digits > text_.size()) return false;
    char32_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
      const int digit = hex_value(text_[pos_ + i]);
      if (digit < 0) return false;
      value = value * 16 + static_cast<char32_t>(digit);
    }
    if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    append_utf8(out, value);
    pos_ += digits;
    return true;
  }

  // Blanks and line breaks between two runs of text: blanks within a line
  // are kept; a single line break becomes a space; a line break followed
  // by empty lines becomes one line feed per empty line.
  bool blanks(std::string& out) {
    const std::size_t start = pos_;
    while (!at_end() && is_blank(text_[pos_])) ++pos_;
    if (at_end()) return false;
    if (!is_break(text_[pos_])) {
      out.append(text_, start, pos_ - start);
      return true;
    }
    skip_break();
    const std::size_t before = out.size();
    empty_lines(out);
    if (out.size() == before) out += ' ';
    return true;
  }

  std::string_view text_;
  std::size_t pos_;
  char quote_;
};

}  // namespace

QuotedScalar read_quoted_scalar(std::string_view text, std::size_t pos) {
  QuotedScalar result;
  if (pos >= text.size() || (text[pos] != '\'' && text[pos] != '"')) return result;
  const char quote = text[pos];
  // A first pass finds the closing quote and whether a line break comes
  // before it.
  bool spans_lines = false;
  std::size_t end = pos + 1;
  while (end < text.size()) {
    const char c = text[end];
    if (c == quote) {
      if (quote == '\'' && end + 1 < text.size() && text[end + 1] == '\'') {
        end += 2;
        continue;
      }
      break;
    }
    if (quote == '"' && c == '\\') {
      if (end + 1 < text.size() && is_break(text[end + 1])) spans_lines = true;
      end += 2;
      continue;
    }
    if (is_break(c)) spans_lines = true;
    ++end;
  }
  if (end >= text.size()) {
    result.status = QuotedScalar::Status::Unterminated;
    return result;
  }
  if (!spans_lines) {
    result.status = QuotedScalar::Status::OneLine;
    return result;
  }
  if (Folder(text, pos).run(result.value)) result.status = QuotedScalar::Status::Folded;
  return result;
}

}  // namespace tarvex::utils::yaml::baseline
