#include "tarvex/morvane/fabric/impairment.hpp"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>

namespace tarvex::morvane::fabric {

namespace {

using std::chrono::microseconds;
using Wide = unsigned __int128;  // products of 18-digit numbers and unit scales

constexpr const char* kTimeUnits = "us, ms or s";
constexpr const char* kRateUnits =
    "bit, kbit, mbit, gbit or tbit for bits per second; bps, kbps, mbps, gbps or tbps for bytes per second";

// A decimal number exactly as written: `digits` / 10^`scale`.
struct Decimal {
  std::uint64_t digits = 0;
  int scale = 0;
};

// Splits "20.5ms" into its number and its unit.  Only plain decimals are
// numbers (no sign, no exponent), at most 18 digits, so that every product
// below stays exact.
std::optional<Decimal> split_number(std::string_view text, std::string_view& unit) {
  Decimal number;
  std::size_t i = 0;
  int digit_count = 0;
  bool point = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !point) {
      point = true;
    } else if (c >= '0' && c <= '9') {
      if (++digit_count > 18) return std::nullopt;
      number.digits = number.digits * 10 + static_cast<std::uint64_t>(c - '0');
      if (point) ++number.scale;
    } else {
      break;
    }
  }
  if (digit_count == 0) return std::nullopt;
  unit = text.substr(i);
  return number;
}

Wide power_of_ten(int exponent) {
  Wide result = 1;
  for (int i = 0; i < exponent; ++i) result *= 10;
  return result;
}

// A unit's name and what one of it is worth.
struct Unit {
  const char* name;
  std::uint64_t scale;
};

