#include "orchestrators/netns/frr/frr_config.hpp"

#include <algorithm>
#include <set>
#include <sstream>

#include "tarvex/morvane/fabric/plan.hpp"

namespace tarvex::morvane::orchestrators::netns {

namespace {

const std::vector<std::string> kSectionKeys = {"bgp", "config", "daemons", "lab_timers", "ospf"};
const std::vector<std::string> kOspfKeys = {"router_id"};
const std::vector<std::string> kInterfaceOspfKeys = {"area", "cost", "network", "passive"};
const std::vector<std::string> kBgpKeys = {"asn", "neighbors", "networks", "router_id"};
const std::vector<std::string> kNeighborKeys = {"address", "remote_as"};
const std::vector<std::string> kNetworkTypes = {"point-to-point", "broadcast"};

// What the lab profile adds (measured: a triangle converges in about 1 s
// instead of 46 s on broadcast links with FRR's defaults).
const char* const kLabInterfaceLines =
    " ip ospf hello-interval 1\n"
    " ip ospf dead-interval minimal hello-multiplier 4\n";
const char* const kLabOspfLines =
    " timers throttle spf 0 50 200\n"
    " timers throttle lsa all 0\n"
    " timers lsa min-arrival 0\n";

std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

std::string shown(const Value& value) { return value.is_str() ? py_repr(value.as_str()) : value.repr(); }

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

// A name FRR accepts in its configuration: no blanks, printable ASCII.
bool usable_name(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 127; });
}

// A hostname for the daemons (shown by vtysh and in BGP's hostname
// capability): the device's name with anything unusual replaced.
std::string hostname_of(const std::string& device) {
  std::string name;
  for (const char c : device) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    name += plain ? c : '-';
  }
  return name.empty() ? "router" : name.substr(0, 63);
}

// The daemon a line of FRR configuration needs, "" for zebra or none, and
// `unsupported` set for a routing protocol these routers do not run.
std::string daemon_for(const std::vector<std::string>& w, bool& unsupported) {
  unsupported = false;
  if (w.empty()) return "";
  auto is = [&](std::initializer_list<const char*> prefix) {
    std::size_t i = 0;
    for (const char* p : prefix) {
      if (i >= w.size() || w[i] != p) return false;
      ++i;
    }
    return true;
  };
  if (is({"router", "ospf6"}) || is({"ipv6", "ospf6"})) return "ospf6d";
  if (is({"router", "ospf"}) || is({"ip", "ospf"})) return "ospfd";
  if (is({"router", "bgp"})) return "bgpd";
  if (is({"router", "isis"}) || is({"ip", "router", "isis"}) || is({"ipv6", "router", "isis"})) return "isisd";
  if (is({"bfd"})) return "bfdd";
  if (is({"ip", "route"}) || is({"ipv6", "route"})) return "staticd";
  if (is({"router"}) && w.size() > 1) {
    unsupported = true;
    return w[1];
  }
  return "";
}

class FrrPlanner {
 public:
  FrrPlanner(const Value& logical, const Plan& plan, std::vector<std::string>& problems)
      : logical_(logical), plan_(plan), problems_(problems), setups_(plan.devices.size()) {
    for (const PlannedPair& pair : plan.pairs) {
      pair_ends_.insert({pair.first.device, pair.first.interface});
      pair_ends_.insert({pair.second.device, pair.second.interface});
    }
  }

  std::vector<std::optional<FrrSetup>> run() {
    for (std::size_t d = 0; d < plan_.devices.size(); ++d) plan_device(d);
    return std::move(setups_);
  }

 private:
  const Value* find(const Value* map, const std::string& key) const {
    return map && map->is_map() ? map->find(key) : nullptr;
  }
  const Value* interface_entry(const PlannedDevice& device, const PlannedInterface& interface) const {
    const Value* interfaces = find(find(find(&logical_, "topology"), device.logical_name), "interfaces");
    return find(interfaces, interface.logical_name);
  }

  void add(const std::string& where, const std::string& what) { problems_.push_back(where + ": " + what); }

