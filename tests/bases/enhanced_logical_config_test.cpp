// The user's logical testbed rewritten under the actual device and
// interface names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bases/post_launch_support.hpp"

namespace tarvex::morvane::bases {
namespace {

using test_support::PostLaunchTest;
using test_support::yaml;
using Messages = std::vector<std::string>;

std::string ignoring(const std::string& key, const std::string& device) {
  return "DEBUG Ignoring key " + key + " in original testbed topology for logical device " + device + ".";
}
std::string not_found(const std::string& key, const std::string& device) {
  return "DEBUG Did not find key " + key + " in original testbed topology for logical device " + device + ".";
}

using EnhancedLogicalConfig = PostLaunchTest;

TEST_F(EnhancedLogicalConfig, ContentMovesToTheActualNames) {
  BringUpWorkerBase::logical_testbed_config = yaml(R"(
testbed: {name: U1}
devices:
  L1:
    logical: true
    type: router
    custom: {role: core}
  S1: {os: linux}
topology:
  L1:
    location: rack-4
    interfaces:
      Gi1: {link: L-a, type: ethernet, description: uplink, boundToInterface: true}
)");
  const Value logical_before = BringUpWorkerBase::logical_testbed_config;
  worker.testbed_config = yaml("topology: {A1: {interfaces: {eth3: {link: L-a, type: ethernet, alias: Gi1}}}}");
  worker.dev_name_xref = yaml("{A1: L1}");
  worker.dev_intf_xref = yaml("{L1: {Gi1: eth3}}");

  worker._populate_enhanced_logical_testbed_config();

  EXPECT_EQ(worker.enhanced_logical_testbed_config, yaml(R"(
testbed: {name: U1}
devices:
  L1: {logical: true, type: router, custom: {role: core}}
  S1: {os: linux}
  A1: {type: router, custom: {role: core}}
topology:
  A1:
    location: rack-4
    interfaces:
      eth3: {link: L-a, description: uplink}
)"));
  EXPECT_EQ(BringUpWorkerBase::logical_testbed_config, logical_before) << "the logical configuration is not edited";
  EXPECT_EQ(all_messages(), (Messages{
                                "DEBUG Transferring content from logical testbed file to testbed topology...",
                                ignoring("logical", "L1"),
                                "DEBUG Interfaces for A1 from testbed: "
                                "{'eth3': {'link': 'L-a', 'type': 'ethernet', 'alias': 'Gi1'}}",
                                ignoring("type", "L1"),
                                not_found("alias", "L1"),
                                ignoring("boundToInterface", "L1"),
                            }));
}

TEST_F(EnhancedLogicalConfig, SameNamesStayInPlaceWithInterfacesRekeyed) {
  BringUpWorkerBase::logical_testbed_config = yaml(R"(
devices:
  R1: {logical: true, os: frr}
  R2: {logical: true, os: linux}
topology:
  R1:
    interfaces:
      Gi1: {link: L-a, type: ethernet, alias: uplink}
  R2:
    interfaces:
      Gi1: {link: L-a, type: ethernet}
)");
  worker.testbed_config = yaml(R"(
topology:
  R1: {interfaces: {Gi0/1: {link: L-a, alias: Gi1}}}
  R2: {interfaces: {Gi0/1: {link: L-a, alias: Gi1}}}
)");
  worker.dev_name_xref = yaml("{R1: R1, R2: R2}");
  worker.dev_intf_xref = yaml("{R1: {Gi1: Gi0/1}, R2: {Gi1: Gi0/1}}");

  worker._populate_enhanced_logical_testbed_config();

  const Value& enhanced = worker.enhanced_logical_testbed_config;
  EXPECT_EQ(enhanced, yaml(R"(
devices:
  R1: {os: frr}
  R2: {os: linux}
topology:
  R1: {interfaces: {Gi0/1: {link: L-a}}}
  R2: {interfaces: {Gi0/1: {link: L-a}}}
)"));
  EXPECT_EQ(enhanced.at("devices").as_map().keys(), (List{"R1", "R2"}));
  EXPECT_EQ(enhanced.at("topology").as_map().keys(), (List{"R1", "R2"}));
}

TEST_F(EnhancedLogicalConfig, InterfacesUnknownToTheOrchestratorAreCopiedWhole) {
  BringUpWorkerBase::logical_testbed_config = yaml(R"(
devices: {L1: {logical: true, os: frr}}
topology:
  L1:
    interfaces:
      Gi1: {link: L-a, type: ethernet}
      Lo0: {type: loopback, ipv4: 1.1.1.1/32, alias: lo}
)");
  worker.testbed_config = yaml("topology: {A1: {interfaces: {eth1: {link: L-a, alias: Gi1}}}}");
  worker.dev_name_xref = yaml("{A1: L1}");
  worker.dev_intf_xref = yaml("{L1: {Gi1: eth1}}");

  worker._populate_enhanced_logical_testbed_config();

  EXPECT_EQ(worker.enhanced_logical_testbed_config.at("topology"), yaml(R"(
A1:
  interfaces:
    eth1: {link: L-a}
    Lo0: {type: loopback, ipv4: 1.1.1.1/32, alias: lo}
)"));
  EXPECT_EQ(
      capture.count("Detected interface Lo0 specified only in logical testbed. Copying it to the actual testbed ..."),
      1u);
}

TEST_F(EnhancedLogicalConfig, EmptyLogicalInterfacesAreLookedUpAndDroppedWhenUnbound) {
  BringUpWorkerBase::logical_testbed_config = yaml(R"(
devices: {L1: {logical: true, os: frr}}
topology:
  L1:
    interfaces:
      Gi7: null
      Gi8: {}
      Gi9: null
)");
  // Gi7 is unknown to the orchestrator by name and alias: being empty it is
  // still looked up, not copied.
  worker.testbed_config = yaml("topology: {A1: {interfaces: {eth8: {alias: Gi8}, eth9: {alias: Gi9}}}}");
  worker.dev_name_xref = yaml("{A1: L1}");
  worker.dev_intf_xref = yaml("{L1: {Gi9: eth9}}");

  worker._populate_enhanced_logical_testbed_config();

  // A bound empty entry becomes an empty mapping under the actual name.
  EXPECT_EQ(worker.enhanced_logical_testbed_config.at("topology"), yaml("A1: {interfaces: {eth9: {}}}"));
  const Messages all = all_messages();
  ASSERT_GE(all.size(), 5u);
  EXPECT_EQ(Messages(all.end() - 5, all.end()),
            (Messages{
                "DEBUG Did not find any actual interface bound to logical device L1, interface Gi7.",
                "DEBUG Did not find any actual interface bound to logical device L1, interface Gi8.",
                not_found("type", "L1"),
                not_found("alias", "L1"),
                not_found("boundToInterface", "L1"),
            }));
}

TEST_F(EnhancedLogicalConfig, DeviceWhoseTopologyHasNoInterfacesIsReportedAndTheNextProcessed) {
  BringUpWorkerBase::logical_testbed_config = yaml(R"(
devices:
  L2: {logical: true, os: linux}
  L1: {logical: true, os: frr}
topology:
  L1: {interfaces: {Gi1: {link: L-a, type: ethernet}}}
  L2: {location: lab}
)");
  worker.testbed_config = yaml("topology: {A1: {interfaces: {eth1: {link: L-a, alias: Gi1}}}}");
  worker.dev_name_xref = yaml("{A2: L2, A1: L1}");
  worker.dev_intf_xref = yaml("{L1: {Gi1: eth1}}");

  worker._populate_enhanced_logical_testbed_config();

  const Value& topology = worker.enhanced_logical_testbed_config.at("topology");
  EXPECT_EQ(topology, yaml(R"(
L2: {location: lab}
A2: {location: lab}
A1: {interfaces: {eth1: {link: L-a}}}
)"));
  EXPECT_EQ(topology.as_map().keys(), (List{"L2", "A2", "A1"}));
  EXPECT_EQ(capture.count("Did not find any topology entry for logical device L2."), 1u);
}

TEST_F(EnhancedLogicalConfig, MissingTopologyLevelsAbandonTheRestOfTheDevice) {
  struct Case {
    const char* title;
    const char* logical_topology;
    const char* testbed;
    const char* expected_topology;  // null: no topology section
  };
  const Case cases[] = {
      {"no topology section", nullptr, "topology: {}", nullptr},
      {"logical device absent from topology", "{L9: {}}", "topology: {}", "{L9: {}}"},
      // The interfaces are taken out before the orchestrator's are read, and
      // the copy under the actual name stays.
      {"orchestrator reports no interfaces for the device", "{L1: {location: lab, interfaces: {Gi1: {link: L-a}}}}",
       "topology: {A1: {}}", "{L1: {location: lab, interfaces: {Gi1: {link: L-a}}}, A1: {location: lab}}"},
      {"orchestrator has no topology", "{L1: {location: lab, interfaces: {Gi1: {link: L-a}}}}", "devices: {}",
       "{L1: {location: lab, interfaces: {Gi1: {link: L-a}}}, A1: {location: lab}}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Value logical = yaml("devices: {L1: {logical: true, os: frr}}");
    if (c.logical_topology) logical["topology"] = yaml(c.logical_topology);
    BringUpWorkerBase::logical_testbed_config = logical;
    worker.testbed_config = yaml(c.testbed);
    worker.dev_name_xref = yaml("{A1: L1}");
    worker.dev_intf_xref = yaml("{L1: {Gi1: eth1}}");
    capture.clear();

    worker._populate_enhanced_logical_testbed_config();

    const Value& enhanced = worker.enhanced_logical_testbed_config;
    EXPECT_EQ(enhanced.at("devices"), yaml("{L1: {logical: true, os: frr}, A1: {os: frr}}"));
    if (c.expected_topology) {
      EXPECT_EQ(enhanced.at("topology"), yaml(c.expected_topology));
    } else {
      EXPECT_FALSE(enhanced.contains("topology"));
    }
    EXPECT_EQ(all_messages().back(), "DEBUG Did not find any topology entry for logical device L1.");
  }
}

TEST_F(EnhancedLogicalConfig, DeviceEntryLeftEmptyDisappearsUnderTheActualName) {
  BringUpWorkerBase::logical_testbed_config = yaml("devices: {L3: {logical: true}, L4: {}}");
  worker.dev_name_xref = yaml("{A3: L3, L4: L4}");
  worker._populate_enhanced_logical_testbed_config();
  EXPECT_EQ(worker.enhanced_logical_testbed_config.at("devices"), yaml("{L3: {logical: true}}"));
  EXPECT_EQ(capture.count("Did not find key logical in original testbed topology for logical device L4."), 1u);
}

TEST_F(EnhancedLogicalConfig, ContractViolationsAreLookupErrors) {
  struct Case {
    const char* title;
    const char* logical;
  };
  const Case cases[] = {
      {"no devices section", "topology: {L1: {}}"},
      {"logical device absent from devices", "devices: {L2: {os: linux}}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    BringUpWorkerBase::logical_testbed_config = yaml(c.logical);
    worker.dev_name_xref = yaml("{A1: L1}");
    EXPECT_THROW(worker._populate_enhanced_logical_testbed_config(), KeyError);
  }
}

}  // namespace
}  // namespace tarvex::morvane::bases