constexpr std::array<Unit, 9> kTimeUnitTable{{{"us", 1},
                                              {"usec", 1},
                                              {"usecs", 1},
                                              {"ms", 1'000},
                                              {"msec", 1'000},
                                              {"msecs", 1'000},
                                              {"s", 1'000'000},
                                              {"sec", 1'000'000},
                                              {"secs", 1'000'000}}};

constexpr std::uint64_t kKibi = 1024;
constexpr std::array<Unit, 18> kRateUnitTable{{{"bit", 1},
                                               {"kbit", 1'000},
                                               {"mbit", 1'000'000},
                                               {"gbit", 1'000'000'000},
                                               {"tbit", 1'000'000'000'000},
                                               {"kibit", kKibi},
                                               {"mibit", kKibi* kKibi},
                                               {"gibit", kKibi* kKibi* kKibi},
                                               {"tibit", kKibi* kKibi* kKibi* kKibi},
                                               {"bps", 8},
                                               {"kbps", 8'000},
                                               {"mbps", 8'000'000},
                                               {"gbps", 8'000'000'000},
                                               {"tbps", 8'000'000'000'000},
                                               {"kibps", 8 * kKibi},
                                               {"mibps", 8 * kKibi* kKibi},
                                               {"gibps", 8 * kKibi* kKibi* kKibi},
                                               {"tibps", 8 * kKibi* kKibi* kKibi* kKibi}}};

template <std::size_t N>
const Unit* find_unit(const std::array<Unit, N>& table, std::string_view name) {
  for (const Unit& unit : table) {
    // tc reads units in any case ("Mbit", "MS").
    if (name.size() == std::char_traits<char>::length(unit.name) &&
        ::strncasecmp(name.data(), unit.name, name.size()) == 0) {
      return &unit;
    }
  }
  return nullptr;
}

void add_problem(std::vector<std::string>& problems, const std::string& where, const std::string& text) {
  problems.push_back(where.empty() ? text : where + ": " + text);
}

std::string setting(const std::string& key, std::string_view text) { return "impair " + key + " " + py_repr(text); }

// `number` in a unit worth `scale`, as a whole count of the smallest unit;
// nothing when it is not whole.
std::optional<Wide> whole(const Decimal& number, std::uint64_t scale) {
  const Wide total = Wide{number.digits} * scale;
  const Wide divisor = power_of_ten(number.scale);
  if (total % divisor != 0) return std::nullopt;
  return total / divisor;
}

// A percentage as a probability, rounded to the nearest as tc does.
Probability probability_of(const Decimal& percent) {
  const Wide divisor = power_of_ten(percent.scale) * 100;
  return static_cast<Probability>((Wide{percent.digits} * kAlways + divisor / 2) / divisor);
}

// `value` / `divisor` written exactly, without trailing zeros ("1.5").
std::string exact_decimal(std::uint64_t value, std::uint64_t divisor) {
  std::string text = std::to_string(value / divisor);
  std::uint64_t rest = value % divisor;
  if (rest == 0) return text;
  text += '.';
  while (rest != 0) {
    rest *= 10;
    text += static_cast<char>('0' + rest / divisor);
    rest %= divisor;
  }
  return text;
}

// The settings, in their canonical order, with how each is read and shown.
struct Setting {
  const char* name;
  std::function<bool(Impairment&, std::string_view, const std::string&, std::vector<std::string>&)> read;
  std::function<std::optional<std::string>(const Impairment&)> show;
};

std::optional<std::string> shown_time(const std::optional<microseconds>& time) {
  if (!time) return std::nullopt;
  return time_text(*time);
}
std::optional<std::string> shown_percentage(const std::optional<Probability>& probability) {
  if (!probability) return std::nullopt;
  return percentage_text(*probability);
}

// Reads a time setting and checks it against netem's largest.
bool read_time(std::optional<microseconds>& field, microseconds largest, const char* key, std::string_view text,
               const std::string& where, std::vector<std::string>& problems) {
  const std::optional<microseconds> time = parse_time(text, key, where, problems);
  if (!time) return false;
  if (*time > largest) {
    add_problem(problems, where, setting(key, text) + " is more than netem takes (" + time_text(largest) + ")");
    return false;
  }
  field = time;
  return true;
}

bool read_percentage(std::optional<Probability>& field, const char* key, std::string_view text,
                     const std::string& where, std::vector<std::string>& problems) {
  field = parse_percentage(text, key, where, problems);
  return field.has_value();
}

const std::vector<Setting>& settings() {
  static const std::vector<Setting> table{
      {"delay",
       [](Impairment& i, std::string_view text, const std::string& where, std::vector<std::string>& problems) {
         return read_time(i.delay, kMaxDelay, "delay", text, where, problems);
       },
       [](const Impairment& i) { return shown_time(i.delay); }},
      {"jitter",
       [](Impairment& i, std::string_view text, const std::string& where, std::vector<std::string>& problems) {
         return read_time(i.jitter, kMaxJitter, "jitter", text, where, problems);
       },
       [](const Impairment& i) { return shown_time(i.jitter); }},
      {"loss",
       [](Impairment& i, std::string_view text, const std::string& where, std::vector<std::string>& problems) {
         return read_percentage(i.loss, "loss", text, where, problems);
       },
       [](const Impairment& i) { return shown_percentage(i.loss); }},
      {"rate",
       [](Impairment& i, std::string_view text, const std::string& where, std::vector<std::string>& problems) {
         const std::optional<std::uint64_t> rate = parse_rate(text, "rate", where, problems);
         if (!rate) return false;
         if (*rate < kMinRate || *rate > kMaxRate) {
           add_problem(problems, where,
                       setting("rate", text) + " is not within the rates the shaper takes (" + rate_text(kMinRate) +
                           " to " + rate_text(kMaxRate) + ")");
           return false;
         }
         i.rate = rate;
         return true;
       },
       [](const Impairment& i) -> std::optional<std::string> {
         if (!i.rate) return std::nullopt;
         return rate_text(*i.rate);
       }},
      {"duplicate",
       [](Impairment& i, std::string_view text, const std::string& where, std::vector<std::string>& problems) {
         return read_percentage(i.duplicate, "duplicate", text, where, problems);
       },
       [](const Impairment& i) { return shown_percentage(i.duplicate); }},
      {"corrupt",
       [](Impairment& i, std::string_view text, const std::string& where, std::vector<std::string>& problems) {
         return read_percentage(i.corrupt, "corrupt", text, where, problems);
       },
       [](const Impairment& i) { return shown_percentage(i.corrupt); }},
      {"reorder",
       [](Impairment& i, std::string_view text, const std::string& where, std::vector<std::string>& problems) {
         return read_percentage(i.reorder, "reorder", text, where, problems);
       },
       [](const Impairment& i) { return shown_percentage(i.reorder); }},
  };
  return table;
}

std::string known_settings() {
  std::string names;
  for (const Setting& s : settings()) names += std::string(names.empty() ? "" : ", ") + s.name;
  return names;
}

// Collects the settings of one declaration, then checks how they go together.
class Reader {
 public:
  Reader(const std::string& where, std::vector<std::string>& problems) : where_(where), problems_(problems) {}

  void read(const std::string& key, std::string_view text) {
    for (const Setting& s : settings()) {
      if (key != s.name) continue;
      if (std::find(given_.begin(), given_.end(), key) != given_.end()) {
        add_problem(problems_, where_, "impair " + key + " is given twice");
        return;
      }
      given_.push_back(key);
      if (!s.read(impairment_, text, where_, problems_)) failed_.push_back(key);
      return;
    }
    add_problem(problems_, where_, "impair has no setting " + py_repr(key) + " (" + known_settings() + ")");
  }

  Impairment finish() {
    // netem varies and reorders only a delay it adds.  A delay with a
    // problem of its own is reported once, not again here.
    const bool delay_failed = std::find(failed_.begin(), failed_.end(), "delay") != failed_.end();
    const bool has_delay = impairment_.delay && impairment_.delay->count() > 0;
    if (!has_delay && !delay_failed) {
      if (impairment_.jitter) {
        add_problem(problems_, where_,
                    "impair jitter " + py_repr(time_text(*impairment_.jitter)) + " needs a delay above 0 to vary");
        impairment_.jitter.reset();
      }
      if (impairment_.reorder) {
        add_problem(problems_, where_,
                    "impair reorder " + py_repr(percentage_text(*impairment_.reorder)) +
                        " needs a delay above 0 (netem reorders by sending some packets without the delay)");
        impairment_.reorder.reset();
      }
    }
    return impairment_;
  }

 private:
  const std::string& where_;
  std::vector<std::string>& problems_;
  Impairment impairment_;
  std::vector<std::string> given_;
  std::vector<std::string> failed_;
};

}  // namespace

bool Impairment::empty() const { return !rate && !needs_netem(); }

bool Impairment::needs_netem() const { return delay || jitter || loss || duplicate || corrupt || reorder; }

std::string Impairment::text() const {
  std::string text;
  for (const Setting& s : settings()) {
    if (const std::optional<std::string> shown = s.show(*this)) {
      text += (text.empty() ? "" : " ") + std::string(s.name) + " " + *shown;
    }
  }
  return text.empty() ? "none" : text;
}

Value Impairment::value() const {
  Map mapping;
  for (const Setting& s : settings()) {
    if (const std::optional<std::string> shown = s.show(*this)) mapping.insert_or_assign(s.name, *shown);
  }
  return Value(std::move(mapping));
}

Impairment parse_impairment(const Value& declaration, const std::string& where, std::vector<std::string>& problems) {
  if (declaration.is_none()) return {};
  if (!declaration.is_map()) {
    add_problem(problems, where,
                "impair " + declaration.repr() + " is not a mapping of settings (such as {delay: 20ms, loss: 1%})");
    return {};
  }
  Reader reader(where, problems);
  for (const auto& [key, value] : declaration.as_map()) {
    if (!key.is_str()) {
      add_problem(problems, where, "impair has no setting " + key.repr() + " (" + known_settings() + ")");
      continue;
    }
    if (value.is_none()) {
      add_problem(problems, where, "impair " + key.as_str() + " has no value");
      continue;
    }
    // Numbers reach the unit checks as the text the user wrote.
    reader.read(key.as_str(), value.is_str() ? value.as_str() : value.str());
  }
  return reader.finish();
}

Impairment parse_impairment_text(std::string_view text, const std::string& where, std::vector<std::string>& problems) {
  Reader reader(where, problems);
  std::size_t start = 0;
  while (start < text.size()) {
    if (text[start] == ' ' || text[start] == '\t' || text[start] == '\n') {
      ++start;
      continue;
    }
    std::size_t end = text.find_first_of(" \t\n", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view word = text.substr(start, end - start);
    start = end;
    const std::size_t equals = word.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      add_problem(problems, where, "impair " + py_repr(word) + " is not key=value (such as delay=20ms)");
      continue;
    }
    reader.read(std::string(word.substr(0, equals)), word.substr(equals + 1));
  }
  return reader.finish();
}

std::optional<microseconds> parse_time(std::string_view text, const std::string& key, const std::string& where,
                                       std::vector<std::string>& problems) {
  std::string_view unit_name;
  const std::optional<Decimal> number = split_number(text, unit_name);
  if (!number) {
    add_problem(problems, where, setting(key, text) + " is not a time (a number and " + kTimeUnits + ", such as 20ms)");
    return std::nullopt;
  }
  if (unit_name.empty()) {
    add_problem(problems, where, setting(key, text) + " has no unit of time (" + kTimeUnits + ")");
    return std::nullopt;
  }
  const Unit* unit = find_unit(kTimeUnitTable, unit_name);
  if (!unit) {
    add_problem(problems, where,
                setting(key, text) + " has the unknown unit " + py_repr(unit_name) + " (" + kTimeUnits + ")");
    return std::nullopt;
  }
  const std::optional<Wide> count = whole(*number, unit->scale);
  if (!count) {
    add_problem(problems, where, setting(key, text) + " is not a whole number of microseconds");
    return std::nullopt;
  }
  if (*count > Wide{INT64_MAX}) {
    add_problem(problems, where, setting(key, text) + " is too long");
    return std::nullopt;
  }
  return microseconds(static_cast<std::int64_t>(*count));
}

std::optional<std::uint64_t> parse_rate(std::string_view text, const std::string& key, const std::string& where,
                                        std::vector<std::string>& problems) {
  std::string_view unit_name;
  const std::optional<Decimal> number = split_number(text, unit_name);
  if (!number) {
    add_problem(problems, where, setting(key, text) + " is not a rate (a number and a unit, such as 100mbit)");
    return std::nullopt;
  }
  if (unit_name.empty()) {
    add_problem(problems, where, setting(key, text) + " has no unit (" + kRateUnits + ")");
    return std::nullopt;
  }
  const Unit* unit = find_unit(kRateUnitTable, unit_name);
  if (!unit) {
    add_problem(problems, where,
                setting(key, text) + " has the unknown unit " + py_repr(unit_name) + " (" + kRateUnits + ")");
    return std::nullopt;
  }
  const std::optional<Wide> bits = whole(*number, unit->scale);
  // The kernel counts whole bytes per second.
  if (!bits || *bits % 8 != 0) {
    add_problem(problems, where, setting(key, text) + " is not a whole number of bytes per second");
    return std::nullopt;
  }
  if (*bits > Wide{UINT64_MAX}) {
    add_problem(problems, where, setting(key, text) + " is too fast");
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(*bits);
}

std::optional<Probability> parse_percentage(std::string_view text, const std::string& key, const std::string& where,
                                            std::vector<std::string>& problems) {
  std::string_view unit;
  const std::optional<Decimal> number = split_number(text, unit);
  if (!number || (!unit.empty() && unit != "%")) {
    add_problem(problems, where, setting(key, text) + " is not a percentage (such as 0.5%)");
    return std::nullopt;
  }
  if (unit.empty()) {
    // 0.5 could be meant as a fraction (50%) as well as a percentage.
    add_problem(problems, where, setting(key, text) + " has no '%' (write " + std::string(text) + "%)");
    return std::nullopt;
  }
  if (Wide{number->digits} > power_of_ten(number->scale) * 100) {
    add_problem(problems, where, setting(key, text) + " is more than 100%");
    return std::nullopt;
  }
  return probability_of(*number);
}

std::string time_text(microseconds time) {
  const auto count = static_cast<std::uint64_t>(time.count());
  if (count >= 1'000'000) return exact_decimal(count, 1'000'000) + "s";
  if (count >= 1'000) return exact_decimal(count, 1'000) + "ms";
  return std::to_string(count) + "us";
}

std::string rate_text(std::uint64_t bits_per_second) {
  static constexpr std::array<Unit, 4> kLargest{
      {{"tbit", 1'000'000'000'000}, {"gbit", 1'000'000'000}, {"mbit", 1'000'000}, {"kbit", 1'000}}};
  for (const Unit& unit : kLargest) {
    if (bits_per_second >= unit.scale) return exact_decimal(bits_per_second, unit.scale) + unit.name;
  }
  return std::to_string(bits_per_second) + "bit";
}

std::string percentage_text(Probability probability) {
  const double percent = 100.0 * probability / kAlways;
  std::string text;
  for (int decimals = 0; decimals <= 12; ++decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, percent);
    text = buffer;
    std::string_view unit;
    if (probability_of(*split_number(text, unit)) == probability) break;
  }
  if (text.find('.') != std::string::npos) {
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
  }
  return text + "%";
}

}  // namespace tarvex::morvane::fabric
