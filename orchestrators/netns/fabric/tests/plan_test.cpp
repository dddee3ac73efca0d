// The fabric's plan: what it checks in a logical testbed before creating
// anything, and the names, addresses and neighbours it decides.  Pure:
// needs no privileges.
#include "tarvex/morvane/fabric/plan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "tarvex/exceptions.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::morvane::fabric {
namespace {

PlanOptions options(const std::string& seed = "lab", const std::string& run_id = "r1234") {
  return {seed, seed, run_id, {"host", "linux", "router", "switch"}, "netns", {}};
}

// The logical devices of a testbed, in its order.
std::vector<std::string> logical_devices(const Value& testbed) {
  std::vector<std::string> names;
  for (const auto& [name, entry] : testbed.at("devices").as_map()) {
    if (entry.get("logical").truthy()) names.push_back(name.str());
  }
  return names;
}

Plan plan_of(const std::string& yaml, const PlanOptions& opts = options()) {
  const Value testbed = tarvex::utils::yaml::load_string(yaml, "<test>");
  return make_plan(testbed, logical_devices(testbed), opts);
}

std::string error_of(const std::string& yaml) {
  try {
    plan_of(yaml);
  } catch (const ValueError& e) {
    return e.what();
  }
  return "(no error)";
}

const PlannedDevice& device(const Plan& plan, const std::string& logical) {
  for (const PlannedDevice& d : plan.devices) {
    if (d.logical_name == logical) return d;
  }
  throw KeyError(logical);
}

// Two hosts on one link, with whatever the case adds.
std::string pair_testbed(const std::string& h1_device, const std::string& h1_interface,
                         const std::string& h2_interface = "ipv4: 10.0.0.2/24") {
  return "devices:\n  h1: {type: host, logical: true" + h1_device +
         "}\n  h2: {type: host, logical: true}\ntopology:\n  h1:\n    interfaces:\n      e0: {link: L, type: "
         "ethernet, " +
         h1_interface + "}\n  h2:\n    interfaces:\n      e0: {link: L, type: ethernet, " + h2_interface + "}\n";
}

// Switches s1..sN (with `stp` as given) and a host h1, joined by links x0,
// x1, ... between the named pairs ("lan" as the second name: the shared link
// "lan").
std::string switches(int count, const std::vector<std::pair<std::string, std::string>>& links,
                     const std::string& stp = "") {
  std::map<std::string, std::string> interfaces;
  for (std::size_t i = 0; i < links.size(); ++i) {
    const std::string link = links[i].second == "lan" ? "lan" : "x" + std::to_string(i);
    interfaces[links[i].first] += "      p" + std::to_string(i) + ": {link: " + link + "}\n";
    if (links[i].second != "lan")
      interfaces[links[i].second] += "      q" + std::to_string(i) + ": {link: " + link + "}\n";
  }
  std::string yaml = "devices:\n  h1: {type: host, logical: true}\n";
  for (int n = 1; n <= count; ++n) yaml += "  s" + std::to_string(n) + ": {type: switch, logical: true" + stp + "}\n";
  yaml += "topology:\n";
  for (const auto& [device, lines] : interfaces) yaml += "  " + device + ":\n    interfaces:\n" + lines;
  return yaml;
}

struct BadInput {
  const char* what;
  std::string yaml;
  std::string message;
};

TEST(NetnsPlan, EveryProblemOfTheLogicalTestbedIsNamedWithItsDeviceInterfaceAndValue) {
  const std::string ok4 = "ipv4: 10.0.0.1/24";
  const std::vector<BadInput> cases = {
      {"unknown device type", "devices:\n  fw: {type: firewall, logical: true}\n",
       "device 'fw': type 'firewall' is not one the netns orchestrator builds (it builds host, linux, router, switch)"},
      {"no device type", "devices:\n  x: {logical: true}\n",
       "device 'x': no type given (the netns orchestrator builds the device types host, linux, router, switch)"},
      {"malformed IPv4", pair_testbed("", "ipv4: 10.0.0.300/24"),
       "device 'h1', interface 'e0': ipv4 '10.0.0.300/24' is not an IPv4 address with a prefix length (such as "
       "10.0.1.1/24)"},
      {"IPv4 without prefix length", pair_testbed("", "ipv4: 10.0.0.1"),
       "device 'h1', interface 'e0': ipv4 '10.0.0.1' is not an IPv4 address with a prefix length"},
      {"prefix length too long", pair_testbed("", "ipv4: 10.0.0.1/33"), "ipv4 '10.0.0.1/33' is not an IPv4 address"},
      {"IPv6 under ipv4", pair_testbed("", "ipv4: 2001:db8::1/64"), "ipv4 '2001:db8::1/64' is not an IPv4 address"},
      {"malformed IPv6 in a list", pair_testbed("", "ipv6: [2001:db8::1/64, 2001:db8::g/64]"),
       "device 'h1', interface 'e0': ipv6 '2001:db8::g/64' is not an IPv6 address with a prefix length"},
      {"gateway outside every subnet", pair_testbed(", gateway: 10.9.9.1", ok4),
       "device 'h1': gateway '10.9.9.1' is outside every connected subnet of the device (10.0.0.0/24)"},
      {"gateway without an address of its family", pair_testbed(", gateway: 2001:db8::1", ok4),
       "device 'h1': gateway '2001:db8::1' is outside every connected subnet of the device (it has no IPv6 address "
       "on a link)"},
      {"gateway is the device itself", pair_testbed(", gateway: 10.0.0.1", ok4),
       "device 'h1': gateway '10.0.0.1' is the device's own address"},
      {"two IPv4 gateways", pair_testbed(", gateway: [10.0.0.2, 10.0.0.3]", ok4),
       "device 'h1': gateway '10.0.0.3' is a second IPv4 gateway"},
      {"gateway with a prefix length", pair_testbed(", gateway: 10.0.0.2/24", ok4),
       "device 'h1': gateway '10.0.0.2/24' is not an IPv4 or IPv6 address (without a prefix length)"},
      {"route with host bits", pair_testbed(", routes: [{to: 10.2.0.1/16, via: 10.0.0.2}]", ok4),
       "device 'h1': route to '10.2.0.1/16' has bits set past its prefix length (the network is 10.2.0.0/16)"},
      {"route via an unreachable hop", pair_testbed(", routes: [{to: 10.2.0.0/16, via: 10.1.0.2}]", ok4),
       "device 'h1': route via '10.1.0.2' is outside every connected subnet of the device (10.0.0.0/24)"},
      {"route of the other family", pair_testbed(", routes: [{to: 2001:db8:2::/48, via: 10.0.0.2}]", ok4),
       "device 'h1': route to '2001:db8:2::/48' is not an IPv4 prefix"},
      {"route without via", pair_testbed(", routes: [{to: 10.2.0.0/16}]", ok4),
       "device 'h1': route {'to': '10.2.0.0/16'} is not {to: PREFIX, via: ADDRESS}"},
      {"route repeating the default", pair_testbed(", gateway: 10.0.0.2, routes: [{to: default, via: 10.0.0.2}]", ok4),
       "device 'h1': route via '10.0.0.2' repeats the route to 0.0.0.0/0"},
      {"routes not a list", pair_testbed(", routes: 10.0.0.0/8", ok4),
       "device 'h1': routes '10.0.0.0/8' is not a list"},
      {"MTU out of range", pair_testbed("", "mtu: 20"),
       "device 'h1', interface 'e0': mtu 20 is not a whole number from 68 to 65535"},
      {"MTU too small for IPv6", pair_testbed("", "mtu: 1000, ipv6: 2001:db8::1/64"),
       "device 'h1', interface 'e0': mtu 1000 is below 1280, the least IPv6 needs"},
      {"VLAN on a host", pair_testbed("", "vlan: 10"),
       "device 'h1', interface 'e0': vlan 10 is only for the ports of a switch, and this device is a host"},
      {"same address twice on a link", pair_testbed("", ok4, "ipv4: 10.0.0.1/24"),
       "device 'h2', interface 'e0': address 10.0.0.1/24 is already used by device 'h1', interface 'e0'"},
      {"loopback on a link", pair_testbed("", "type: loopback"),
       "device 'h1', interface 'e0': a loopback interface cannot be on link 'L'"},
      {"interface entry not a mapping",
       "devices:\n  h1: {type: host, logical: true}\ntopology:\n  h1:\n    interfaces:\n      e0: 10.0.0.1/24\n",
       "device 'h1', interface 'e0': the interface entry is not a mapping"},
      {"switch port with an address",
       "devices:\n  s: {type: switch, logical: true}\n  h: {type: host, logical: true}\ntopology:\n  s:\n    "
       "interfaces:\n      p1: {link: L, vlan: 5000, ipv4: 10.0.0.9/24}\n  h:\n    interfaces:\n      e0: {link: L}\n",
       "device 's', interface 'p1': address 10.0.0.9/24 on a switch port"},
      {"VLAN out of range",
       "devices:\n  s: {type: switch, logical: true}\n  h: {type: host, logical: true}\ntopology:\n  s:\n    "
       "interfaces:\n      p1: {link: L, vlan: 5000}\n  h:\n    interfaces:\n      e0: {link: L}\n",
       "device 's', interface 'p1': vlan 5000 is not a whole number from 1 to 4094"},
      {"network address as a host's", pair_testbed("", "ipv4: 10.0.1.0/24"),
       "device 'h1', interface 'e0': ipv4 '10.0.1.0/24' is the network address of 10.0.1.0/24, not an address a "
       "device can have"},
      {"broadcast address as a host's", pair_testbed("", "ipv4: 10.0.1.255/24"),
       "device 'h1', interface 'e0': ipv4 '10.0.1.255/24' is the broadcast address of 10.0.1.0/24"},
      {"a device without a name", "devices:\n  '': {type: host, logical: true}\n", "a device has an empty name"},
      {"stp on a host", pair_testbed(", stp: true", ok4),
       "device 'h1': stp is for switches, and this device is a host"},
      {"stp not a boolean", "devices:\n  s: {type: switch, logical: true, stp: 'on'}\n",
       "device 's': stp 'on' is not true or false"},
      {"two switches joined twice", switches(2, {{"s1", "s2"}, {"s1", "s2"}}),
       "switches 's1', 's2' form a loop through links 'x0', 'x1', which would flood it with frames circling forever"},
      {"a ring of three switches", switches(3, {{"s1", "s2"}, {"s2", "s3"}, {"s3", "s1"}}),
       "switches 's1', 's2', 's3' form a loop through links 'x0', 'x1', 'x2'"},
      {"a loop through a LAN", switches(2, {{"s1", "s2"}, {"s1", "lan"}, {"s2", "lan"}, {"h1", "lan"}}),
       "switches 's1', 's2', the LAN of link 'lan' form a loop"},
  };
  for (const BadInput& c : cases) {
    EXPECT_NE(error_of(c.yaml).find(c.message), std::string::npos) << c.what << "\n--- expected\n"
                                                                   << c.message << "\n--- got\n"
                                                                   << error_of(c.yaml);
  }

  // All problems together, in one error.
  const std::string both = error_of(pair_testbed(", gateway: 10.9.9.1", "ipv4: 10.0.0.300/24, mtu: 9"));
  EXPECT_NE(both.find("ipv4 '10.0.0.300/24'"), std::string::npos) << both;
  EXPECT_NE(both.find("mtu 9"), std::string::npos) << both;
  EXPECT_NE(both.find("gateway '10.9.9.1'"), std::string::npos) << both;
}

TEST(NetnsPlan, SwitchesOnALoopRunTheSpanningTreeWhenTheyAskForIt) {
  const Plan plan = plan_of(switches(
      3, {{"s1", "s2"}, {"s2", "s3"}, {"s3", "s1"}, {"s1", "lan"}, {"h1", "lan"}, {"h1", "lan"}}, ", stp: true"));
  for (const char* name : {"s1", "s2", "s3"}) EXPECT_TRUE(device(plan, name).bridges.at(0).stp) << name;
  // Not on a loop: the LAN need not run it.
  ASSERT_EQ(plan.lans.size(), 1u);
  EXPECT_FALSE(plan.lans[0].stp);
  const Plan through = plan_of(switches(2, {{"s1", "s2"}, {"s1", "lan"}, {"s2", "lan"}, {"h1", "lan"}}, ", stp: true"));
  EXPECT_TRUE(through.lans.at(0).stp);
}

TEST(NetnsPlan, WhatLikelyIsAMistakeIsWarnedOf) {
  const struct {
    std::string yaml;
    std::string warning;
  } cases[] = {
      {pair_testbed("", "ipv4: 10.0.0.1/24", "ipv4: 10.0.1.2/24"),
       "device 'h1', interface 'e0' and device 'h2', interface 'e0' on link 'L' have IPv4 addresses in no common "
       "subnet: they cannot reach each other over it"},
      {pair_testbed("", "type: wifi"),
       "device 'h1', interface 'e0': type 'wifi' is built as an ethernet interface (the netns orchestrator builds "
       "ethernet and loopback ones)"},
  };
  for (const auto& c : cases) {
    const Plan plan = plan_of(c.yaml);
    EXPECT_NE(std::find(plan.warnings.begin(), plan.warnings.end(), c.warning), plan.warnings.end()) << c.warning;
  }
}

TEST(NetnsPlan, BuildsEachLinkAsAPairALanOrALoneInterfaceThatStaysDown) {
  const Plan plan = plan_of(R"(
devices:
  r1: {type: router, logical: true, gateway: 10.0.1.2, routes: [{to: "2001:db8:9::/48", via: "2001:db8:1::2"}]}
  h1: {type: host, logical: true}
  h2: {type: linux, logical: true}
  h3: {type: host, logical: true}
  other: {type: router}
topology:
  r1:
    interfaces:
      Gi0/0: {link: p2p, type: ethernet, ipv4: 10.0.1.1/30, ipv6: "2001:db8:1::1/64", mtu: 9000}
      Lo0: {type: loopback, ipv4: 192.0.2.1/32}
      Gi0/1: {link: lan, type: ethernet, ipv4: 10.0.9.1/24}
      Gi0/2: {link: to-other, type: ethernet}
      Dummy0: {type: ethernet, ipv4: 198.51.100.1/24}
  h1:
    interfaces:
      e0: {link: p2p, ipv4: 10.0.1.2/30, ipv6: "2001:db8:1::2/64"}
  h2:
    interfaces:
      e0: {link: lan, ipv4: 10.0.9.2/24}
  h3:
    interfaces:
      e0: {link: lan, ipv4: 10.0.9.3/24}
  other:
    interfaces:
      e0: {link: to-other}
)");
  const PlannedDevice& r1 = device(plan, "r1");
  EXPECT_TRUE(r1.forwarding);
  EXPECT_FALSE(device(plan, "h1").forwarding);
  ASSERT_EQ(r1.interfaces.size(), 5u);
  // Interfaces are numbered in the file's order; the loopback is lo.
  EXPECT_EQ(r1.interfaces[0].name, "eth1");
  EXPECT_EQ(r1.interfaces[0].mtu, 9000);
  EXPECT_EQ(r1.interfaces[1].name, "lo");
  EXPECT_EQ(r1.interfaces[1].kind, InterfaceKind::Loopback);
  EXPECT_EQ(r1.interfaces[2].name, "eth2");
  EXPECT_EQ(r1.interfaces[4].name, "eth4");
  EXPECT_EQ(r1.interfaces[4].kind, InterfaceKind::Dummy);
  EXPECT_TRUE(r1.interfaces[4].up);
  // A link whose other end is not a logical device: a warning, and down.
  EXPECT_EQ(r1.interfaces[3].kind, InterfaceKind::Dummy);
  EXPECT_FALSE(r1.interfaces[3].up);
  ASSERT_EQ(plan.warnings.size(), 1u);
  EXPECT_EQ(plan.warnings[0],
            "device 'r1', interface 'Gi0/2': link 'to-other' has no other end; the interface is created down");

  ASSERT_EQ(plan.pairs.size(), 1u);
  EXPECT_EQ(plan.pairs[0].link, "p2p");
  ASSERT_EQ(plan.lans.size(), 1u);
  EXPECT_EQ(plan.lans[0].ports.size(), 3u);
  EXPECT_EQ(plan.link_namespace, "lab-r1234-links");

  // Routes: the default from the gateway, then the listed ones.
  ASSERT_EQ(r1.routes.size(), 2u);
  EXPECT_EQ(r1.routes[0].destination.text(), "0.0.0.0/0");
  EXPECT_EQ(r1.routes[0].via.address_text(), "10.0.1.2");
  EXPECT_EQ(r1.routes[1].destination.text(), "2001:db8:9::/48");

  // Neighbours: every address of the segment in one of the device's subnets.
  std::set<std::string> neighbours;
  for (const Neighbour& n : r1.neighbours)
    neighbours.insert(n.interface + " " + n.address.address_text() + " " + n.owner);
  EXPECT_EQ(neighbours, (std::set<std::string>{"eth1 10.0.1.2 h1", "eth1 2001:db8:1::2 h1", "eth2 10.0.9.2 h2",
                                               "eth2 10.0.9.3 h3"}));
  EXPECT_EQ(device(plan, "h2").neighbours.size(), 2u);
}

TEST(NetnsPlan, SwitchPortsBridgeByVlanAndOnlyTheSameVlanIsOneSegment) {
  const Plan plan = plan_of(R"(
devices:
  sw: {type: switch, logical: true}
  a: {type: host, logical: true}
  b: {type: host, logical: true}
  c: {type: host, logical: true}
  d: {type: host, logical: true}
topology:
  sw:
    interfaces:
      p1: {link: la, vlan: 10}
      p2: {link: lb, vlan: 20}
      p3: {link: lc, vlan: 10}
      p4: {link: ld}
  a: {interfaces: {e0: {link: la, ipv4: 10.0.0.1/24}}}
  b: {interfaces: {e0: {link: lb, ipv4: 10.0.0.2/24}}}
  c: {interfaces: {e0: {link: lc, ipv4: 10.0.0.3/24}}}
  d: {interfaces: {e0: {link: ld, ipv4: 10.0.0.1/24}}}
)");
  const PlannedDevice& sw = device(plan, "sw");
  // A bridge per VLAN; a port without a VLAN is in VLAN 1.
  ASSERT_EQ(sw.bridges.size(), 3u);
  EXPECT_EQ(sw.bridges[0].name, "vlan10");
  EXPECT_EQ(sw.bridges[1].name, "vlan20");
  EXPECT_EQ(sw.bridges[2].name, "vlan1");
  EXPECT_EQ(sw.interfaces[0].bridge, sw.interfaces[2].bridge);
  EXPECT_NE(sw.interfaces[0].bridge, sw.interfaces[1].bridge);
  // a and c share VLAN 10; b and d are alone (d may reuse a's address).
  ASSERT_EQ(device(plan, "a").neighbours.size(), 1u);
  EXPECT_EQ(device(plan, "a").neighbours[0].owner, "c");
  EXPECT_TRUE(device(plan, "b").neighbours.empty());
  EXPECT_TRUE(device(plan, "d").neighbours.empty());

  const Plan plain = plan_of(
      "devices:\n  sw: {type: switch, logical: true}\ntopology:\n  sw:\n    interfaces:\n      p1: {link: x}\n");
  ASSERT_EQ(device(plain, "sw").bridges.size(), 1u);
  EXPECT_EQ(device(plain, "sw").bridges[0].name, "br0");
}

TEST(NetnsPlan, NamesAreShortUniqueAndValidWhateverTheUsersNamesHold) {
  const std::string forty = "a-device-name-of-forty-characters-long-x";
  ASSERT_EQ(forty.size(), 40u);
  const std::string yaml =
      "devices:\n  core/1: {type: router, logical: true}\n  edge router 7: {type: host, logical: "
      "true}\n  " +
      forty + ": {type: host, logical: true}\n  " + forty +
      "-too: {type: host, logical: true}\n  a/b: {type: host, logical: true}\n  a b: {type: "
      "host, logical: true}\n  links: {type: host, logical: true}\n  h1: {type: host, logical: "
      "true}\ntopology:\n  core/1:\n    interfaces:\n      " +
      forty +
      "-interface/with spaces: {link: lan}\n  h1: {interfaces: {e: {link: lan}}}\n  "
      "links: {interfaces: {e: {link: lan}}}\n";
  const Plan plan = plan_of(yaml);
  std::set<std::string> names;
  std::vector<std::string> all{plan.link_namespace};
  for (const PlannedDevice& planned : plan.devices) all.push_back(planned.actual_name);
  for (const std::string& name : all) {
    EXPECT_TRUE(names.insert(name).second) << "twice: " << name;
    EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-"),
              std::string::npos)
        << name;
    EXPECT_LE(name.size(), 34u) << name;
    EXPECT_EQ(name.rfind("lab-r1234-", 0), 0u) << name;
  }
  EXPECT_EQ(names.size(), 9u);  // eight devices and the link namespace
  EXPECT_EQ(device(plan, "h1").actual_name, "lab-r1234-h1");
  EXPECT_NE(device(plan, "links").actual_name, plan.link_namespace);
  EXPECT_EQ(device(plan, "core/1").actual_name.rfind("lab-r1234-core_1-", 0), 0u);
  EXPECT_NE(device(plan, "a/b").actual_name, device(plan, "a b").actual_name);
  EXPECT_NE(device(plan, forty).actual_name, device(plan, forty + "-too").actual_name);
  EXPECT_EQ(device(plan, "core/1").interfaces[0].name, "eth1");

