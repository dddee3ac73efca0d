// The wording of the YAML reader's errors: every message names the source
// of the text and, when known, the line and column (both from 1).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "tarvex/utils/yaml.hpp"
#include "tarvex/value.hpp"

namespace tarvex::utils::yaml {

// A position in the text, counted from 0 the way the parser counts: a line
// ends at \n, \r\n, \r, U+0085, U+2028 or U+2029, and columns count
// characters, not bytes.
struct Mark {
  std::size_t line = 0;
  std::size_t column = 0;

  friend auto operator<=>(const Mark&, const Mark&) = default;
};

// "line 3, column 7", both counted from 1.
inline std::string describe_mark(const Mark& mark) {
  return "line " + std::to_string(mark.line + 1) + ", column " + std::to_string(mark.column + 1);
}

// A file by its quoted name; a description in angle brackets (`<string>`)
// as it is.
inline std::string describe_source(std::string_view source) {
  if (source.size() >= 2 && source.front() == '<' && source.back() == '>') return std::string(source);
  return "file " + py_repr(source);
}

// `Error in YAML file 'tb.yaml': <what>`, for problems of the whole text.
inline YAMLError source_error(std::string_view source, std::string_view what) {
  std::string message = "Error in YAML " + describe_source(source) + ": ";
  message += what;
  return YAMLError(std::move(message));
}

// `Error in YAML file 'tb.yaml', line 3, column 7: <what>`.
inline YAMLError error_at(std::string_view source, const Mark& mark, std::string_view what) {
  std::string message = "Error in YAML " + describe_source(source) + ", " + describe_mark(mark) + ": ";
  message += what;
  return YAMLError(std::move(message));
}

// The kind of a node, for messages: "a mapping", "a sequence", "a scalar".
inline const char* node_kind(const Value& value) {
  if (value.is_map()) return "a mapping";
  if (value.is_list()) return "a sequence";
  return "a scalar";
}

}  // namespace tarvex::utils::yaml
