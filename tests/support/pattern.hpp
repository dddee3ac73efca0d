// A small text pattern for tests (cheaper to compile than <regex>): '#' is
// a digit, '@' a letter, '*' any run of characters; anything else stands
// for itself.
#pragma once

#include <cctype>
#include <string_view>

namespace tarvex::testing {

inline bool matches(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return text.empty();
  if (pattern.front() == '*') {
    for (std::size_t skip = 0; skip <= text.size(); ++skip) {
      if (matches(pattern.substr(1), text.substr(skip))) return true;
    }
    return false;
  }
  if (text.empty()) return false;
  const auto c = static_cast<unsigned char>(text.front());
  const bool ok = pattern.front() == '#'   ? std::isdigit(c)
                  : pattern.front() == '@' ? std::isalpha(c)
                                           : pattern.front() == text.front();
  return ok && matches(pattern.substr(1), text.substr(1));
}

// The time stamp of topology names, e.g. 2026Dec09_05_16_10.123456.
inline constexpr std::string_view kTimeStamp = "####@@@##_##_##_##.######";

}  // namespace tarvex::testing