  // Reports every key of `map` outside `known`; false when there was one.
  bool known_keys(const Value& map, const std::vector<std::string>& known, const std::string& where) {
    bool fine = true;
    for (const auto& [key, value] : map.as_map()) {
      if (!key.is_str() || !contains(known, key.as_str())) {
        add(where, "key " + shown(key) + " does not exist (the keys are " + listed(known) + ")");
        fine = false;
      }
    }
    return fine;
  }

  std::optional<std::string> ipv4_text(const Value* value, const std::string& where, const char* key) {
    if (!value || value->is_none()) return std::nullopt;
    std::optional<IpAddress> address;
    if (value->is_str()) address = IpAddress::parse(value->as_str(), 4, false);
    if (!address || value->as_str().find('/') != std::string::npos) {
      add(where, std::string(key) + " " + shown(*value) + " is not an IPv4 address (such as 10.0.0.1)");
      return std::nullopt;
    }
    return address->address_text();
  }

  std::optional<std::int64_t> number(const Value* value, std::int64_t low, std::int64_t high, const std::string& where,
                                     const char* key) {
    if (!value || value->is_none()) return std::nullopt;
    if (!value->is_int() || value->as_int() < low || value->as_int() > high) {
      add(where, std::string(key) + " " + shown(*value) + " is not a whole number from " + std::to_string(low) +
                     " to " + std::to_string(high));
      return std::nullopt;
    }
    return value->as_int();
  }

  void plan_device(std::size_t index) {
    const PlannedDevice& device = plan_.devices[index];
    const std::string where = "device " + py_repr(device.logical_name);
    const Value* section = find(find(find(&logical_, "devices"), device.logical_name), "frr");
    const bool has_section = section && !section->is_none();

    // Interfaces that declare OSPF.
    struct OspfInterface {
      std::size_t interface;
      const Value* settings;
    };
    std::vector<OspfInterface> ospf_interfaces;
    for (std::size_t i = 0; i < device.interfaces.size(); ++i) {
      const Value* ospf = find(interface_entry(device, device.interfaces[i]), "ospf");
      if (!ospf || ospf->is_none()) continue;
      const std::string at = where + ", interface " + py_repr(device.interfaces[i].logical_name);
      if (!has_section) {
        add(at, "ospf is set but the device has no frr section (OSPF runs on routers with one)");
      } else {
        ospf_interfaces.push_back({i, ospf});
      }
    }
    if (!has_section) return;
    if (device.type != "router") {
      add(where, "frr: only routers run FRRouting (the device's type is " + py_repr(device.type) + ")");
      return;
    }
    if (!section->is_map()) {
      add(where, "frr " + shown(*section) + " is not a mapping (of " + listed(kSectionKeys) + ")");
      return;
    }
    known_keys(*section, kSectionKeys, where + ": frr");

    FrrSetup setup;
    std::set<std::string> daemons;
    const std::string at_daemons = where + ": frr.daemons";
    if (const Value* listed_daemons = section->find("daemons"); listed_daemons && !listed_daemons->is_none()) {
      if (!listed_daemons->is_list()) {
        add(at_daemons, shown(*listed_daemons) + " is not a list of daemons (of " + listed(kFrrDaemons) + ")");
      } else {
        for (const Value& name : listed_daemons->as_list()) {
          if (name.is_str() && name.as_str() == "zebra") continue;  // always runs
          if (!name.is_str() || !contains(kFrrDaemons, name.as_str())) {
            add(at_daemons, shown(name) + " is not a daemon the netns routers run (they run zebra and " +
                                listed(kFrrDaemons) + ")");
          } else {
            daemons.insert(name.as_str());
          }
        }
      }
    }
    if (const Value* lab = section->find("lab_timers"); lab && !lab->is_none()) {
      if (!lab->is_bool()) {
        add(where + ": frr.lab_timers", shown(*lab) + " is not true or false");
      } else {
        setup.lab_timers = lab->as_bool();
      }
    }

    const std::string hostname = "hostname " + hostname_of(device.logical_name) + "\n";
    ospf_active_.clear();
    const Value* ospf = section->find("ospf");
    if ((ospf && !ospf->is_none()) || !ospf_interfaces.empty()) {
      daemons.insert("ospfd");
      setup.configs["ospfd"] = hostname + render_ospf(device, index, ospf, ospf_interfaces, setup.lab_timers, where);
    }
    if (const Value* bgp = section->find("bgp"); bgp && !bgp->is_none()) {
      daemons.insert("bgpd");
      setup.configs["bgpd"] = hostname + render_bgp(*bgp, setup.lab_timers, where + ": frr.bgp");
    }
    if (const Value* config = section->find("config"); config && !config->is_none()) {
      if (!config->is_str()) {
        add(where + ": frr.config", shown(*config) + " is not FRR configuration text");
      } else {
        setup.raw_config = translate(device, config->as_str(), where + ": frr.config", daemons);
      }
    }

    for (const std::string& name : kFrrDaemons) {
      if (daemons.count(name)) setup.daemons.push_back(name);
    }
    for (const std::string& name : setup.daemons) setup.configs.try_emplace(name, hostname);
    setup.configs.try_emplace("zebra", hostname);
    setup.ospf_active = ospf_active_;
    setups_[index] = std::move(setup);
  }

