// YAML reading and writing for testbed and clean configurations.
//
// Loading types plain scalars the way YAML 1.1 safe loaders do (the way test
// engineers' existing tools read testbed files): yes/no/on/off/true/false
// are booleans, 0x1F, 017, 0b101, 1_000 and 1:30 are integers, ~, null and
// empty values are null, .5, 1.0e+3, .inf and .nan are floats; quoted
// scalars stay strings; merge keys (<<) are resolved; a duplicate key keeps
// its last value at its first position.  Timestamps (2001-12-14) stay
// strings.
//
// Dumping is a safe, block-style dump with sorted keys.  Every string that a
// YAML loader would read as something else is quoted so that it reads back
// as the same string, and floats always read back as floats: a file we
// write loads back, in any standard YAML loader, to the same data.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "tarvex/exceptions.hpp"
#include "tarvex/value.hpp"

namespace tarvex::utils::yaml {

// A document that cannot be parsed or typed; the message names the source
// (file name) and the line and column.
TARVEX_DECLARE_EXCEPTION(YAMLError, ValueError)

// A place in a YAML text: its line and column, both counted from 1.
struct Position {
  std::size_t line = 0;
  std::size_t column = 0;
};

// A key written a second time in one mapping, which keeps the last value
// at the first key's place.  A key that the mapping sets over one a merge
// (<<) brings in is no duplicate.
struct DuplicateKey {
  // The keys (and sequence indexes, as integers) that lead from the
  // document's root to the mapping.
  List path;
  Value key;
  Position first;  // where the key is written first
  Position again;  // where it is written again
};

// A string holding control characters that text files must not carry: the
// C0 controls other than tab, line feed and carriage return, and DEL.  A
// YAML text holds them only as escapes of a double-quoted scalar ("\0",
// "\x07"), since the reader refuses them raw.
struct ControlCharacters {
  // The keys (and sequence indexes, as integers) that lead from the
  // document's root to the string; for a key, the key itself comes last.
  List path;
  bool in_key = false;
  std::string characters;  // each of them once, in the order they first appear
  Position position;       // where the string is written
};

// What a caller wants to be told of while a document is loaded.  Unset
// callbacks cost nothing; loading is the same either way.
struct LoadOptions {
  std::function<void(const DuplicateKey&)> on_duplicate;
  std::function<void(const ControlCharacters&)> on_control_characters;
};

// Parses one YAML document; `source` names the text in error messages.
// The text must be UTF-8 (or UTF-16 with a byte order mark) made of the
// characters YAML allows: a byte that is not, or a control character,
// is a YAMLError at its line and column.  Nesting deeper than 1000 levels
// and aliases that would copy more than 5,000,000 nodes or 256 MiB of
// text are refused too.
Value load_string(std::string_view text, std::string_view source = "<string>");
// Reads and parses a file (or FIFO, or device), 1 GiB at most, in chunks;
// FileNotFoundError or OSError (naming the file) when it cannot be read,
// YAMLError when it is larger or cannot be parsed.
Value load_file(const std::string& path);
// The same, telling the callbacks of `options` what they ask for as the
// document is read.
Value load_string(std::string_view text, std::string_view source, const LoadOptions& options);
Value load_file(const std::string& path, const LoadOptions& options);

// The safe block-style dump of `value`, ending with a line break.  A
// string that is not valid UTF-8 cannot be written (YAMLError).
std::string dump(const Value& value);
// The same text, handed to `write` in pieces of a few hundred kilobytes as
// it is made, so that a large testbed's text is never held whole.
void dump(const Value& value, const std::function<void(std::string_view piece)>& write);
// Writes dump(value) to a file; OSError naming the file when it cannot be
// written.
void dump_file(const Value& value, const std::string& path);

// The framework's YAML loader.
class Loader {
 public:
  Loader() = default;
  // A testbed file: its content must be a mapping (an empty file is an
  // empty mapping); anything else is a YAMLError naming the file.
  Value load(const std::string& path, const LoadOptions& options = {}) const;
  // Any YAML document, as it stands.
  Value load_arbitrary(const std::string& path, const LoadOptions& options = {}) const;
};

}  // namespace tarvex::utils::yaml
