#include "tarvex/morvane/fabric/plan.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <numeric>
#include <set>
#include <string_view>

#include "tarvex/exceptions.hpp"

namespace tarvex::morvane::fabric {

namespace {

// Interface indexes are chosen by the plan: a fresh namespace holds only lo
// (1) and, with some modules loaded, a few fallback tunnel devices numbered
// right after it, so ours start well above them.
constexpr int kFirstInterfaceIndex = 1000;  // eth N is 1000 + N
constexpr int kFirstBridgeIndex = 100000;   // the bridges of a switch
constexpr int kLanFirstIndex = 1000;        // bridges, then ports, in the link namespace
constexpr std::size_t kDevicePart = 15;
constexpr std::size_t kTopologyPart = 10;
constexpr std::size_t kHashChars = 4;

std::uint64_t fnv1a(std::initializer_list<std::string_view> parts) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (std::string_view part : parts) {
    for (const char c : part) {
      hash ^= static_cast<unsigned char>(c);
      hash *= 0x100000001b3ull;
    }
    hash ^= 0xff;  // separator: ("ab", "c") and ("a", "bc") differ
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// A final mix, so that close inputs give unrelated MAC addresses.
std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

std::string hex(std::uint64_t value, std::size_t digits) {
  static const char* digits_of = "0123456789abcdef";
  std::string text(digits, '0');
  for (std::size_t i = digits; i-- > 0; value >>= 4) text[i] = digits_of[value & 15];
  return text;
}

bool allowed_in_names(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
}

std::string sanitized(const std::string& name) {
  std::string clean = name;
  std::replace_if(
      clean.begin(), clean.end(), [](char c) { return !allowed_in_names(c); }, '_');
  return clean;
}

// Every problem found, reported together.
class Problems {
 public:
  explicit Problems(std::string backend) : backend_(std::move(backend)) {}
  void add(std::string text) { items_.push_back(std::move(text)); }
  bool empty() const { return items_.empty(); }
  std::vector<std::string>& items() { return items_; }
  [[noreturn]] void raise() const {
    std::string text = "The logical testbed cannot be built by the " + backend_ + " orchestrator:";
    for (const std::string& item : items_) text += "\n  - " + item;
    throw ValueError(text);
  }

 private:
  std::string backend_;
  std::vector<std::string> items_;
};

std::string device_where(const std::string& device) { return "device " + py_repr(device); }
std::string interface_where(const std::string& device, const std::string& interface) {
  return device_where(device) + ", interface " + py_repr(interface);
}

// The text of a scalar the user wrote, for messages.
std::string shown(const Value& value) { return value.is_str() ? py_repr(value.as_str()) : value.repr(); }

// Addresses under `key` ("ipv4" or "ipv6"): one text or a list of them.
std::vector<IpAddress> parse_addresses(const Value& entry, const char* key, int family, const std::string& where,
                                       Problems& problems) {
  std::vector<IpAddress> addresses;
  const Value* given = entry.find(key);
  if (!given || given->is_none()) return addresses;
  const List items = given->is_list() ? given->as_list() : List{*given};
  const char* example = family == 4 ? "10.0.1.1/24" : "2001:db8::1/64";
  for (const Value& item : items) {
    std::optional<IpAddress> address;
    if (item.is_str()) address = IpAddress::parse(item.as_str(), family, true);
    if (!address) {
      problems.add(where + ": " + key + " " + shown(item) + " is not an IPv" + std::to_string(family) +
                   " address with a prefix length (such as " + example + ")");
      continue;
    }
    if (address->is_ipv6_link_local() && address->prefix_length != 64) {
      problems.add(where + ": " + key + " " + shown(item) + " is link-local and needs the prefix length 64");
      continue;
    }
    // A host's address is neither its subnet's own address nor its
    // broadcast address: with one, the device cannot reach its neighbours.
    if (address->is_ipv4() && address->prefix_length < 31 && !address->has_host_bits()) {
      problems.add(where + ": " + key + " " + shown(item) + " is the network address of " + address->network().text() +
                   ", not an address a device can have");
      continue;
    }
    if (address->is_ipv4_broadcast()) {
      problems.add(where + ": " + key + " " + shown(item) + " is the broadcast address of " +
                   address->network().text() + ", not an address a device can have");
      continue;
    }
    addresses.push_back(*address);
  }
  return addresses;
}

std::optional<int> parse_int(const Value& entry, const char* key, int low, int high, const std::string& where,
                             Problems& problems) {
  const Value* given = entry.find(key);
  if (!given || given->is_none()) return std::nullopt;
  if (!given->is_int() || given->as_int() < low || given->as_int() > high) {
    problems.add(where + ": " + key + " " + shown(*given) + " is not a whole number from " + std::to_string(low) +
                 " to " + std::to_string(high));
    return std::nullopt;
  }
  return static_cast<int>(given->as_int());
}

// A union-find over the interfaces of the plan, for the layer-2 segments.
class Segments {
 public:
  explicit Segments(const Plan& plan) {
    for (std::size_t d = 0; d < plan.devices.size(); ++d) {
      offsets_.push_back(parent_.size());
      for (std::size_t i = 0; i < plan.devices[d].interfaces.size(); ++i) parent_.push_back(parent_.size());
    }
  }
  std::size_t id(const InterfaceRef& ref) const { return offsets_[ref.device] + ref.interface; }
  std::size_t root(std::size_t x) {
    while (parent_[x] != x) x = parent_[x] = parent_[parent_[x]];
    return x;
  }
  void join(const InterfaceRef& a, const InterfaceRef& b) { parent_[root(id(a))] = root(id(b)); }
  std::size_t of(const InterfaceRef& ref) { return root(id(ref)); }

 private:
  std::vector<std::size_t> offsets_;
  std::vector<std::size_t> parent_;
};

class Planner {
 public:
  Planner(const Value& logical, const PlanOptions& options)
      : logical_(logical), options_(options), problems_(options.backend) {
    plan_.run_id = options.run_id;
  }

  Plan run(const std::vector<std::string>& names) {
    for (const std::string& name : names) add_device(name);
    connect_links();
    plan_switches();
    check_switch_loops();
    name_namespaces();
    assign_macs();
    check_segments();
    warn_about_ends_apart();
    plan_routes(names);
    if (options_.extra_checks) options_.extra_checks(plan_, problems_.items());
    if (!problems_.empty()) problems_.raise();
    return std::move(plan_);
  }

 private:
  const Value* device_entry(const std::string& name) const {
    const Value* devices = logical_.is_map() ? logical_.find("devices") : nullptr;
    return devices && devices->is_map() ? devices->find(name) : nullptr;
  }

  const Value* interfaces_of(const std::string& name) {
    const Value* topology = logical_.is_map() ? logical_.find("topology") : nullptr;
    const Value* device = topology && topology->is_map() ? topology->find(name) : nullptr;
    if (!device || device->is_none()) return nullptr;
    if (!device->is_map()) {
      problems_.add(device_where(name) + ": its topology entry is not a mapping");
      return nullptr;
    }
    const Value* interfaces = device->find("interfaces");
    if (!interfaces || interfaces->is_none()) return nullptr;
    if (!interfaces->is_map()) {
      problems_.add(device_where(name) + ": its interfaces are not a mapping of interface names");
      return nullptr;
    }
    return interfaces;
  }

  void add_device(const std::string& name) {
    PlannedDevice device;
    device.logical_name = name;
    if (name.empty()) problems_.add("a device has an empty name");
    const Value* entry = device_entry(name);
    const Value type = entry && entry->is_map() ? entry->get("type") : Value();
    std::string offered;
    for (const std::string& t : options_.device_types) offered += (offered.empty() ? "" : ", ") + t;
    if (!type.is_str()) {
      problems_.add(device_where(name) + ": " + (type.is_none() ? "no type given" : "type " + shown(type)) + " (the " +
                    options_.backend + " orchestrator builds the device types " + offered + ")");
    } else if (std::find(options_.device_types.begin(), options_.device_types.end(), type.as_str()) ==
               options_.device_types.end()) {
      problems_.add(device_where(name) + ": type " + shown(type) + " is not one the " + options_.backend +
                    " orchestrator builds (it builds " + offered + ")");
    } else {
      device.type = type.as_str();
    }
    device.forwarding = device.type == "router";

    int eth = 0;
    if (const Value* interfaces = interfaces_of(name)) {
      for (const auto& [key, value] : interfaces->as_map()) {
        PlannedInterface interface;
        interface.logical_name = key.str();
        const std::string where = interface_where(name, interface.logical_name);
        if (!value.is_none() && !value.is_map()) {
          problems_.add(where + ": the interface entry is not a mapping");
          continue;
        }
        const Value entry_value = value.is_none() ? Value(Map{}) : value;
        const Value type_value = entry_value.get("type");
        interface.type = "ethernet";
        if (!type_value.is_none()) {
          if (!type_value.is_str() || type_value.as_str().empty()) {
            problems_.add(where + ": type " + shown(type_value) + " is not an interface type name");
          } else {
            interface.type = type_value.as_str();
            if (interface.type != "ethernet" && interface.type != "loopback") {
              plan_.warnings.push_back(where + ": type " + shown(type_value) + " is built as an ethernet interface " +
                                       "(the " + options_.backend + " orchestrator builds ethernet and loopback ones)");
            }
          }
        }
        const Value link = entry_value.get("link");
        if (!link.is_none()) {
          if (!link.is_scalar() || link.str().empty()) {
            problems_.add(where + ": link " + shown(link) + " is not a link name");
          } else {
            interface.link = link.str();
          }
        }
        if (interface.type == "loopback") {
          if (interface.link)
            problems_.add(where + ": a loopback interface cannot be on link " + py_repr(*interface.link));
          interface.kind = InterfaceKind::Loopback;
          interface.name = "lo";
          interface.ifindex = 1;
          interface.link.reset();
        } else {
          interface.kind = interface.link ? InterfaceKind::Veth : InterfaceKind::Dummy;
          interface.name = "eth" + std::to_string(++eth);
          interface.ifindex = kFirstInterfaceIndex + eth;
        }
        interface.mtu = parse_int(entry_value, "mtu", 68, 65535, where, problems_);
        for (auto family : {4, 6}) {
          for (const IpAddress& address :
               parse_addresses(entry_value, family == 4 ? "ipv4" : "ipv6", family, where, problems_)) {
            interface.addresses.push_back(address);
          }
        }
        const bool has_ipv6 = std::any_of(interface.addresses.begin(), interface.addresses.end(),
                                          [](const IpAddress& a) { return !a.is_ipv4(); });
        if (interface.mtu && has_ipv6 && *interface.mtu < 1280) {
          problems_.add(where + ": mtu " + std::to_string(*interface.mtu) + " is below 1280, the least IPv6 needs");
        }
        if (entry_value.contains("vlan") && !entry_value.get("vlan").is_none()) {
          if (device.type != "switch") {
            problems_.add(where + ": vlan " + shown(entry_value.get("vlan")) +
                          " is only for the ports of a switch, and this device is a " +
                          (device.type.empty() ? std::string("device of no known type") : device.type));
          } else if (!interface.link) {
            problems_.add(where + ": vlan " + shown(entry_value.get("vlan")) + " on an interface without a link");
          } else {
            interface.vlan = parse_int(entry_value, "vlan", 1, 4094, where, problems_);
          }
        }
        if (entry_value.contains("impair") && !entry_value.get("impair").is_none()) {
          if (interface.kind == InterfaceKind::Loopback) {
            problems_.add(where + ": impair on a loopback interface (it has no egress to shape)");
          } else {
            std::vector<std::string> found;
            interface.impairment = parse_impairment(entry_value.get("impair"), where, found);
            for (const std::string& problem : found) problems_.add(problem);
          }
        }
        if (device.type == "switch" && interface.link && !interface.addresses.empty()) {
          problems_.add(where + ": address " + interface.addresses.front().text() +
                        " on a switch port (a port is bridged and carries no address; put it on an interface "
                        "without a link)");
        }
        device.interfaces.push_back(std::move(interface));
      }
    }
    plan_.devices.push_back(std::move(device));
  }

  void connect_links() {
    std::map<std::string, std::vector<InterfaceRef>> ends;
    std::vector<std::string> order;
    for (std::size_t d = 0; d < plan_.devices.size(); ++d) {
      for (std::size_t i = 0; i < plan_.devices[d].interfaces.size(); ++i) {
        const PlannedInterface& interface = plan_.devices[d].interfaces[i];
        if (!interface.link) continue;
        auto& list = ends[*interface.link];
        if (list.empty()) order.push_back(*interface.link);
        list.push_back({d, i});
      }
    }
    int next_lan_index = kLanFirstIndex;
    for (const std::string& link : order) {
      const std::vector<InterfaceRef>& refs = ends[link];
      if (refs.size() == 1) {
        PlannedInterface& lone = plan_.devices[refs[0].device].interfaces[refs[0].interface];
        lone.kind = InterfaceKind::Dummy;
        lone.up = false;
        plan_.warnings.push_back(interface_where(plan_.devices[refs[0].device].logical_name, lone.logical_name) +
                                 ": link " + py_repr(link) + " has no other end; the interface is created down");
      } else if (refs.size() == 2) {
        plan_.pairs.push_back({link, refs[0], refs[1]});
      } else {
        PlannedLan lan;
        lan.link = link;
        lan.bridge = "lan" + std::to_string(plan_.lans.size() + 1);
        plan_.lans.push_back(std::move(lan));
        lan_ends_.push_back(refs);
      }
    }
    // Interface indexes of the link namespace: the bridges first, then the ports.
    for (PlannedLan& lan : plan_.lans) lan.bridge_ifindex = next_lan_index++;
    for (std::size_t l = 0; l < plan_.lans.size(); ++l) {
      PlannedLan& lan = plan_.lans[l];
      for (const InterfaceRef& end : lan_ends_[l]) {
        lan.ports.push_back({end, lan.bridge + "p" + std::to_string(lan.ports.size() + 1), next_lan_index++, {}});
      }
    }
  }

  void plan_switches() {
    for (PlannedDevice& device : plan_.devices) {
      const Value* entry = device_entry(device.logical_name);
      const Value stp = entry && entry->is_map() ? entry->get("stp") : Value();
      if (!stp.is_none()) {
        if (!stp.is_bool()) {
          problems_.add(device_where(device.logical_name) + ": stp " + shown(stp) + " is not true or false");
        } else if (device.type != "switch") {
          problems_.add(device_where(device.logical_name) + ": stp is for switches, and this device is a " +
                        (device.type.empty() ? std::string("device of no known type") : device.type));
        }
      }
      if (device.type != "switch") continue;
      const bool runs_stp = stp.is_bool() && stp.as_bool();
      const bool vlans = std::any_of(device.interfaces.begin(), device.interfaces.end(),
                                     [](const PlannedInterface& i) { return i.vlan.has_value(); });
      if (!vlans) device.bridges.push_back({"br0", kFirstBridgeIndex, {}, std::nullopt, runs_stp});
      for (PlannedInterface& interface : device.interfaces) {
        if (interface.kind != InterfaceKind::Veth) continue;
        std::optional<int> vlan;
        if (vlans) vlan = interface.vlan.value_or(1);
        auto bridge = std::find_if(device.bridges.begin(), device.bridges.end(),
                                   [&](const PlannedBridge& b) { return b.vlan == vlan; });
        if (bridge == device.bridges.end()) {
          const int index = kFirstBridgeIndex + static_cast<int>(device.bridges.size());
          device.bridges.push_back({"vlan" + std::to_string(*vlan), index, {}, vlan, runs_stp});
          bridge = device.bridges.end() - 1;
        }
        interface.bridge = static_cast<std::size_t>(bridge - device.bridges.begin());
      }
    }
  }

  void name_namespaces() {
    std::string tag = sanitized(options_.topology_tag).substr(0, kTopologyPart);
    while (!tag.empty() && (tag.back() == '-' || tag.back() == '_' || tag.back() == '.')) tag.pop_back();
    if (tag.empty()) tag = "mv";
    const std::string prefix = tag + "-" + options_.run_id + "-";
    std::set<std::string> taken;
    auto claim = [&](std::string name) {
      const std::string base = name;
      for (int n = 2; taken.count(name); ++n) name = base + "-" + std::to_string(n);
      taken.insert(name);
      return name;
    };
    plan_.link_namespace = claim(prefix + "links");
    for (PlannedDevice& device : plan_.devices) {
      device.actual_name = claim(prefix + name_part(device.logical_name, kDevicePart));
    }
  }

  void assign_macs() {
    std::set<MacAddress> taken;
    auto mac_for = [&](std::initializer_list<std::string_view> parts) {
      const std::uint64_t base = fnv1a(parts);
      for (std::uint64_t attempt = 0;; ++attempt) {
        const std::uint64_t bits = mix(base + attempt);
        MacAddress mac;
        for (std::size_t i = 0; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(bits >> (8 * i));
        mac[0] = static_cast<std::uint8_t>((mac[0] & 0xfc) | 0x02);  // locally administered, unicast
        if (taken.insert(mac).second) return mac;
      }
    };
    const std::string& seed = options_.mac_seed;
    for (PlannedDevice& device : plan_.devices) {
      for (PlannedBridge& bridge : device.bridges)
        bridge.mac = mac_for({seed, "bridge", device.logical_name, bridge.name});
      for (PlannedInterface& interface : device.interfaces) {
        if (interface.kind != InterfaceKind::Loopback) {
          interface.mac = mac_for({seed, "interface", device.logical_name, interface.logical_name});
        }
      }
    }
    for (PlannedLan& lan : plan_.lans) {
      lan.bridge_mac = mac_for({seed, "lan", lan.link});
      for (std::size_t p = 0; p < lan.ports.size(); ++p) {
        lan.ports[p].mac = mac_for({seed, "lan port", lan.link, std::to_string(p)});
      }
    }
  }

  // Loops among switches: a frame flooded on a loop of bridges circles
  // forever (a broadcast storm) unless the bridges run the spanning tree
  // protocol.  The bridges of switches and the LANs of links with three or
  // more ends are the nodes; each link between two of them is an edge.
  void check_switch_loops() {
    struct Edge {
      std::size_t a, b;
      std::string link;
    };
    // Node ids: the switches' bridges first, then the LANs.
    std::map<std::pair<std::size_t, std::size_t>, std::size_t> bridge_node;
    std::vector<std::string> node_name;
    std::vector<bool> node_stp;
    for (std::size_t d = 0; d < plan_.devices.size(); ++d) {
      for (std::size_t b = 0; b < plan_.devices[d].bridges.size(); ++b) {
        bridge_node[{d, b}] = node_name.size();
        const PlannedDevice& device = plan_.devices[d];
        node_name.push_back(py_repr(device.logical_name) +
                            (device.bridges.size() > 1 ? " (" + device.bridges[b].name + ")" : std::string()));
        node_stp.push_back(device.bridges[b].stp);
      }
    }
    const std::size_t first_lan = node_name.size();
    for (const PlannedLan& lan : plan_.lans) {
      node_name.push_back("the LAN of link " + py_repr(lan.link));
      node_stp.push_back(true);  // it runs STP when the switches on its loop do
    }
    auto node_of = [&](const InterfaceRef& end) -> std::optional<std::size_t> {
      const std::optional<std::size_t> bridge = plan_.interface(end).bridge;
      if (!bridge) return std::nullopt;
      return bridge_node.at({end.device, *bridge});
    };
    std::vector<Edge> edges;
    for (const PlannedPair& pair : plan_.pairs) {
      const auto a = node_of(pair.first), b = node_of(pair.second);
      if (a && b) edges.push_back({*a, *b, pair.link});
    }
    for (std::size_t l = 0; l < plan_.lans.size(); ++l) {
      for (const PlannedLan::Port& port : plan_.lans[l].ports) {
        if (const auto node = node_of(port.end)) edges.push_back({first_lan + l, *node, plan_.lans[l].link});
      }
    }
    // The edges of a spanning forest, and for each edge that closes a
    // cycle, the cycle it closes.
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> forest(node_name.size());  // (node, edge)
    std::vector<std::size_t> parent(node_name.size());
    std::iota(parent.begin(), parent.end(), 0);
    auto root = [&](std::size_t x) {
      while (parent[x] != x) x = parent[x] = parent[parent[x]];
      return x;
    };
    for (std::size_t e = 0; e < edges.size(); ++e) {
      const Edge& edge = edges[e];
      if (root(edge.a) != root(edge.b)) {
        parent[root(edge.a)] = root(edge.b);
        forest[edge.a].push_back({edge.b, e});
        forest[edge.b].push_back({edge.a, e});
        continue;
      }
      // The path from a to b in the forest, plus this edge, is the loop.
      std::vector<std::size_t> via(node_name.size(), SIZE_MAX), through(node_name.size(), SIZE_MAX);
      std::vector<std::size_t> queue{edge.a};
      via[edge.a] = edge.a;
      for (std::size_t q = 0; q < queue.size(); ++q) {
        for (const auto& [next, e2] : forest[queue[q]]) {
          if (via[next] != SIZE_MAX) continue;
          via[next] = queue[q];
          through[next] = e2;
          queue.push_back(next);
        }
      }
      std::vector<std::size_t> nodes{edge.b}, loop_edges{e};
      for (std::size_t x = edge.b; x != edge.a; x = via[x]) {
        loop_edges.push_back(through[x]);
        nodes.push_back(via[x]);
      }
      if (nodes.size() > 1 && nodes.front() == nodes.back()) nodes.pop_back();
      bool all_stp = true;
      for (const std::size_t node : nodes) all_stp = all_stp && node_stp[node];
      bool any_switch = false;
      for (const std::size_t node : nodes) any_switch = any_switch || node < first_lan;
      if (all_stp && any_switch) {
        for (const std::size_t node : nodes) {
          if (node >= first_lan) plan_.lans[node - first_lan].stp = true;
        }
        continue;
      }
      std::vector<std::string> names, links;
      for (const std::size_t node : nodes) names.push_back(node_name[node]);
      for (const std::size_t le : loop_edges) {
        if (std::find(links.begin(), links.end(), py_repr(edges[le].link)) == links.end()) {
          links.push_back(py_repr(edges[le].link));
        }
      }
      std::sort(names.begin(), names.end());
      names.erase(std::unique(names.begin(), names.end()), names.end());
      std::sort(links.begin(), links.end());
      problems_.add("switches " + joined(names) + " form a loop through links " + joined(links) +
                    ", which would flood it with frames circling forever: remove a link of the loop, or give its " +
                    "switches stp: true (their bridges then run the spanning tree protocol)");
    }
  }

  static std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
  }

  // Layer-2 segments: the ends of a link, and the ports of a switch in the
  // same VLAN.  Duplicate addresses on a segment or a device are errors;
  // every other address in a subnet of a device's own is a neighbour.
  void check_segments() {
    Segments segments(plan_);
    for (const PlannedPair& pair : plan_.pairs) segments.join(pair.first, pair.second);
    for (const PlannedLan& lan : plan_.lans) {
      for (const PlannedLan::Port& port : lan.ports) segments.join(lan.ports.front().end, port.end);
    }
    for (std::size_t d = 0; d < plan_.devices.size(); ++d) {
      std::map<std::size_t, InterfaceRef> first_port_of_bridge;
      for (std::size_t i = 0; i < plan_.devices[d].interfaces.size(); ++i) {
        const std::optional<std::size_t> bridge = plan_.devices[d].interfaces[i].bridge;
        if (!bridge) continue;
        auto [it, fresh] = first_port_of_bridge.try_emplace(*bridge, InterfaceRef{d, i});
        if (!fresh) segments.join(it->second, {d, i});
      }
    }

    // Every address with where it is.
    struct Placed {
      InterfaceRef ref;
      IpAddress address;
      std::size_t segment;
    };
    std::vector<Placed> placed;
    for (std::size_t d = 0; d < plan_.devices.size(); ++d) {
      for (std::size_t i = 0; i < plan_.devices[d].interfaces.size(); ++i) {
        for (const IpAddress& address : plan_.devices[d].interfaces[i].addresses) {
          placed.push_back({{d, i}, address, segments.of({d, i})});
        }
      }
    }
    auto where_of = [&](const InterfaceRef& ref) {
      return interface_where(plan_.devices[ref.device].logical_name, plan_.interface(ref).logical_name);
    };
    for (std::size_t a = 0; a < placed.size(); ++a) {
      for (std::size_t b = a + 1; b < placed.size(); ++b) {
        if (!placed[a].address.same_address(placed[b].address)) continue;
        if (placed[a].ref.device == placed[b].ref.device || placed[a].segment == placed[b].segment) {
          problems_.add(where_of(placed[b].ref) + ": address " + placed[b].address.text() + " is already used by " +
                        where_of(placed[a].ref));
        }
      }
    }

    for (const Placed& own : placed) {
      const PlannedInterface& interface = plan_.interface(own.ref);
      if (interface.kind != InterfaceKind::Veth || !interface.up) continue;
      PlannedDevice& device = plan_.devices[own.ref.device];
      for (const Placed& other : placed) {
        if (other.ref.device == own.ref.device || other.segment != own.segment) continue;
        if (!own.address.subnet_contains(other.address)) continue;
        const bool known = std::any_of(device.neighbours.begin(), device.neighbours.end(),
                                       [&](const Neighbour& n) { return n.address.same_address(other.address); });
        if (!known) {
          device.neighbours.push_back({interface.name, other.address, plan_.devices[other.ref.device].logical_name,
                                       plan_.interface(other.ref).name});
        }
      }
    }
  }

  // The two ends of a link with addresses of a family but no subnet in
  // common cannot reach each other over it: likely a typo, so it is said.
  void warn_about_ends_apart() {
    for (const PlannedPair& pair : plan_.pairs) {
      const PlannedInterface& a = plan_.interface(pair.first);
      const PlannedInterface& b = plan_.interface(pair.second);
      for (const int family : {4, 6}) {
        bool a_has = false, b_has = false, shared = false;
        for (const IpAddress& x : a.addresses) {
          if (x.family != family || x.is_ipv6_link_local()) continue;
          a_has = true;
          for (const IpAddress& y : b.addresses) {
            if (y.family != family || y.is_ipv6_link_local()) continue;
            b_has = true;
            shared = shared || x.subnet_contains(y) || y.subnet_contains(x);
          }
        }
        if (!a_has || !b_has || shared) continue;
        plan_.warnings.push_back(interface_where(plan_.devices[pair.first.device].logical_name, a.logical_name) +
                                 " and " +
                                 interface_where(plan_.devices[pair.second.device].logical_name, b.logical_name) +
                                 " on link " + py_repr(pair.link) + " have IPv" + std::to_string(family) +
                                 " addresses in no common subnet: they cannot reach each other over it");
      }
    }
  }

  // The device's subnets a next hop can be in: those of its linked, up
  // interfaces.
  bool reachable(const PlannedDevice& device, const IpAddress& via, std::string& subnets) const {
    bool found = false;
    for (const PlannedInterface& interface : device.interfaces) {
      if (interface.kind != InterfaceKind::Veth || !interface.up) continue;
      for (const IpAddress& own : interface.addresses) {
        if (own.family != via.family) continue;
        subnets += (subnets.empty() ? "" : ", ") + own.network().text();
        if (own.subnet_contains(via) && !own.same_address(via)) found = true;
      }
    }
    return found;
  }

  void add_route(PlannedDevice& device, const std::string& what, const IpAddress& destination, const IpAddress& via) {
    const std::string where = device_where(device.logical_name);
    std::string subnets;
    if (!reachable(device, via, subnets)) {
      for (const PlannedInterface& interface : device.interfaces) {
        for (const IpAddress& own : interface.addresses) {
          if (own.same_address(via)) {
            problems_.add(where + ": " + what + " " + py_repr(via.address_text()) + " is the device's own address");
            return;
          }
        }
      }
      problems_.add(where + ": " + what + " " + py_repr(via.address_text()) +
                    " is outside every connected subnet of the device" +
                    (subnets.empty() ? " (it has no IPv" + std::to_string(via.family) + " address on a link)"
                                     : " (" + subnets + ")"));
      return;
    }
    for (const Route& route : device.routes) {
      if (route.destination == destination) {
        problems_.add(where + ": " + what + " " + py_repr(via.address_text()) + " repeats the route to " +
                      destination.text());
        return;
      }
    }
    device.routes.push_back({destination, via});
  }

  void plan_routes(const std::vector<std::string>& names) {
    for (std::size_t d = 0; d < plan_.devices.size(); ++d) {
      PlannedDevice& device = plan_.devices[d];
      const Value* entry = device_entry(names[d]);
      if (!entry || !entry->is_map()) continue;
      const std::string where = device_where(device.logical_name);

      const Value gateway = entry->get("gateway");
      if (!gateway.is_none()) {
        std::set<int> families;
        for (const Value& item : gateway.is_list() ? gateway.as_list() : List{gateway}) {
          std::optional<IpAddress> via;
          if (item.is_str()) via = IpAddress::parse(item.as_str(), 0, false);
          if (!via || item.as_str().find('/') != std::string::npos) {
            problems_.add(where + ": gateway " + shown(item) +
                          " is not an IPv4 or IPv6 address (without a prefix length)");
            continue;
          }
          if (!families.insert(via->family).second) {
            problems_.add(where + ": gateway " + shown(item) + " is a second IPv" + std::to_string(via->family) +
                          " gateway (give at most one IPv4 and one IPv6 gateway)");
            continue;
          }
          IpAddress any;
          any.family = via->family;
          add_route(device, "gateway", any, *via);
        }
      }

      const Value routes = entry->get("routes");
      if (routes.is_none()) continue;
      if (!routes.is_list()) {
        problems_.add(where + ": routes " + shown(routes) + " is not a list of {to: PREFIX, via: ADDRESS}");
        continue;
      }
      for (const Value& route : routes.as_list()) {
        const Value to = route.is_map() ? route.get("to") : Value();
        const Value via_text = route.is_map() ? route.get("via") : Value();
        std::optional<IpAddress> via;
        if (via_text.is_str()) via = IpAddress::parse(via_text.as_str(), 0, false);
        if (!route.is_map() || !via || via_text.as_str().find('/') != std::string::npos) {
          problems_.add(where + ": route " + route.repr() +
                        " is not {to: PREFIX, via: ADDRESS} with a next-hop address (without a prefix length)");
          continue;
        }
        std::optional<IpAddress> destination;
        if (to.is_str() && to.as_str() == "default") {
          destination = IpAddress{};
          destination->family = via->family;
        } else if (to.is_str()) {
          destination = IpAddress::parse(to.as_str(), via->family, false);
        }
        if (!destination) {
          problems_.add(where + ": route to " + shown(to) + " is not an IPv" + std::to_string(via->family) +
                        " prefix (such as " + (via->is_ipv4() ? "10.2.0.0/16" : "2001:db8:2::/48") +
                        ") or \"default\", matching its next hop " + via->address_text());
          continue;
        }
        if (destination->has_host_bits()) {
          problems_.add(where + ": route to " + shown(to) + " has bits set past its prefix length (the network is " +
                        destination->network().text() + ")");
          continue;
        }
        add_route(device, "route via", *destination, *via);
      }
    }
  }

  const Value& logical_;
  const PlanOptions& options_;
  Plan plan_;
  Problems problems_;
  std::vector<std::vector<InterfaceRef>> lan_ends_;
};

}  // namespace

std::string mac_text(const MacAddress& mac) {
  std::string text;
  for (const std::uint8_t byte : mac) text += (text.empty() ? "" : ":") + hex(byte, 2);
  return text;
}

std::string name_part(const std::string& name, std::size_t max_length) {
  const std::string clean = sanitized(name);
  if (clean == name && !name.empty() && name.size() <= max_length) return name;
  return clean.substr(0, max_length - kHashChars - 1) + "-" + hex(fnv1a({name}), kHashChars);
}

std::optional<std::size_t> Plan::device_index(const std::string& logical_name) const {
  for (std::size_t d = 0; d < devices.size(); ++d) {
    if (devices[d].logical_name == logical_name) return d;
  }
  return std::nullopt;
}

Plan make_plan(const Value& logical_testbed, const std::vector<std::string>& devices, const PlanOptions& options) {
  return Planner(logical_testbed, options).run(devices);
}

}  // namespace tarvex::morvane::fabric
