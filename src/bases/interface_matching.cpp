// Binding of logical names to actual ones: device aliases, interface aliases
// found by matching links and types, and the logical-to-actual interface
// name cross-reference built from those aliases.
//
// Orchestrators report devices and interfaces under their own names; the
// user's content is written against logical names.  An actual interface is
// bound to the first free logical interface of its logical device that sits
// on the same link with the same type, and carries that logical name as its
// alias from then on.
#include "tarvex/exceptions.hpp"
#include "tarvex/morvane/bases/module.hpp"
#include "tarvex/morvane/bases/worker.hpp"

namespace tarvex::morvane::bases {

namespace {

const Value kAlias("alias");
const Value kBoundToInterface("boundToInterface");
const Value kDevices("devices");
const Value kInterfaces("interfaces");
const Value kLink("link");
const Value kTopology("topology");
const Value kType("type");

bool has_value(const Map& map, const Value& wanted) {
  for (const auto& item : map) {
    if (item.second == wanted) return true;
  }
  return false;
}

// Adds to `xref` the pairs (logical interface -> actual interface) of one
// device.  An actual interface pairs with a logical interface on the same
// link whose name it carries as its alias (or, when it has no alias, whose
// name it has), provided neither side is already paired.
void bind_device_interfaces(const Value& testbed_config, const Value& logical_testbed_config, Map& xref,
                            const Value& actual_device, const Value& logical_device) {
  const Value* topology = testbed_config.lookup(kTopology);
  const Value* device = topology ? topology->lookup(actual_device) : nullptr;
  const Value* interfaces = device ? device->lookup(kInterfaces) : nullptr;
  if (!interfaces) {
    logger().debug("Found no interfaces for actual device {} in testbed configuration", actual_device);
    return;
  }
  // The logical device's interfaces do not change while its actual
  // interfaces are paired: they are looked up once, when the first actual
  // interface with a link needs them.
  const Value* logical_interfaces = nullptr;
  bool logical_interfaces_looked_up = false;
  for (const auto& [actual_name, actual_interface] : interfaces->as_map()) {
    const Value* actual_link = actual_interface.lookup(kLink);
    if (actual_link && !logical_interfaces_looked_up) {
      logical_interfaces_looked_up = true;
      const Value* logical_topology = logical_testbed_config.lookup(kTopology);
      const Value* logical_entry = logical_topology ? logical_topology->lookup(logical_device) : nullptr;
      logical_interfaces = logical_entry ? logical_entry->lookup(kInterfaces) : nullptr;
    }
    if (!actual_link || !logical_interfaces) {
      logger().debug("Found no link for actual device {} interface {}.", actual_device, actual_name);
      continue;
    }
    static const Value no_alias;
    const Value* alias_entry = actual_interface.find(kAlias);
    const Value& alias = alias_entry ? *alias_entry : no_alias;
    for (const auto& [logical_name, logical_interface] : logical_interfaces->as_map()) {
      const Value* logical_link = logical_interface.lookup(kLink);
      if (!logical_link) {
        logger().debug("Found no link for logical device {} interface {}.", logical_device, logical_name);
        continue;
      }
      if (!(*actual_link == *logical_link)) continue;
      const bool named_alike = alias == logical_name || (!alias.truthy() && actual_name == logical_name);
      if (!named_alike) continue;
      Value* bound = xref.find(logical_device);
      if (bound) {
        const Value* existing = bound->as_map().find(logical_name);
        if (existing && existing->truthy()) continue;
        if (has_value(bound->as_map(), actual_name)) continue;
      } else {
        bound = &xref.insert_or_assign(logical_device, Map{});
      }
      if (!bound->as_map().contains(logical_name)) bound->as_map().insert_or_assign(logical_name, actual_name);
    }
  }
}

}  // namespace

void BringUpWorkerBase::_add_device_aliases() {
  logger().debug("Starting logical to physical device name mapping...");
  Value* devices = testbed_config.find(kDevices);
  if (!devices || !dev_name_xref.truthy()) return;
  for (auto&& [name, device] : devices->as_map()) {
    // Every device the backend built must say which logical device it
    // stands for.
    const Value* alias = dev_name_xref.find(name);
    if (!alias) throw KeyError(name.repr() + " (a device of the backend's testbed that dev_name_xref does not name)");
    device[kAlias] = *alias;
  }
}

void BringUpWorkerBase::_add_interface_aliases() {
  logger().debug("Starting logical to physical interface name mapping...");
  Value* topology = testbed_config.find(kTopology);
  if (!topology || !logical_testbed_config.find(kTopology)) return;
  // An entry that is not a mapping is a broken testbed, reported as the
  // lookup's TypeError; missing keys are skipped.
  for (auto&& [actual_device, device] : topology->as_map()) {
    Value* interfaces = device.lookup(kInterfaces);
    if (!interfaces) continue;
    const Value* logical_device = dev_name_xref.find(actual_device);
    for (auto&& [interface_name, interface] : interfaces->as_map()) {
      if (!interface.lookup(kLink) || !logical_device) continue;
      if (_logical_itf_name_assign_succeeded(*logical_device, interface)) {
        logger().debug("Bound logical (device {}, interface {}) to actual (device {}, interface {}).", *logical_device,
                       interface.at(kAlias), actual_device, interface_name);
      }
    }
  }
}

bool BringUpWorkerBase::_logical_itf_name_assign_succeeded(const Value& log_dev_name, Value& interfaceDict) {
  Value* topology = logical_testbed_config.lookup(kTopology);
  const Value* link = interfaceDict.lookup(kLink);
  if (!topology || !link) {
    logger().debug("No topology found in original testbed config.");
    return false;
  }
  Value* logical_device = topology->lookup(log_dev_name);
  if (!logical_device) {
    logger().debug("Logical device {} not found in original testbed config topology.", log_dev_name);
    return false;
  }
  Value* logical_interfaces = logical_device->lookup(kInterfaces);
  if (!logical_interfaces) {
    logger().debug("No interfaces found for logical device {}.", log_dev_name);
    return false;
  }
  const Value* actual_type = interfaceDict.find(kType);
  for (auto&& [logical_name, logical_interface] : logical_interfaces->as_map()) {
    // A logical interface that carries the marker was bound before, or was
    // reserved by the user; either way it is not free.
    if (logical_interface.contains(kBoundToInterface)) continue;
    const Value* logical_type = logical_interface.lookup(kType);
    if (!logical_type || !actual_type) {
      logger().error("No type found for logical device {} interface {}.", log_dev_name, logical_name);
      continue;
    }
    if (!(*logical_type == *actual_type)) continue;
    const Value* logical_link = logical_interface.lookup(kLink);
    if (!logical_link) {
      logger().debug("No link found for interface {} in device {} topology.", logical_name, log_dev_name);
      continue;
    }
    if (*logical_link == *link) {
      interfaceDict[kAlias] = logical_name;
      logical_interface[kBoundToInterface] = true;
      return true;
    }
  }
  return false;
}

void BringUpWorkerBase::_populate_intf_name_xref() {
  dev_intf_xref = Map{};
  Map& xref = dev_intf_xref.as_map();
  for (const auto& [actual_device, logical_device] : dev_name_xref.as_map()) {
    try {
      bind_device_interfaces(testbed_config, logical_testbed_config, xref, actual_device, logical_device);
    } catch (const TypeError&) {
      // A level that is not a mapping (a null configuration or interface
      // entry): this device contributes the pairs found so far.
      logger().debug("No testbed configuration found.");
    }
  }
}

}  // namespace tarvex::morvane::bases
