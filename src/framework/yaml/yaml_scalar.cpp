#include "yaml_scalar.hpp"

#include <charconv>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

namespace tarvex::utils::yaml::scalar {
namespace {

constexpr std::size_t npos = std::string_view::npos;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_digit_or_underscore(char c) { return is_digit(c) || c == '_'; }
bool is_sign(char c) { return c == '+' || c == '-'; }

bool is_one_of(std::string_view text, std::initializer_list<std::string_view> words) {
  for (const std::string_view word : words) {
    if (text == word) return true;
  }
  return false;
}

template <class Pred>
std::size_t skip(std::string_view text, std::size_t pos, Pred pred) {
  while (pos < text.size() && pred(text[pos])) ++pos;
  return pos;
}

template <class Pred>
bool all_of(std::string_view text, Pred pred) {
  return skip(text, 0, pred) == text.size();
}

// Consumes one or more base-60 groups (`:5`, `:05`, `:59`) starting at `pos`
// and returns the position after them, or npos when there is none.  A group
// holds one digit, or two when the first is 0-5; taking two digits whenever
// two follow is always right, since a group must be followed by ':' or by
// whatever ends the number, never by a digit.
std::size_t skip_base60_groups(std::string_view text, std::size_t pos) {
  std::size_t groups = 0;
  while (pos < text.size() && text[pos] == ':') {
    ++pos;
    if (pos >= text.size() || !is_digit(text[pos])) return npos;
    if (pos + 1 < text.size() && is_digit(text[pos + 1])) {
      if (text[pos] > '5') return npos;
      pos += 2;
    } else {
      pos += 1;
    }
    ++groups;
  }
  return groups ? pos : npos;
}

// An optional exponent with a mandatory sign (`e+3`, `E-05`) running to the
// end of the text.
bool exponent_ends_text(std::string_view text, std::size_t pos) {
  if (pos == text.size()) return true;
  if (text[pos] != 'e' && text[pos] != 'E') return false;
  if (pos + 2 >= text.size() || !is_sign(text[pos + 1])) return false;
  return skip(text, pos + 2, is_digit) == text.size();
}

bool is_int(std::string_view text) {
  const std::string_view body = text.substr(is_sign(text[0]) ? 1 : 0);
  if (body.empty()) return false;
  if (body.size() > 2 && body[0] == '0' && body[1] == 'b') {
    return all_of(body.substr(2), [](char c) { return c == '0' || c == '1' || c == '_'; });
  }
  if (body.size() > 2 && body[0] == '0' && body[1] == 'x') {
    return all_of(body.substr(2),
                  [](char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '_'; });
  }
  if (body == "0") return true;
  if (body[0] == '0') return all_of(body.substr(1), [](char c) { return (c >= '0' && c <= '7') || c == '_'; });
  if (!is_digit(body[0])) return false;
  const std::size_t end = skip(body, 1, is_digit_or_underscore);
  return end == body.size() || skip_base60_groups(body, end) == body.size();
}

bool is_float(std::string_view text) {
  const bool signed_ = is_sign(text[0]);
  const std::string_view body = text.substr(signed_ ? 1 : 0);
  if (body.empty()) return false;
  if (is_one_of(body, {".inf", ".Inf", ".INF"})) return true;
  if (body[0] == '.') {
    // `.5` and `.nan` take no sign.
    if (signed_) return false;
    if (is_one_of(body, {".nan", ".NaN", ".NAN"})) return true;
    if (body.size() < 2 || !is_digit(body[1])) return false;
    return exponent_ends_text(body, skip(body, 2, is_digit_or_underscore));
  }
  if (!is_digit(body[0])) return false;
  std::size_t pos = skip(body, 1, is_digit_or_underscore);
  if (pos < body.size() && body[pos] == '.') {
    return exponent_ends_text(body, skip(body, pos + 1, is_digit_or_underscore));
  }
  pos = skip_base60_groups(body, pos);
  if (pos == npos || pos >= body.size() || body[pos] != '.') return false;
  return skip(body, pos + 1, is_digit_or_underscore) == body.size();
}

// `2001-12-14`, or a date and time such as `2001-12-14t21:59:43.10-05:00`
// or `2001-12-14 21:59:43.10 Z`.
bool is_timestamp(std::string_view text) {
  const auto digits_at = [&](std::size_t pos, std::size_t count) {
    if (pos + count > text.size()) return false;
    for (std::size_t i = pos; i < pos + count; ++i) {
      if (!is_digit(text[i])) return false;
    }
    return true;
  };
  // One or two digits; returns the position after them or npos.
  const auto one_or_two_digits = [&](std::size_t pos) {
    if (!digits_at(pos, 1)) return npos;
    return digits_at(pos + 1, 1) ? pos + 2 : pos + 1;
  };
  if (!digits_at(0, 4) || text.size() < 5 || text[4] != '-') return false;
  if (text.size() == 10 && digits_at(5, 2) && text[7] == '-' && digits_at(8, 2)) return true;

  std::size_t pos = one_or_two_digits(5);
  if (pos == npos || pos >= text.size() || text[pos] != '-') return false;
  pos = one_or_two_digits(pos + 1);
  if (pos == npos || pos >= text.size()) return false;
  if (text[pos] == 'T' || text[pos] == 't') {
    ++pos;
  } else if (text[pos] == ' ' || text[pos] == '\t') {
    pos = skip(text, pos, [](char c) { return c == ' ' || c == '\t'; });
  } else {
    return false;
  }
  pos = one_or_two_digits(pos);
  if (pos == npos || pos >= text.size() || text[pos] != ':' || !digits_at(pos + 1, 2)) return false;
  pos += 3;
  if (pos >= text.size() || text[pos] != ':' || !digits_at(pos + 1, 2)) return false;
  pos += 3;
  if (pos < text.size() && text[pos] == '.') pos = skip(text, pos + 1, is_digit);
  if (pos == text.size()) return true;

  pos = skip(text, pos, [](char c) { return c == ' ' || c == '\t'; });
  if (pos < text.size() && text[pos] == 'Z') return pos + 1 == text.size();
  if (pos >= text.size() || !is_sign(text[pos])) return false;
  pos = one_or_two_digits(pos + 1);
  if (pos == npos) return false;
  if (pos < text.size() && text[pos] == ':') {
    if (!digits_at(pos + 1, 2)) return false;
    pos += 3;
  }
  return pos == text.size();
}

std::string without_underscores(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c != '_') out += c;
  }
  return out;
}

