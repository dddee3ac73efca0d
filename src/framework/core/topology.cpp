#include "tarvex/topology.hpp"

#include "tarvex/datastructures.hpp"
#include "tarvex/registry.hpp"
#include "tarvex/utils/import_utils.hpp"

namespace tarvex::topology {

const ClassInfo& Device::class_info() {
  static ClassInfo& info = []() -> ClassInfo& {
    static ClassInfo c("tarvex.topology.Device", nullptr, factory_of<Device>());
    c.field("name", &Device::name).field("clean", &Device::clean);
    return c;
  }();
  return info;
}

TARVEX_REGISTER_CLASS(device_classes(), Device, "Device");

void Device::init(const Args& args, const Kwargs& kwargs) {
  Object::init(args, kwargs);
  const Value* device_name = kwargs.find("name");
  if (!device_name) throw TypeError("Device() missing required keyword argument: 'name'");
  name = device_name->str();
  const Value given_clean = kwarg(kwargs, "clean");
  if (!given_clean.is_none() && !given_clean.is_map()) {
    throw TypeError("Device " + name + ": 'clean' must be a mapping, got " + given_clean.type_name());
  }
  clean = given_clean.is_none() ? Value(Map{}) : given_clean;
  for (const auto& [key, value] : kwargs) {
    if (key == Value("name") || key == Value("clean")) continue;
    set_attr(key.str(), value);
  }
}

}  // namespace tarvex::topology

namespace tarvex::utils::import_utils {

const ClassInfo& import_from_name(std::string_view name) { return device_classes().resolve(name); }

}  // namespace tarvex::utils::import_utils

namespace tarvex::datastructures {

AttrDict::AttrDict(const Value& mapping) : Map(mapping.as_map()) {}

const Value& AttrDict::attr(std::string_view name) const {
  if (const Value* found = find(Value(name))) return *found;
  throw AttributeError("'AttrDict' object has no attribute '" + std::string(name) + "'");
}

}  // namespace tarvex::datastructures
