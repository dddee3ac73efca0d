// A YAML loader written through yaml-cpp's own API, the way the library
// loaded testbeds before it moved to libyaml: the benchmark's baseline for
// the present loader.  Built only for the benchmark, where yaml-cpp is
// installed.
#pragma once

#include <string>

#include "tarvex/value.hpp"

namespace bench::yaml_cpp_baseline {

// Parses the file with yaml-cpp into its node tree and converts that into a
// Value, typing plain scalars by the YAML 1.1 safe-loading rules; quoted,
// block and explicitly tagged scalars stay text.  Merge keys (`<<`) are not
// resolved (yaml-cpp does not, and the benchmark's testbeds have none); a
// duplicate key keeps its last value.  A file that cannot be read or parsed
// is a YAMLError naming it.
tarvex::Value load_file(const std::string& path);

}  // namespace bench::yaml_cpp_baseline