  // The same names give the same namespace names, whatever the order of
  // evaluation; the part for a name is stable.
  EXPECT_EQ(name_part("edge router 7", 15), name_part("edge router 7", 15));
  EXPECT_EQ(name_part("h1", 15), "h1");
  EXPECT_LE(name_part(forty, 15).size(), 15u);
  EXPECT_EQ(name_part("", 15).size(), 5u);
}

TEST(NetnsPlan, MacAddressesAreLocallyAdministeredUniqueAndTheSameOnEveryRun) {
  const std::string yaml = R"(
devices:
  r1: {type: router, logical: true}
  r2: {type: router, logical: true}
  sw: {type: switch, logical: true}
topology:
  r1: {interfaces: {a: {link: x}, b: {link: lan}, c: {link: y}}}
  r2: {interfaces: {a: {link: x}, b: {link: lan}}}
  sw: {interfaces: {a: {link: lan}, b: {link: y}}}
)";
  auto macs = [&](const PlanOptions& opts) {
    const Plan plan = plan_of(yaml, opts);
    std::vector<MacAddress> all;
    for (const PlannedDevice& d : plan.devices) {
      for (const PlannedInterface& i : d.interfaces) all.push_back(i.mac);
      for (const PlannedBridge& b : d.bridges) all.push_back(b.mac);
    }
    for (const PlannedLan& lan : plan.lans) {
      all.push_back(lan.bridge_mac);
      for (const PlannedLan::Port& port : lan.ports) all.push_back(port.mac);
    }
    return all;
  };
  const std::vector<MacAddress> first = macs(options("lab", "r1111"));
  EXPECT_EQ(first, macs(options("lab", "r2222")));  // another run of the same topology
  EXPECT_NE(first, macs(options("other-lab", "r1111")));
  EXPECT_EQ(std::set<MacAddress>(first.begin(), first.end()).size(), first.size());
  for (const MacAddress& mac : first) {
    EXPECT_EQ(mac[0] & 0x03, 0x02) << mac_text(mac);  // locally administered, unicast
  }
  EXPECT_EQ(mac_text({0x02, 0, 0xab, 1, 2, 0xff}), "02:00:ab:01:02:ff");
}

}  // namespace
}  // namespace tarvex::morvane::fabric
