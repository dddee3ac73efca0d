// The wording of the YAML reader's errors: every message names the source
// of the text and, when known, the line and column (both from 1).
#pragma once

#include <yaml-cpp/mark.h>

#include <string>
#include <string_view>

#include "tarvex/utils/yaml.hpp"
#include "tarvex/value.hpp"

namespace tarvex::utils::yaml::baseline {

// A file by its quoted name; a description in angle brackets (`<string>`)
// as it is.
inline std::string describe_source(std::string_view source) {
  if (source.size() >= 2 && source.front() == '<' && source.back() == '>') return std::string(source);
  return "file " + py_repr(source);
}

// `Error in YAML file 'tb.yaml', line 3, column 7: <what>`.
inline YAMLError error_at(std::string_view source, const YAML::Mark& mark, std::string_view what) {
  std::string message = "Error in YAML " + describe_source(source);
  if (!mark.is_null()) {
    message += ", line " + std::to_string(mark.line + 1) + ", column " + std::to_string(mark.column + 1);
  }
  message += ": ";
  message += what;
  return YAMLError(std::move(message));
}

// The kind of a node, for messages: "a mapping", "a sequence", "a scalar".
inline const char* node_kind(const Value& value) {
  if (value.is_map()) return "a mapping";
  if (value.is_list()) return "a sequence";
  return "a scalar";
}

}  // namespace tarvex::utils::yaml::baseline
