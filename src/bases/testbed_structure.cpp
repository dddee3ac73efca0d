#include "bases/testbed_structure.hpp"

#include "tarvex/exceptions.hpp"
#include "tarvex/morvane/bases/module.hpp"

namespace tarvex::morvane::bases {

namespace {

[[noreturn]] void malformed(const std::string& what, const std::string& problem) {
  throw TypeError(what + ": " + problem);
}

// `section` under `path` must be a mapping (an empty one may be null).
bool is_mapping_or_empty(const Value& section) { return section.is_map() || section.is_none(); }

void check_names_and_entries(const Value& section, const std::string& path, const char* kind, const std::string& what) {
  for (const auto& [name, entry] : section.as_map()) {
    if (!name.is_str()) {
      malformed(what, std::string(kind) + " name " + name.repr() + " under " + path + " is a " + name.type_name() +
                          ", not text (quote it: '" + name.str() + "')");
    }
    if (!is_mapping_or_empty(entry)) {
      malformed(what, path + "/" + name.str() + " must be a mapping of its settings, not a " + entry.type_name());
    }
  }
}

}  // namespace

void check_testbed_structure(const Value& testbed, const std::string& what) {
  if (!testbed.is_map()) malformed(what, std::string("it must hold a mapping, not a ") + testbed.type_name());
  for (const char* key : {"testbed", "devices", "topology"}) {
    const Value* section = testbed.find(key);
    if (section && !is_mapping_or_empty(*section)) {
      malformed(what, std::string("'") + key + "' must be a mapping, not a " + section->type_name());
    }
  }
  if (const Value* devices = testbed.find("devices"); devices && devices->is_map()) {
    check_names_and_entries(*devices, "devices", "device", what);
    for (const auto& [name, entry] : devices->as_map()) {
      if (name.str().empty()) malformed(what, "a device under devices has an empty name");
      // `logical` decides what is brought up: a text such as "yes" (quoted,
      // so not a boolean) is taken by its truth, which may not be what was
      // meant.
      const Value logical = entry.is_map() ? entry.get("logical") : Value();
      if (!logical.is_none() && !logical.is_bool()) {
        logger().warning("{}: devices/{}/logical is {} (a {}), not true or false; it is taken as {}", what, name.str(),
                         logical.repr(), logical.type_name(), logical.truthy() ? "true" : "false");
      }
    }
  }
  const Value* topology = testbed.find("topology");
  if (!topology || !topology->is_map()) return;
  check_names_and_entries(*topology, "topology", "device", what);
  for (const auto& [device, entry] : topology->as_map()) {
    const Value* interfaces = entry.is_map() ? entry.find("interfaces") : nullptr;
    if (!interfaces || interfaces->is_none()) continue;
    const std::string path = "topology/" + device.str() + "/interfaces";
    if (!interfaces->is_map()) malformed(what, path + " must be a mapping, not a " + interfaces->type_name());
    check_names_and_entries(*interfaces, path, "interface", what);
  }
}

}  // namespace tarvex::morvane::bases
