// Names the bring-up package knows: the device types that count as virtual,
// and the translation of orchestrator names to worker classes.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "tarvex/object.hpp"

namespace tarvex::morvane::schema {

// The device types that our orchestrator backends build.  A logical device
// of one of these types is virtual; any other type is physical.
extern const std::set<std::string, std::less<>> allowed_virtual_device_types;

// The worker class registered under `name` (a short name such as "sim" or a
// qualified class name), loading a plugin when needed; ImportError naming
// it otherwise.
const ClassInfo& translate(std::string_view name);

}  // namespace tarvex::morvane::schema
