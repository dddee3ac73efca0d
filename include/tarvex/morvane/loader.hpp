// Loading of clean configurations.
#pragma once

#include <vector>

#include "tarvex/value.hpp"

namespace tarvex::morvane::loader {

// Loads a clean configuration from several sources: each source is either
// the path of a YAML file or a mapping.  Sources are merged in order, later
// ones winning key by key (nested mappings are merged, anything else
// replaced).  A source of the wrong kind, a file that is missing, unreadable
// or not valid YAML, or content that is not a mapping (or whose "bringup",
// "cleaners" or "devices" section is not a mapping) raises TypeError naming
// the source, with the underlying error as its cause.
class MorvaneFileLoader {
 public:
  MorvaneFileLoader() = default;
  Value load(const std::vector<Value>& sources) const;
  Value load(const Value& source) const { return load(std::vector<Value>{source}); }
};

}  // namespace tarvex::morvane::loader
