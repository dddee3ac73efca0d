// Finding classes by their dotted names.
#pragma once

#include <string_view>

#include "tarvex/object.hpp"

namespace tarvex::utils::import_utils {

// The device class named by `name` (a registered name, or one a plugin
// registers); ImportError naming the class otherwise.
const ClassInfo& import_from_name(std::string_view name);

}  // namespace tarvex::utils::import_utils
