// The FRRouting setup of netns routers, as planned from the logical testbed:
// what is refused (naming the device, the interface and the key), the
// daemons a configuration needs, the configuration each daemon reads, the
// lab profile, and the user's text with the actual interface names.  Pure:
// needs no privileges.
#include "orchestrators/netns/frr/frr_config.hpp"

#include <gtest/gtest.h>

#include "tarvex/exceptions.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::morvane::orchestrators::netns {
namespace {

// A plan with the routers' FRR setups, as the backend makes it.
struct Planned {
  Plan plan;
  std::vector<std::optional<FrrSetup>> setups;
};

Planned plan_of(const std::string& yaml) {
  const Value testbed = tarvex::utils::yaml::load_string(yaml, "<test>");
  std::vector<std::string> names;
  for (const auto& [name, entry] : testbed.at("devices").as_map()) names.push_back(name.str());
  Planned planned;
  fabric::PlanOptions options{"lab", "lab", "r1234", {"host", "linux", "router", "switch"}, "netns", {}};
  options.extra_checks = [&](Plan& plan, std::vector<std::string>& problems) {
    planned.setups = plan_frr(testbed, plan, problems);
  };
  planned.plan = fabric::make_plan(testbed, names, options);
  return planned;
}

std::string error_of(const std::string& yaml) {
  try {
    plan_of(yaml);
  } catch (const ValueError& e) {
    return e.what();
  }
  return "(no error)";
}

// Two routers on one link (and r1's loopback), r1 with `frr` and `e0` as
// the case says.
std::string routers(const std::string& r1_frr, const std::string& r1_e0 = "ospf: {area: 0}",
                    const std::string& r1_type = "router") {
  return "devices:\n"
         "  r1: {type: " +
         r1_type + ", frr: " + r1_frr +
         "}\n"
         "  r2: {type: router, frr: {ospf: {router_id: 2.2.2.2}}}\n"
         "topology:\n"
         "  r1:\n"
         "    interfaces:\n"
         "      e0: {link: L, ipv4: 10.0.0.1/30, " +
         r1_e0 +
         "}\n"
         "      lo0: {type: loopback, ipv4: 1.1.1.1/32, ospf: {area: 0}}\n"
         "  r2:\n"
         "    interfaces:\n"
         "      Gi0/0: {link: L, ipv4: 10.0.0.2/30, ospf: {area: 0.0.0.0}}\n";
}

const FrrSetup& frr_of(const Planned& planned, const std::string& device) {
  for (std::size_t d = 0; d < planned.plan.devices.size(); ++d) {
    if (planned.plan.devices[d].logical_name == device && planned.setups.at(d)) return *planned.setups[d];
  }
  throw KeyError(device);
}

TEST(NetnsFrrConfig, EveryMistakeIsReportedBeforeAnythingIsBuiltNamingTheDeviceAndTheKey) {
  struct Case {
    std::string yaml;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {routers("{daemons: [ospfd, ripd]}"), "device 'r1': frr.daemons: 'ripd' is not a daemon the netns routers run"},
      {routers("{daemons: ospfd}"), "device 'r1': frr.daemons: 'ospfd' is not a list of daemons"},
      {routers("{ospff: {}}"), "device 'r1': frr: key 'ospff' does not exist (the keys are bgp, config, daemons"},
      {routers("{ospf: {routerid: 1.1.1.1}}"), "device 'r1': frr.ospf: key 'routerid' does not exist"},
      {routers("{ospf: {router_id: 1.1.1}}"), "frr.ospf: router_id '1.1.1' is not an IPv4 address"},
      {routers("{lab_timers: fast}"), "device 'r1': frr.lab_timers: 'fast' is not true or false"},
      {routers("{}", "ospf: {aera: 0}"), "device 'r1', interface 'e0': ospf: key 'aera' does not exist"},
      {routers("{}", "ospf: {cost: 5}"), "device 'r1', interface 'e0': ospf: no area given"},
      {routers("{}", "ospf: {area: zero}"), "interface 'e0': ospf: area 'zero' is not an OSPF area"},
      {routers("{}", "ospf: {area: 0, network: nbma}"), "network 'nbma' is not one of point-to-point, broadcast"},
      {routers("{}", "ospf: {area: 0, cost: 0}"), "interface 'e0': ospf: cost 0 is not a whole number from 1 to 65535"},
      {routers("{}", "ospf: {area: 0, passive: 1}"), "ospf: passive 1 is not true or false"},
      {routers("{bgp: {router_id: 1.1.1.1}}"), "device 'r1': frr.bgp: no asn given"},
      {routers("{bgp: {asn: 0}}"), "frr.bgp: asn 0 is not a whole number from 1 to 4294967295"},
      {routers("{bgp: {asn: 1, neighbours: []}}"), "frr.bgp: key 'neighbours' does not exist"},
      {routers("{bgp: {asn: 1, neighbors: [{address: 10.0.0.300, remote_as: 2}]}}"),
       "frr.bgp.neighbors: address '10.0.0.300' is not an IPv4 or IPv6 address"},
      {routers("{bgp: {asn: 1, neighbors: [{address: 10.0.0.2}]}}"), "neighbor 10.0.0.2 has no remote_as"},
      {routers("{bgp: {asn: 1, networks: [10.0.0.1/24]}}"), "networks: '10.0.0.1/24' has bits set past its prefix"},
      {routers("{config: 42}"), "device 'r1': frr.config: 42 is not FRR configuration text"},
      {routers("{config: \"interface e0\\n!\\ninterface e9\\n\"}"),
       "device 'r1': frr.config line 3: interface 'e9' is not one of the device's interfaces (e0, lo0)"},
      {routers("{config: \"router rip\\n\"}"), "frr.config line 1: 'router rip' needs a daemon the netns routers do"},
      {routers("{}", "ospf: {area: 0}", "host"), "device 'r1': frr: only routers run FRRouting"},
      {"devices:\n  h1: {type: host}\ntopology:\n  h1: {interfaces: {e0: {ospf: {area: 0}}}}\n",
       "device 'h1', interface 'e0': ospf is set but the device has no frr section"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.yaml);
    EXPECT_NE(error_of(c.yaml).find(c.expected), std::string::npos) << error_of(c.yaml);
  }
  // All at once, with the netns checks.
  const std::string all = error_of(routers("{daemons: [ripd], lab_timers: 3}", "ospf: {area: 0}, mtu: 9"));
  EXPECT_NE(all.find("'ripd'"), std::string::npos) << all;
  EXPECT_NE(all.find("lab_timers"), std::string::npos) << all;
  EXPECT_NE(all.find("mtu 9"), std::string::npos) << all;
}

TEST(NetnsFrrConfig, DeclarativeKeysRenderEachDaemonsConfigurationWithTheLabProfileByDefault) {
  const Planned plan = plan_of(
      routers("{daemons: [bfdd, zebra], ospf: {router_id: 1.1.1.1}, bgp: {asn: 65001, router_id: 1.1.1.1, "
              "neighbors: [{address: 10.0.0.2, remote_as: 65002}, {address: \"2001:db8::2\", remote_as: external}], "
              "networks: [192.0.2.0/24, \"2001:db8:1::/48\"]}}",
              "ospf: {area: 0.0.0.1, cost: 7}"));
  const FrrSetup& r1 = frr_of(plan, "r1");
  EXPECT_EQ(r1.daemons, (std::vector<std::string>{"bfdd", "ospfd", "bgpd"}));
  EXPECT_TRUE(r1.lab_timers);
  EXPECT_FALSE(r1.raw_config);
  EXPECT_EQ(r1.configs.at("zebra"), "hostname r1\n");
  EXPECT_EQ(r1.configs.at("bfdd"), "hostname r1\n");
  EXPECT_EQ(r1.configs.at("ospfd"),
            "hostname r1\n"
            "interface eth1\n"
            " ip ospf area 0.0.0.1\n"
            " ip ospf network point-to-point\n"  // a link with two ends, under the lab profile
            " ip ospf cost 7\n"
            " ip ospf hello-interval 1\n"
            " ip ospf dead-interval minimal hello-multiplier 4\n"
            "exit\n"
            "interface lo\n"
            " ip ospf area 0\n"
            "exit\n"
            "router ospf\n"
            " ospf router-id 1.1.1.1\n"
            " timers throttle spf 0 50 200\n"
            " timers throttle lsa all 0\n"
            " timers lsa min-arrival 0\n"
            "exit\n");
  EXPECT_EQ(r1.configs.at("bgpd"),
            "hostname r1\n"
            "router bgp 65001\n"
            " bgp router-id 1.1.1.1\n"
            " no bgp ebgp-requires-policy\n"
            " timers bgp 1 3\n"
            " neighbor 10.0.0.2 remote-as 65002\n"
            " neighbor 10.0.0.2 timers connect 1\n"
            " neighbor 10.0.0.2 advertisement-interval 0\n"
            " neighbor 2001:db8::2 remote-as external\n"
            " neighbor 2001:db8::2 timers connect 1\n"
            " neighbor 2001:db8::2 advertisement-interval 0\n"
            " address-family ipv4 unicast\n"
            "  network 192.0.2.0/24\n"
            " exit-address-family\n"
            " address-family ipv6 unicast\n"
            "  neighbor 2001:db8::2 activate\n"
            "  network 2001:db8:1::/48\n"
            " exit-address-family\n"
            "exit\n");
  // The peer: OSPF implied by its keys only.
  EXPECT_EQ(frr_of(plan, "r2").daemons, (std::vector<std::string>{"ospfd"}));

  // FRR's own timers and network types when the profile is off.
  const FrrSetup plain = frr_of(plan_of(routers("{lab_timers: false}", "ospf: {area: 0, passive: true}")), "r1");
  EXPECT_EQ(plain.configs.at("ospfd"),
            "hostname r1\ninterface eth1\n ip ospf area 0\n ip ospf passive\nexit\n"
            "interface lo\n ip ospf area 0\nexit\nrouter ospf\nexit\n");
}

TEST(NetnsFrrConfig, TheUsersTextRunsWithTheActualInterfaceNamesAndStartsTheDaemonsItNeeds) {
  const std::string text =
      "! the user's own names\\n"
      "interface e0\\n"
      " ip ospf area 0\\n"
      " description e0 to r2\\n"
      "exit\\n"
      "interface lo0\\n"
      " ip ospf passive\\n"
      "router bgp 65001\\n"
      " neighbor e0 interface remote-as external\\n"
      "ip route 192.0.2.0/24 e0\\n"
      "e0 is a word, first on its line\\n";
  const FrrSetup r1 = frr_of(plan_of(routers("{config: \"" + text + "\"}", "foo: bar")), "r1");
  ASSERT_TRUE(r1.raw_config);
  EXPECT_EQ(*r1.raw_config,
            "! the user's own names\n"
            "interface eth1\n"
            " ip ospf area 0\n"
            " description eth1 to r2\n"
            "exit\n"
            "interface lo\n"
            " ip ospf passive\n"
            "router bgp 65001\n"
            " neighbor eth1 interface remote-as external\n"
            "ip route 192.0.2.0/24 eth1\n"
            "e0 is a word, first on its line\n");
  // lo0 has ospf keys: ospfd runs for those too; the text needs bgpd and
  // staticd.
  EXPECT_EQ(r1.daemons, (std::vector<std::string>{"staticd", "ospfd", "bgpd"}));
}

}  // namespace
}  // namespace tarvex::morvane::orchestrators::netns