  std::string area_text(const Value& area, const std::string& where) {
    if (area.is_int() && area.as_int() >= 0 && area.as_int() <= 4294967295LL) return std::to_string(area.as_int());
    if (area.is_str()) {
      if (const std::optional<IpAddress> dotted = IpAddress::parse(area.as_str(), 4, false);
          dotted && area.as_str().find('/') == std::string::npos) {
        return dotted->address_text();
      }
    }
    add(where, "area " + shown(area) + " is not an OSPF area (a number such as 0, or dotted such as 0.0.0.1)");
    return "";
  }

  template <class Interfaces>
  std::string render_ospf(const PlannedDevice& device, std::size_t index, const Value* ospf,
                          const Interfaces& interfaces, bool lab, const std::string& where) {
    std::string text;
    std::string router = "router ospf\n";
    if (ospf && !ospf->is_none()) {
      const std::string at = where + ": frr.ospf";
      if (!ospf->is_map()) {
        add(at, shown(*ospf) + " is not a mapping (of " + listed(kOspfKeys) + ")");
      } else if (known_keys(*ospf, kOspfKeys, at)) {
        if (auto id = ipv4_text(ospf->find("router_id"), at, "router_id")) router += " ospf router-id " + *id + "\n";
      }
    }
    if (lab) router += kLabOspfLines;

    // Loopback interfaces of the user all stand for lo: one block for it.
    std::map<std::string, std::string> blocks;
    std::vector<std::string> order;
    for (const auto& [i, settings] : interfaces) {
      const PlannedInterface& interface = device.interfaces[i];
      const std::string at = where + ", interface " + py_repr(interface.logical_name) + ": ospf";
      if (!settings->is_map()) {
        add(at, shown(*settings) + " is not a mapping (of " + listed(kInterfaceOspfKeys) + ")");
        continue;
      }
      if (!known_keys(*settings, kInterfaceOspfKeys, at)) continue;
      const Value* area = settings->find("area");
      if (!area || area->is_none()) {
        add(at, "no area given (such as area: 0)");
        continue;
      }
      std::string block = " ip ospf area " + area_text(*area, at) + "\n";
      const bool loopback = interface.kind == InterfaceKind::Loopback;
      std::optional<std::string> network;
      if (const Value* given = settings->find("network"); given && !given->is_none()) {
        if (!given->is_str() || !contains(kNetworkTypes, given->as_str())) {
          add(at, "network " + shown(*given) + " is not one of " + listed(kNetworkTypes));
        } else if (loopback) {
          add(at, "network " + shown(*given) + " on a loopback interface (OSPF treats it as a loopback)");
        } else {
          network = given->as_str();
        }
      } else if (lab && pair_ends_.count({index, i})) {
        // A link with two ends needs no designated router: no election wait.
        network = "point-to-point";
      }
      if (network) block += " ip ospf network " + *network + "\n";
      if (auto cost = number(settings->find("cost"), 1, 65535, at, "cost")) {
        block += " ip ospf cost " + std::to_string(*cost) + "\n";
      }
      bool passive = false;
      if (const Value* given = settings->find("passive"); given && !given->is_none()) {
        if (!given->is_bool()) {
          add(at, "passive " + shown(*given) + " is not true or false");
        } else {
          passive = given->as_bool();
        }
      }
      if (passive) block += " ip ospf passive\n";
      if (!passive && !loopback) ospf_active_.insert(interface.name);
      if (lab && !loopback && !passive) block += kLabInterfaceLines;
      auto [it, fresh] = blocks.try_emplace(interface.name, block);
      if (fresh) {
        order.push_back(interface.name);
      } else if (it->second != block) {
        add(at, "differs from the ospf of another loopback interface (they are all lo on the router)");
      }
    }
    for (const std::string& name : order) text += "interface " + name + "\n" + blocks[name] + "exit\n";
    return text + router + "exit\n";
  }