int digit_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// Accumulates `digits` in `base` onto `magnitude`; false on a bad digit or
// when the magnitude leaves 64 bits.
IntResult accumulate(std::string_view digits, int base, std::uint64_t& magnitude) {
  if (digits.empty()) return IntResult::Invalid;
  for (const char c : digits) {
    const int digit = digit_value(c);
    if (digit >= base) return IntResult::Invalid;
    if (__builtin_mul_overflow(magnitude, static_cast<std::uint64_t>(base), &magnitude) ||
        __builtin_add_overflow(magnitude, static_cast<std::uint64_t>(digit), &magnitude)) {
      return IntResult::Overflow;
    }
  }
  return IntResult::Ok;
}

}  // namespace

Plain resolve(std::string_view text) {
  if (text.empty()) return Plain::Null;
  switch (text[0]) {
    case '~': return text.size() == 1 ? Plain::Null : Plain::Str;
    case 'n':
    case 'N':
      if (is_one_of(text, {"null", "Null", "NULL"})) return Plain::Null;
      return is_one_of(text, {"no", "No", "NO"}) ? Plain::Bool : Plain::Str;
    case 'y':
    case 'Y': return is_one_of(text, {"yes", "Yes", "YES"}) ? Plain::Bool : Plain::Str;
    case 't':
    case 'T': return is_one_of(text, {"true", "True", "TRUE"}) ? Plain::Bool : Plain::Str;
    case 'f':
    case 'F': return is_one_of(text, {"false", "False", "FALSE"}) ? Plain::Bool : Plain::Str;
    case 'o':
    case 'O': return is_one_of(text, {"on", "On", "ON", "off", "Off", "OFF"}) ? Plain::Bool : Plain::Str;
    case '<': return text == "<<" ? Plain::Merge : Plain::Str;
    case '=': return text == "=" ? Plain::ValueKey : Plain::Str;
    case '+':
    case '-':
    case '.':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      if (is_int(text)) return Plain::Int;
      if (is_float(text)) return Plain::Float;
      if (is_timestamp(text)) return Plain::Timestamp;
      return Plain::Str;
    default: return Plain::Str;
  }
}

