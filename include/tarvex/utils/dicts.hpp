// Operations on nested mappings.
#pragma once

#include "tarvex/value.hpp"

namespace tarvex::utils::dicts {

// Merges `source` into `target` in place: where both hold a mapping under
// the same key the merge recurses, anything else in `source` replaces what
// `target` holds.  Returns `target`.
Map& recursive_update(Map& target, const Map& source);
// The same on values; TypeError when either is not a mapping.
Value& recursive_update(Value& target, const Value& source);

}  // namespace tarvex::utils::dicts