  std::string render_bgp(const Value& bgp, bool lab, const std::string& where) {
    if (!bgp.is_map()) {
      add(where, shown(bgp) + " is not a mapping (of " + listed(kBgpKeys) + ")");
      return "";
    }
    if (!known_keys(bgp, kBgpKeys, where)) return "";
    const Value* asn = bgp.find("asn");
    if (!asn || asn->is_none()) {
      add(where, "no asn given (the router's AS number, such as asn: 65001)");
      return "";
    }
    const std::optional<std::int64_t> as_number = number(asn, 1, 4294967295LL, where, "asn");
    if (!as_number) return "";
    std::string text = "router bgp " + std::to_string(*as_number) + "\n";
    if (auto id = ipv4_text(bgp.find("router_id"), where, "router_id")) text += " bgp router-id " + *id + "\n";
    // Without this, FRR exchanges no route with an eBGP peer that has no
    // policy, which is never what a lab wants.
    text += " no bgp ebgp-requires-policy\n";
    if (lab) text += " timers bgp 1 3\n";
    std::string ipv4_lines, ipv6_lines;
    if (const Value* neighbors = bgp.find("neighbors"); neighbors && !neighbors->is_none()) {
      if (!neighbors->is_list()) {
        add(where, "neighbors " + shown(*neighbors) + " is not a list of {address: ..., remote_as: ...}");
      } else {
        for (const Value& neighbor : neighbors->as_list()) {
          const std::string at = where + ".neighbors";
          if (!neighbor.is_map()) {
            add(at, shown(neighbor) + " is not a mapping (of " + listed(kNeighborKeys) + ")");
            continue;
          }
          if (!known_keys(neighbor, kNeighborKeys, at)) continue;
          const Value address = neighbor.get("address");
          std::optional<IpAddress> peer;
          if (address.is_str() && address.as_str().find('/') == std::string::npos) {
            peer = IpAddress::parse(address.as_str(), 0, false);
          }
          if (!peer) {
            add(at, "address " + shown(address) + " is not an IPv4 or IPv6 address");
            continue;
          }
          const Value remote = neighbor.get("remote_as");
          std::string remote_as;
          if (remote.is_str() && (remote.as_str() == "internal" || remote.as_str() == "external")) {
            remote_as = remote.as_str();
          } else if (remote.is_none()) {
            add(at, "neighbor " + peer->address_text() + " has no remote_as (a number, internal or external)");
            continue;
          } else if (auto n = number(&remote, 1, 4294967295LL, at, "remote_as")) {
            remote_as = std::to_string(*n);
          } else {
            continue;
          }
          const std::string name = peer->address_text();
          text += " neighbor " + name + " remote-as " + remote_as + "\n";
          if (lab) text += " neighbor " + name + " timers connect 1\n neighbor " + name + " advertisement-interval 0\n";
          if (!peer->is_ipv4()) ipv6_lines += "  neighbor " + name + " activate\n";
        }
      }
    }
    if (const Value* networks = bgp.find("networks"); networks && !networks->is_none()) {
      if (!networks->is_list()) {
        add(where, "networks " + shown(*networks) + " is not a list of prefixes");
      } else {
        for (const Value& network : networks->as_list()) {
          std::optional<IpAddress> prefix;
          if (network.is_str()) prefix = IpAddress::parse(network.as_str(), 0, true);
          if (!prefix) {
            add(where, "networks: " + shown(network) + " is not a prefix (such as 10.0.1.0/24)");
          } else if (prefix->has_host_bits()) {
            add(where, "networks: " + shown(network) + " has bits set past its prefix length (the network is " +
                           prefix->network().text() + ")");
          } else {
            (prefix->is_ipv4() ? ipv4_lines : ipv6_lines) += "  network " + prefix->text() + "\n";
          }
        }
      }
    }
    if (!ipv4_lines.empty()) text += " address-family ipv4 unicast\n" + ipv4_lines + " exit-address-family\n";
    if (!ipv6_lines.empty()) text += " address-family ipv6 unicast\n" + ipv6_lines + " exit-address-family\n";
    return text + "exit\n";
  }

