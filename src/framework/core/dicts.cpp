#include "tarvex/utils/dicts.hpp"

#include "tarvex/exceptions.hpp"

namespace tarvex::utils::dicts {

Map& recursive_update(Map& target, const Map& source) {
  for (const auto& [key, value] : source) {
    Value* existing = target.find(key);
    if (existing && existing->is_map() && value.is_map()) {
      recursive_update(existing->as_map(), value.as_map());
    } else {
      target.insert_or_assign(key, value);
    }
  }
  return target;
}

Value& recursive_update(Value& target, const Value& source) {
  if (!target.is_map() || !source.is_map()) {
    throw TypeError(std::string("recursive_update needs two mappings, got ") + target.type_name() + " and " +
                    source.type_name());
  }
  recursive_update(target.as_map(), source.as_map());
  return target;
}

}  // namespace tarvex::utils::dicts
