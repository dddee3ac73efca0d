// Data structures of the framework.
#pragma once

#include <string_view>

#include "tarvex/value.hpp"

namespace tarvex::datastructures {

// A mapping whose keys are also readable as attributes.
class AttrDict : public Map {
 public:
  // TypeError when `mapping` is not a mapping.
  explicit AttrDict(const Value& mapping);
  // The value under `name`; AttributeError when there is none.
  const Value& attr(std::string_view name) const;
  Value to_value() const { return Value(static_cast<const Map&>(*this)); }
};

}  // namespace tarvex::datastructures
