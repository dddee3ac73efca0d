// Typing of YAML scalars the way YAML 1.1 safe loaders do it.  The reader
// uses it to give plain scalars their types and to build the values of
// explicitly tagged scalars; the writer uses the same rules to find every
// string that would not read back as a string unless quoted.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarvex::utils::yaml::scalar {

// What a plain (unquoted, untagged) scalar resolves to.  Timestamp, Merge
// (`<<`) and ValueKey (`=`) matter to the writer, which must quote them; the
// reader keeps timestamps and `=` as strings and treats `<<` as a merge key
// only in key position.
enum class Plain { Str, Null, Bool, Int, Float, Timestamp, Merge, ValueKey };

Plain resolve(std::string_view text);

enum class IntResult { Ok, Invalid, Overflow };

// Builds an integer from the text of a scalar typed (or tagged) as one:
// underscores ignored, an optional sign, then 0b binary, 0x hex, 0-prefixed
// octal, base-60 groups separated by ':' or decimal.
IntResult to_int(std::string_view text, std::int64_t& out);

// Builds a float from the text of a scalar typed (or tagged) as one: `.inf`,
// `.nan`, base-60 groups, or any decimal form (exponents need no sign here).
// False when the text is not a number.
bool to_float(std::string_view text, double& out);

// The value of a scalar tagged as a boolean: yes/no, true/false, on/off in
// any letter case.  False when the text is none of those.
bool to_bool(std::string_view text, bool& out);

}  // namespace tarvex::utils::yaml::scalar
