// The pictures' model made from a logical testbed (before anything is
// built) and from a final testbed (what was built).
#include "graph/entry_fields.hpp"
#include "graph/link_collector.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/morvane/graph.hpp"

namespace tarvex::morvane::graph {

namespace {

// Which testbed is read, for messages and for how names are found.
enum class Stage { Logical, Final };

const char* testbed_word(Stage stage) { return stage == Stage::Logical ? "logical" : "final"; }

// A mapping under `key` of `holder`, or nullptr when absent or null;
// ValueError naming `what` when it is something else.
const Map* optional_map(const Value& holder, const char* key, const std::string& what) {
  const Value* value = holder.find(key);
  if (!value || value->is_none()) return nullptr;
  if (!value->is_map()) throw ValueError(what + " is not a mapping (it is a " + value->type_name() + ")");
  return &value->as_map();
}

std::string testbed_name(const Value& testbed) {
  const Value* section = testbed.find("testbed");
  const Value name = section && section->is_map() ? section->get("name") : Value();
  return name.is_none() || !name.is_scalar() ? std::string() : name.str();
}

std::string scalar_text(const Value& value) { return value.is_none() || !value.is_scalar() ? "" : value.str(); }

// Reads the testbed's devices and their interfaces into a graph.
class TestbedReader {
 public:
  TestbedReader(const Value& testbed, Stage stage) : testbed_(testbed), stage_(stage) {
    if (!testbed.is_map()) {
      throw ValueError(std::string("the ") + testbed_word(stage) + " testbed is not a mapping (it is a " +
                       testbed.type_name() + ")");
    }
  }

  Graph read() {
    graph_.name = testbed_name(testbed_);
    const std::string devices_what = std::string("the ") + testbed_word(stage_) + " testbed's devices";
    const Map* devices = optional_map(testbed_, "devices", devices_what);
    topology_ = optional_map(testbed_, "topology", std::string("the ") + testbed_word(stage_) + " testbed's topology");
    if (!devices) return graph_;
    for (const auto& [key, entry] : *devices) {
      if (!entry.is_none() && !entry.is_map()) {
        throw ValueError("device " + py_repr(key.str()) + ": its entry is not a mapping (it is a " + entry.type_name() +
                         ")");
      }
    }
    // Before the build, the devices marked logical are the ones built (all
    // of them when none is marked, so that a plain sketch draws too).
    bool any_marked = false;
    if (stage_ == Stage::Logical) {
      for (const auto& [key, entry] : *devices) any_marked = any_marked || field(entry, "logical").truthy();
    }
    for (const auto& [key, entry] : *devices) {
      if (any_marked && !field(entry, "logical").truthy()) continue;
      add_device(key.str(), entry);
    }
    graph_.links = links_.links();
    return graph_;
  }

 private:
  void add_device(const std::string& key, const Value& entry) {
    Device device;
    if (stage_ == Stage::Final) {
      device.actual_name = key;
      device.name = scalar_text(field(entry, "alias"));
      if (device.name.empty()) device.name = key;
    } else {
      device.name = key;
    }
    device.type = scalar_text(field(entry, "type"));
    add_interfaces(key, device);
    graph_.devices.push_back(std::move(device));
  }

  void add_interfaces(const std::string& key, Device& device) {
    if (!topology_) return;
    const Value* entry = topology_->find(key);
    if (!entry || entry->is_none()) return;
    const std::string where = "device " + py_repr(device.name);
    if (!entry->is_map()) throw ValueError(where + ": its topology entry is not a mapping");
    const Map* interfaces = optional_map(*entry, "interfaces", where + ": its interfaces");
    if (!interfaces) return;
    for (const auto& [name_key, value] : *interfaces) {
      const std::string name = name_key.str();
      if (!value.is_none() && !value.is_map()) {
        throw ValueError(interface_where(device.name, name) + ": the interface entry is not a mapping (it is a " +
                         value.type_name() + ")");
      }
      Interface interface;
      interface.name = name;
      if (stage_ == Stage::Final) {
        interface.actual_name = name;
        const std::string alias = scalar_text(field(value, "alias"));
        if (!alias.empty()) interface.name = alias;
      }
      interface.addresses = entry_addresses(value);
      const Value link = field(value, "link");
      if (!link.is_none()) {
        if (!link.is_scalar() || link.str().empty()) {
          throw ValueError(interface_where(device.name, interface.name) + ": link " + link.repr() +
                           " is not a link name");
        }
        links_.add(link.str(), LinkEnd{device.name, std::move(interface)}, entry_is_down(value),
                   entry_impairment(value));
      } else if (!is_own_bridge(value)) {
        device.interfaces.push_back(std::move(interface));
      }
    }
  }

  // A switch's bridge that the backend made to join its ports: not the
  // user's, and its ports are drawn instead.
  bool is_own_bridge(const Value& entry) const {
    return stage_ == Stage::Final && field(entry, "type") == Value("bridge") &&
           scalar_text(field(entry, "alias")).empty();
  }

  const Value& testbed_;
  const Stage stage_;
  const Map* topology_ = nullptr;
  Graph graph_;
  LinkCollector links_;
};

}  // namespace

Graph graph_of_logical(const Value& logical_testbed) { return TestbedReader(logical_testbed, Stage::Logical).read(); }

Graph graph_of_testbed(const Value& final_testbed) { return TestbedReader(final_testbed, Stage::Final).read(); }

}  // namespace tarvex::morvane::graph
