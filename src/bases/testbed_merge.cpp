// Merging the user's testbed configuration into the orchestrator's.
//
// The orchestrator's values are authoritative wherever it wrote something
// meaningful; the user's content fills every gap.  A real disagreement is
// resolved in the user's favour and logged, because it usually means the
// logical testbed asked for something the backend did not honour.
#include <string>
#include <unordered_set>

#include "tarvex/exceptions.hpp"
#include "tarvex/morvane/bases/module.hpp"
#include "tarvex/morvane/bases/worker.hpp"

namespace tarvex::morvane::bases {

namespace {

const Value kAlias("alias");
const Value kName("name");
const Value kTestbed("testbed");

using NameSet = std::unordered_set<Value, ValueHash>;

// The names a list (or the keys a mapping) holds, for constant-time
// membership tests.  Containers cannot be keys, so they are left out.
NameSet name_set(const Value& names) {
  NameSet out;
  auto add = [&out](const Value& name) {
    if (name.is_scalar()) out.insert(name);
  };
  if (names.is_list()) {
    for (const auto& name : names.as_list()) add(name);
  } else if (names.is_map()) {
    for (const auto& item : names.as_map()) add(item.first);
  }
  return out;
}

// One merge of a whole configuration.  The sets of logical and actual
// device names are built once, so that deciding whether a device entry is
// carried over costs the same for ten devices as for ten thousand.
class TestbedMerger {
 public:
  TestbedMerger(const Value& logical_devices, const Value& actual_devices)
      : logical_devices_(name_set(logical_devices)), actual_devices_(name_set(actual_devices)) {}

  // `path` is extended while descending and restored on the way back, so
  // that the position is always at hand for messages without building a
  // new string per entry.
  void merge(const Value& from_items, Value& to_items, std::string& path) const {
    const bool from_is_map = from_items.is_map();
    // Two leaves at the top have no parent through which the destination
    // could be replaced, so they are as invalid as a mapping against a leaf.
    if (from_is_map != to_items.is_map() || (!from_is_map && path.empty())) {
      throw TypeError(fmt::format("Invalid testbed YAML data, path={}, from={}, to={}.", path, from_items.pformat(),
                                  to_items.pformat()));
    }
    if (!from_is_map) {
      // A destination the orchestrator left empty keeps its value; only a
      // meaningful value that differs is a conflict.
      if (to_items.truthy() && !(to_items == from_items)) {
        logger().warning(
            "Testbed configuration merge conflict resolved.\nReplacing path={} : old value={}, new value={}.", path,
            to_items, from_items);
        to_items = from_items;
      }
      return;
    }
    const bool at_device_level = path == "/devices" || path == "/topology";
    Map& destination = to_items.as_map();
    for (const auto& [key, value] : from_items.as_map()) {
      // A logical device the orchestrator did not bring up under its own
      // name has been transferred to its actual name already.
      if (at_device_level && is_unused_logical_device(key)) continue;
      if (Value* existing = destination.find(key)) {
        const std::size_t mark = path.size();
        path += '/';
        // Text keys are appended as they are, without a temporary copy.
        if (key.is_str()) {
          path += key.as_str();
        } else {
          path += key.str();
        }
        merge(value, *existing, path);
        path.resize(mark);
      } else {
        destination.insert_or_assign(key, value);
      }
    }
  }

 private:
  bool is_unused_logical_device(const Value& key) const {
    return key.is_scalar() && logical_devices_.contains(key) && !actual_devices_.contains(key);
  }

  NameSet logical_devices_;
  NameSet actual_devices_;
};

}  // namespace

void BringUpWorkerBase::_testbed_name_alias_processing(Value& config) {
  logger().debug("Doing testbed name/alias processing ...");
  Value* testbed = config.lookup(kTestbed);
  const Value* found_name = testbed ? testbed->lookup(kName) : nullptr;
  if (!found_name) {
    logger().debug("No testbed name found in logical config.");
    return;
  }
  // The user's name gives way to the orchestrator's; it survives as the
  // alias unless the user chose an alias of their own.
  const Value name = *found_name;
  const Value* found_alias = testbed->find(kAlias);
  if (!found_alias || !found_alias->truthy()) {
    testbed->as_map().insert_or_assign(kAlias, name);
  } else if (!(*found_alias == name)) {
    logger().warning("Removing name {} from testbed config.", name);
  }
  testbed->as_map().erase(kName);
}

void BringUpWorkerBase::_merge_testbed_configs(const Value& from_items, Value& to_items, const std::string& path) {
  if (path.empty()) logger().debug("Merging orchestrator-generated content into testbed topology ...");
  const TestbedMerger merger(get_attr("logical_devices"), actual_devices);
  std::string position = path;
  merger.merge(from_items, to_items, position);
}

}  // namespace tarvex::morvane::bases
