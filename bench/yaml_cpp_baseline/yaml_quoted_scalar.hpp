// Re-reading of quoted scalars from the source text.  yaml-cpp 0.7 drops
// trailing empty lines of a quoted scalar that spans lines ('x\n\n\n  '
// reads as "x\n" instead of "x\n\n", and a scalar made of line breaks only
// reads as ""), and accepts a double-quoted scalar left open at the end of
// the file.  PyYAML writes strings that end in line breaks exactly that
// way, so the reader folds multi-line quoted scalars itself, following the
// YAML folding rules, and refuses unterminated ones.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvex::utils::yaml::baseline {

struct QuotedScalar {
  enum class Status {
    OneLine,       // fits on its line; the parser's value is right
    Folded,        // spans lines; `value` holds the folded text
    Unterminated,  // no closing quote before the end of the text
    Malformed,     // something else is wrong; the parser's value stands
  };
  Status status = Status::Malformed;
  std::string value;
};

// Reads the single- or double-quoted scalar whose opening quote is at
// `text[pos]`.  Line breaks are \n, \r\n and \r.
QuotedScalar read_quoted_scalar(std::string_view text, std::size_t pos);

}  // namespace tarvex::utils::yaml::baseline
