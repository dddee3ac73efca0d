// A fast reader for the plain block YAML that testbed files are made of:
// printable ASCII text of block mappings and sequences, plain scalars,
// simple single-line quoted scalars, and single-line flow sequences and
// mappings of plain scalars.  It builds the Value straight from the lines
// and is several times faster than the general parser, which costs most of
// a load.  The moment a document steps outside that subset (anchors, tags,
// block scalars, multi-line scalars, merge keys, non-ASCII text, anything
// malformed) it gives up, and the loader reads the document again with the
// general parser, which types, merges and reports errors as always.  What
// it accepts it reads exactly as the general parser does; the loader's
// fuzzer holds the two to that.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "tarvex/value.hpp"

namespace tarvex::utils::yaml {

// The document in `text`, or nothing when it is not plain block YAML.
// With `refuse_duplicate_keys`, a key written twice in one mapping is left
// to the general parser too, which tells where both are.
std::optional<Value> read_simple_yaml(std::string_view text, bool refuse_duplicate_keys = false);

// The document in the regular file open as `fd` (read from its current
// offset), or nothing when it is not plain block YAML or holds more than
// `max_bytes`; the caller rewinds the file for the general parser.
std::optional<Value> read_simple_yaml(int fd, std::uint64_t max_bytes, bool refuse_duplicate_keys = false);

}  // namespace tarvex::utils::yaml
