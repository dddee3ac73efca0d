// Classification of the logical testbed's devices, and two name lookups.
#include <algorithm>

#include "tarvex/morvane/bases/module.hpp"
#include "tarvex/morvane/bases/worker.hpp"
#include "tarvex/morvane/schema.hpp"

namespace tarvex::morvane::bases {

namespace {

// The logical testbed's entry of a device; KeyError or TypeError when a
// level is missing or is not a mapping.
const Value& logical_device_entry(const std::string& device_name) {
  return BringUpWorkerBase::logical_testbed_config.at("devices").at(device_name);
}

template <class Filter>
std::vector<std::string> logical_device_names(Filter&& passes) {
  std::vector<std::string> names;
  const Value& config = BringUpWorkerBase::logical_testbed_config;
  if (!config.truthy() || !config.is_map()) return names;
  const Value* devices = config.find("devices");
  if (!devices || !devices->is_map()) return names;
  for (const auto& [key, entry] : devices->as_map()) {
    const std::string name = key.str();
    if (passes(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

bool BringUpWorkerBase::_is_virtual_device(const std::string& device_name) {
  Value type;
  try {
    type = logical_device_entry(device_name).at("type");
  } catch (const KeyError&) {
    logger().debug("Did not find a devices or device type key in the testbed configuration.");
    return false;
  } catch (const TypeError&) {
    logger().debug("Did not find a devices or device type key in the testbed configuration.");
    return false;
  }
  return type.is_str() && schema::allowed_virtual_device_types().contains(type.as_str());
}

bool BringUpWorkerBase::_is_physical_device(const std::string& device_name) { return !_is_virtual_device(device_name); }

Value BringUpWorkerBase::_is_logical_device(const std::string& device_name) {
  try {
    const Value& entry = logical_device_entry(device_name);
    if (!entry.is_map()) throw TypeError("device entry is not a mapping");
    if (const Value* logical = entry.find("logical")) return *logical;
    return false;
  } catch (const KeyError&) {
  } catch (const TypeError&) {
  }
  logger().warning("Did not find device {} in the testbed configuration.", device_name);
  return false;
}

std::vector<std::string> BringUpWorkerBase::_get_logical_devices() {
  return logical_device_names([this](const std::string& name) { return _is_logical_device(name).truthy(); });
}

std::vector<std::string> BringUpWorkerBase::_get_logical_virtual_devices() {
  return logical_device_names(
      [this](const std::string& name) { return _is_logical_device(name).truthy() && _is_virtual_device(name); });
}

std::vector<std::string> BringUpWorkerBase::_get_logical_physical_devices() {
  return logical_device_names(
      [this](const std::string& name) { return _is_logical_device(name).truthy() && _is_physical_device(name); });
}

Value BringUpWorkerBase::_get_actual_device_name(const std::string& logical_device_name) const {
  for (const auto& [actual, logical] : dev_name_xref.as_map()) {
    if (logical == Value(logical_device_name)) return actual;
  }
  return Value();
}

bool BringUpWorkerBase::_interface_is_present(const Value& interface_name, const Value& interface_dict) const {
  const Map& interfaces = interface_dict.as_map();
  if (interfaces.contains(interface_name)) return true;
  for (const auto& [name, entry] : interfaces) {
    if (!entry.is_map()) {
      throw TypeError(std::string("argument of type '") + entry.type_name() + "' is not iterable");
    }
    if (const Value* alias = entry.find("alias"); alias && *alias == interface_name) return true;
  }
  return false;
}

}  // namespace tarvex::morvane::bases
