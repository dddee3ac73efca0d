// The user's logical testbed rewritten under actual names.
//
// The user describes devices and interfaces under logical names; once the
// orchestrator has reported what it brought up, that content is moved to
// the actual device and interface names so that it can be merged into the
// orchestrator's configuration.  Keys that only make sense on the logical
// side (the "logical" flag, the interface type used for matching, the
// aliases and binding markers) are dropped on the way.
#include <functional>
#include <utility>

#include "tarvex/exceptions.hpp"
#include "tarvex/morvane/bases/module.hpp"
#include "tarvex/morvane/bases/worker.hpp"

namespace tarvex::morvane::bases {

namespace {

const Value kDevices("devices");
const Value kInterfaces("interfaces");
const Value kTopology("topology");

void drop_ignored_keys(Value& entry, const std::vector<std::string>& keys, const Value& logical_device) {
  if (!entry.is_map())
    throw TypeError(std::string("'") + entry.type_name() + "' object does not support item deletion");
  for (const std::string& key : keys) {
    if (entry.as_map().erase(Value(key))) {
      logger().debug("Ignoring key {} in original testbed topology for logical device {}.", key, logical_device);
    } else {
      logger().debug("Did not find key {} in original testbed topology for logical device {}.", key, logical_device);
    }
  }
}

// What the transfer reads from the worker, and the configuration it edits.
struct TransferContext {
  Value& config;  // the enhanced logical testbed configuration
  const Value& testbed_config;
  const Value& dev_intf_xref;
  const std::vector<std::string>& device_keys_to_ignore;
  const std::vector<std::string>& interface_keys_to_ignore;
  std::function<bool(const Value& name, const Value& interfaces)> interface_is_present;
};

class ContentTransfer {
 public:
  explicit ContentTransfer(TransferContext context) : worker_(std::move(context)), config_(worker_.config) {}

  // The device's entry under "devices", copied from the logical name to the
  // actual one without the keys to ignore (and dropped if nothing is left).
  // The logical entry stays: the merge leaves it out when the orchestrator
  // did not use that name.
  void transfer_device(const Value& actual, const Value& logical) {
    Value& devices = config_.at(kDevices);
    if (!(actual == logical)) devices.as_map().insert_or_assign(actual, devices.at(logical));
    Value& device = devices.at(actual);
    drop_ignored_keys(device, worker_.device_keys_to_ignore, logical);
    if (!device.truthy()) devices.as_map().erase(actual);
  }

  // The device's entry under "topology", moved to the actual name with its
  // interfaces re-keyed by actual interface name.  Returns false when a key
  // the move needs is missing; the steps already taken stay.
  bool transfer_topology(const Value& actual, const Value& logical) {
    Value* topology = config_.lookup(kTopology);
    if (!topology) return false;
    const bool renamed = !(actual == logical);
    if (renamed) {
      const Value* logical_entry = topology->lookup(logical);
      if (!logical_entry) return false;
      // The interfaces are left out of the copy: they are re-keyed below
      // and leave with the logical entry.
      topology->as_map().insert_or_assign(actual, without_interfaces(*logical_entry));
    }
    Value* device = topology->lookup(actual);
    if (!device) return false;
    // A renamed device reads its interfaces from the logical entry; one
    // that kept its name has them taken out of its own entry.
    Value* source = renamed ? topology->at(logical).lookup(kInterfaces) : device->lookup(kInterfaces);
    if (!source) return false;
    Value logical_interfaces;
    if (renamed) {
      logical_interfaces = std::exchange(*source, Value());
    } else {
      logical_interfaces = std::move(*source);
      device->as_map().erase(kInterfaces);
    }

    const Value* testbed_topology = worker_.testbed_config.lookup(kTopology);
    const Value* testbed_device = testbed_topology ? testbed_topology->lookup(actual) : nullptr;
    const Value* testbed_interfaces = testbed_device ? testbed_device->lookup(kInterfaces) : nullptr;
    if (!testbed_interfaces) {
      // The logical entry keeps its interfaces when the move stops here.
      if (renamed) *source = std::move(logical_interfaces);
      return false;
    }
    logger().debug("Interfaces for {} from testbed: {}", actual, *testbed_interfaces);

    Map actual_interfaces = rekey_interfaces(logical, logical_interfaces, *testbed_interfaces);
    if (!actual_interfaces.empty()) device->as_map().insert_or_assign(kInterfaces, std::move(actual_interfaces));
    if (renamed) topology->as_map().erase(logical);
    // Erasing may have moved the entries: look the device up again.
    const Value* moved = topology->find(actual);
    if (moved && !moved->truthy()) topology->as_map().erase(actual);
    return true;
  }

 private:
  // A copy of a topology entry without its interfaces (an entry that is no
  // mapping is copied as it is and fails the next lookup).
  static Value without_interfaces(const Value& entry) {
    if (!entry.is_map()) return entry;
    Map out;
    for (const auto& [key, value] : entry.as_map()) {
      if (!(key == kInterfaces)) out.insert_or_assign(key, value);
    }
    return out;
  }

  // The logical interfaces under the names they have on the actual device.
  // An interface the orchestrator knows nothing about (by name or alias) is
  // user content for the actual testbed and is kept whole under its
  // logical name.  The entries are moved out of `logical_interfaces`,
  // which is dropped afterwards.
  Map rekey_interfaces(const Value& logical, Value& logical_interfaces, const Value& testbed_interfaces) {
    Map out;
    for (auto&& [name, entry] : logical_interfaces.as_map()) {
      if (entry.truthy() && !worker_.interface_is_present(name, testbed_interfaces)) {
        logger().debug("Detected interface {} specified only in logical testbed. Copying it to the actual testbed ...",
                       name);
        out.insert_or_assign(name, std::move(entry));
        continue;
      }
      const Value* bound = worker_.dev_intf_xref.lookup(logical);
      const Value* actual_name = bound ? bound->lookup(name) : nullptr;
      if (!actual_name) {
        logger().debug("Did not find any actual interface bound to logical device {}, interface {}.", logical, name);
        continue;
      }
      Value& moved = out.insert_or_assign(*actual_name, entry.is_none() ? Value(Map{}) : std::move(entry));
      drop_ignored_keys(moved, worker_.interface_keys_to_ignore, logical);
    }
    return out;
  }

  TransferContext worker_;
  Value& config_;
};

}  // namespace

void BringUpWorkerBase::_populate_enhanced_logical_testbed_config() {
  logger().debug("Transferring content from logical testbed file to testbed topology...");
  // Copies of values are deep: the transfer edits this copy in place and
  // the logical configuration stays as it was loaded.
  enhanced_logical_testbed_config = logical_testbed_config;
  ContentTransfer transfer(
      {enhanced_logical_testbed_config, testbed_config, dev_intf_xref, _logical_device_keys_to_ignore,
       _logical_interface_keys_to_ignore,
       [this](const Value& name, const Value& interfaces) { return _interface_is_present(name, interfaces); }});
  for (const auto& [actual, logical] : dev_name_xref.as_map()) {
    transfer.transfer_device(actual, logical);
    if (!transfer.transfer_topology(actual, logical)) {
      logger().debug("Did not find any topology entry for logical device {}.", logical);
    }
  }
}

}  // namespace tarvex::morvane::bases
