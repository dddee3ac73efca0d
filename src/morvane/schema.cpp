#include "tarvex/morvane/schema.hpp"

#include <map>

#include "tarvex/registry.hpp"

namespace tarvex::morvane::schema {

namespace {

DeviceTypes& all_types() {
  static DeviceTypes* types = new DeviceTypes();
  return *types;
}

std::map<const ClassInfo*, DeviceTypes>& types_by_worker() {
  static auto* types = new std::map<const ClassInfo*, DeviceTypes>();
  return *types;
}

}  // namespace

const DeviceTypes& allowed_virtual_device_types() { return all_types(); }

bool declare_device_types(const ClassInfo& worker, std::initializer_list<std::string_view> types) {
  DeviceTypes& own = types_by_worker()[&worker];
  for (const std::string_view type : types) {
    own.add(type);
    all_types().add(type);
  }
  return true;
}

const DeviceTypes& device_types_of(const ClassInfo& worker) {
  static const DeviceTypes none;
  for (const ClassInfo* cls = &worker; cls; cls = cls->base()) {
    const auto found = types_by_worker().find(cls);
    if (found != types_by_worker().end()) return found->second;
  }
  return none;
}

const ClassInfo& translate(std::string_view name) { return worker_classes().resolve(name); }

}  // namespace tarvex::morvane::schema
