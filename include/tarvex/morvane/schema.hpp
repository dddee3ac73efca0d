// Names the bring-up package knows: the device types that count as virtual,
// and the translation of orchestrator names to worker classes.
//
// Each orchestrator backend declares the device types it builds, once, next
// to its class (see MORVANE_DEVICE_TYPES); a logical device of a type that
// some backend of the process builds is virtual, any other is physical.
#pragma once

#include <initializer_list>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tarvex/object.hpp"

namespace tarvex::morvane::schema {

// A set of device type names.
class DeviceTypes {
 public:
  bool contains(std::string_view type) const { return types_.find(type) != types_.end(); }
  bool empty() const { return types_.empty(); }
  // Sorted, e.g. for messages.
  std::vector<std::string> names() const { return {types_.begin(), types_.end()}; }
  void add(std::string_view type) { types_.emplace(type); }

 private:
  std::set<std::string, std::less<>> types_;
};

// The device types that the backends of this process build.
const DeviceTypes& allowed_virtual_device_types();

// Declares the device types that the backend `worker` builds; returns true
// (for registration at load time).
bool declare_device_types(const ClassInfo& worker, std::initializer_list<std::string_view> types);
// The device types that `worker` (or the nearest base class that declared
// some) builds; empty when none were declared.
const DeviceTypes& device_types_of(const ClassInfo& worker);

// The worker class registered under `name` (a short name such as "sim" or a
// qualified class name), loading a plugin when needed; ImportError naming
// it otherwise.
const ClassInfo& translate(std::string_view name);

}  // namespace tarvex::morvane::schema

#define MORVANE_SCHEMA_CONCAT_(a, b) a##b
#define MORVANE_SCHEMA_CONCAT(a, b) MORVANE_SCHEMA_CONCAT_(a, b)
// Declares, at load time, the device types that a worker class builds:
//   MORVANE_DEVICE_TYPES(SimWorker, "host", "router", "switch");
#define MORVANE_DEVICE_TYPES(Class, ...)                                     \
  static const bool MORVANE_SCHEMA_CONCAT(morvane_device_types_, __LINE__) = \
      ::tarvex::morvane::schema::declare_device_types(Class::class_info(), {__VA_ARGS__})