  // The user's text with the actual interface names: every word after the
  // first of a line that is one of the device's interface names is
  // replaced.  `interface NAME` must name one of them (or lo).
  std::string translate(const PlannedDevice& device, const std::string& text, const std::string& where,
                        std::set<std::string>& daemons) {
    std::map<std::string, std::string> actual;
    std::vector<std::string> names;
    for (const PlannedInterface& interface : device.interfaces) {
      if (!usable_name(interface.logical_name)) continue;
      actual.emplace(interface.logical_name, interface.name);
      names.push_back(interface.logical_name);
    }
    std::string out;
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
      ++number;
      const std::string at = where + " line " + std::to_string(number);
      std::vector<std::string> w = words(line);
      if (w.empty() || w[0][0] == '!' || w[0][0] == '#') {
        out += line + "\n";
        continue;
      }
      if (w[0] == "interface") {
        if (w.size() < 2) {
          add(at, "interface without a name");
        } else if (!actual.count(w[1]) && w[1] != "lo") {
          add(at, "interface " + py_repr(w[1]) + " is not one of the device's interfaces (" + listed(names) + ")");
        }
      }
      bool unsupported = false;
      const std::string daemon = daemon_for(w, unsupported);
      if (unsupported) {
        add(at, py_repr(w[0] + " " + w[1]) + " needs a daemon the netns routers do not run (they run zebra and " +
                    listed(kFrrDaemons) + ")");
      } else if (!daemon.empty()) {
        daemons.insert(daemon);
      }
      for (std::size_t i = 1; i < w.size(); ++i) {
        if (auto found = actual.find(w[i]); found != actual.end()) w[i] = found->second;
      }
      const std::size_t indent = line.find_first_not_of(" \t");
      std::string rebuilt = line.substr(0, indent);
      for (std::size_t i = 0; i < w.size(); ++i) rebuilt += (i ? " " : "") + w[i];
      out += rebuilt + "\n";
    }
    return out;
  }

  const Value& logical_;
  const Plan& plan_;
  std::vector<std::string>& problems_;
  std::vector<std::optional<FrrSetup>> setups_;
  std::set<std::string> ospf_active_;  // of the device being planned
  std::set<std::pair<std::size_t, std::size_t>> pair_ends_;
};

}  // namespace

bool FrrSetup::runs(const std::string& daemon) const { return daemon == "zebra" || contains(daemons, daemon); }

std::optional<bool> FrrSetup::ospf_adjacency_possible(const std::string& interface) const {
  if (raw_config) return std::nullopt;
  return runs("ospfd") && ospf_active.count(interface) > 0;
}

std::vector<std::optional<FrrSetup>> plan_frr(const Value& logical_testbed, const Plan& plan,
                                              std::vector<std::string>& problems) {
  return FrrPlanner(logical_testbed, plan, problems).run();
}

}  // namespace tarvex::morvane::orchestrators::netns
