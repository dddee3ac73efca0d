#include "morvane/testbed_file_check.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "tarvex/exceptions.hpp"

namespace tarvex::morvane {

namespace {

using tarvex::utils::yaml::ControlCharacters;
using tarvex::utils::yaml::DuplicateKey;
using tarvex::utils::yaml::Position;

constexpr std::array<const char*, 32> kControlNames = {
    "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT", "LF",  "VT",  "FF", "CR", "SO", "SI",
    "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB", "CAN", "EM", "SUB", "ESC", "FS", "GS", "RS", "US"};

// "U+0007 (BEL)".
std::string control_name(unsigned char c) {
  return fmt::format("U+{:04X} ({})", c, c < kControlNames.size() ? kControlNames[c] : "DEL");
}

bool holds_control(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// One step of a key path: a key as it is written, unless it holds control
// characters (or is no string), which are shown escaped.
std::string step_text(const Value& step) {
  if (step.is_str() && !holds_control(step.as_str())) return step.as_str();
  return step.is_str() ? step.repr() : step.str();
}

// "devices/r1/frr/config"
std::string path_text(const List& path) {
  std::string text;
  for (const Value& step : path) {
    if (!text.empty()) text += '/';
    text += step_text(step);
  }
  return text.empty() ? "the document" : text;
}

// "line 14 and line 15", or "line 3, columns 5 and 11" for one line.
std::string places(const Position& first, const Position& again) {
  if (first.line == again.line)
    return fmt::format("line {}, columns {} and {}", first.line, first.column, again.column);
  return fmt::format("line {} and line {}", first.line, again.line);
}

bool is_str(const Value& value, std::string_view text) { return value.is_str() && value.as_str() == text; }

// What a duplicate key replaces when it is one of the keys that place
// devices and their interfaces, or "" for any other key.
std::string refused_duplicate(const List& path, const Value& key) {
  const auto section = [](const Value& value) { return is_str(value, "devices") || is_str(value, "topology"); };
  if (path.empty() && section(key)) return "the section '" + key.str() + "' appears twice";
  if (path.size() == 1 && section(path[0])) return "device " + key.repr() + " appears twice";
  if (path.size() == 2 && is_str(path[0], "topology") && is_str(key, "interfaces")) {
    return "the interfaces of device " + path[1].repr() + " appear twice";
  }
  if (path.size() == 3 && is_str(path[0], "topology") && is_str(path[2], "interfaces")) {
    return "interface " + key.repr() + " of device " + path[1].repr() + " appears twice";
  }
  return "";
}

}  // namespace

TestbedFileCheck::TestbedFileCheck(std::string path, Kind kind, log::Logger& logger)
    : path_(std::move(path)), kind_(kind), logger_(logger) {
  options_.on_control_characters = [this](const ControlCharacters& found) { control_characters(found); };
  if (kind_ == Kind::PlacesDevices) {
    options_.on_duplicate = [this](const DuplicateKey& found) { duplicate(found); };
  }
}

void TestbedFileCheck::duplicate(const DuplicateKey& found) {
  const std::string where = path_ + ": " + places(found.first, found.again) + ": ";
  const std::string refused = refused_duplicate(found.path, found.key);
  if (!refused.empty()) {
    refused_.emplace_back(found.again, where + refused);
    return;
  }
  List path = found.path;
  path.push_back(found.key);
  logger_.warning(where + "the key " + path_text(path) + " appears twice; its last value is used");
}

void TestbedFileCheck::control_characters(const ControlCharacters& found) {
  std::string names;
  for (std::size_t i = 0; i < found.characters.size(); ++i) {
    if (i > 0) names += i + 1 == found.characters.size() ? " and " : ", ";
    names += control_name(static_cast<unsigned char>(found.characters[i]));
  }
  refused_.emplace_back(
      found.position,
      fmt::format("{}: line {}: {}: the {} holds the control character{} {}", path_, found.position.line,
                  path_text(found.path), found.in_key ? "key" : "text", found.characters.size() > 1 ? "s" : "", names));
}

void TestbedFileCheck::raise_if_refused() {
  if (refused_.empty()) return;
  std::stable_sort(refused_.begin(), refused_.end(), [](const auto& a, const auto& b) {
    return std::pair(a.first.line, a.first.column) < std::pair(b.first.line, b.first.column);
  });
  std::string message;
  for (const auto& [position, text] : refused_) {
    if (!message.empty()) message += '\n';
    message += text;
  }
  throw ValueError(std::move(message));
}

}  // namespace tarvex::morvane