IntResult to_int(std::string_view text, std::int64_t& out) {
  const std::string cleaned = without_underscores(text);
  std::string_view body = cleaned;
  const bool negative = !body.empty() && body[0] == '-';
  if (!body.empty() && is_sign(body[0])) body.remove_prefix(1);
  if (body.empty()) return IntResult::Invalid;

  std::uint64_t magnitude = 0;
  IntResult result = IntResult::Ok;
  if (body.starts_with("0b")) {
    result = accumulate(body.substr(2), 2, magnitude);
  } else if (body.starts_with("0x")) {
    result = accumulate(body.substr(2), 16, magnitude);
  } else if (body[0] == '0') {
    result = accumulate(body, 8, magnitude);
  } else if (body.find(':') != npos) {
    // Base-60 groups, most significant first; each group is a decimal
    // number of any size.
    std::size_t start = 0;
    while (result == IntResult::Ok) {
      const std::size_t colon = body.find(':', start);
      std::uint64_t group = 0;
      result = accumulate(body.substr(start, colon == npos ? npos : colon - start), 10, group);
      if (result != IntResult::Ok) break;
      if (__builtin_mul_overflow(magnitude, std::uint64_t{60}, &magnitude) ||
          __builtin_add_overflow(magnitude, group, &magnitude)) {
        result = IntResult::Overflow;
      }
      if (colon == npos) break;
      start = colon + 1;
    }
  } else {
    result = accumulate(body, 10, magnitude);
  }
  if (result != IntResult::Ok) return result;

  constexpr std::uint64_t kMaxPositive = std::numeric_limits<std::int64_t>::max();
  if (magnitude > kMaxPositive + (negative ? 1 : 0)) return IntResult::Overflow;
  out = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return IntResult::Ok;
}

bool to_float(std::string_view text, double& out) {
  std::string cleaned = without_underscores(text);
  for (char& c : cleaned) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::string_view body = cleaned;
  const bool negative = !body.empty() && body[0] == '-';
  if (!body.empty() && is_sign(body[0])) body.remove_prefix(1);
  if (body.empty()) return false;
  const double sign = negative ? -1.0 : 1.0;

  const auto parse = [](std::string_view number, double& value) {
    if (number.empty()) return false;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    return error == std::errc() && end == number.data() + number.size();
  };

  if (body == ".inf") {
    out = sign * std::numeric_limits<double>::infinity();
    return true;
  }
  if (body == ".nan") {
    out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  if (body.find(':') != npos) {
    // Sum the groups from the least significant one, as the reference
    // loaders do, so that rounding matches theirs.
    std::vector<double> groups;
    std::size_t start = 0;
    while (true) {
      const std::size_t colon = body.find(':', start);
      double group = 0;
      if (!parse(body.substr(start, colon == npos ? npos : colon - start), group)) return false;
      groups.push_back(group);
      if (colon == npos) break;
      start = colon + 1;
    }
    double value = 0.0;
    double base = 1.0;
    for (auto it = groups.rbegin(); it != groups.rend(); ++it) {
      value += *it * base;
      base *= 60;
    }
    out = sign * value;
    return true;
  }
  double value = 0;
  if (!parse(body, value)) return false;
  out = sign * value;
  return true;
}

bool to_bool(std::string_view text, bool& out) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (is_one_of(lower, {"yes", "true", "on"})) {
    out = true;
    return true;
  }
  if (is_one_of(lower, {"no", "false", "off"})) {
    out = false;
    return true;
  }
  return false;
}

}  // namespace tarvex::utils::yaml::scalar
