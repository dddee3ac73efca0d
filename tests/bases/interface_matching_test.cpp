// Device aliases, interface aliases found by link and type, and the
// logical-to-actual interface cross-reference.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bases/post_launch_support.hpp"

namespace tarvex::morvane::bases {
namespace {

using test_support::PostLaunchTest;
using test_support::yaml;
using Messages = std::vector<std::string>;

// ---------------------------------------------------------------- device aliases

using DeviceAliases = PostLaunchTest;

TEST_F(DeviceAliases, EveryActualDeviceTakesItsLogicalNameAsAlias) {
  worker.testbed_config = yaml(R"(
devices:
  act-R1: {type: router, alias: set-by-backend}
  act-R2: {type: switch}
)");
  worker.dev_name_xref = yaml("{act-R1: R1, act-R2: R2}");

  worker._add_device_aliases();

  EXPECT_EQ(worker.testbed_config, yaml(R"(
devices:
  act-R1: {type: router, alias: R1}
  act-R2: {type: switch, alias: R2}
)"));
  EXPECT_EQ(all_messages(), Messages{"DEBUG Starting logical to physical device name mapping..."});
}

TEST_F(DeviceAliases, NothingIsWrittenWithoutDevicesOrCrossReference) {
  struct Case {
    const char* title;
    const char* testbed;
    const char* xref;
  };
  const Case cases[] = {
      {"no devices section", "topology: {act-R1: {}}", "{act-R1: R1}"},
      {"empty cross-reference", "devices: {act-R1: {alias: kept}}", "{}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    worker.testbed_config = yaml(c.testbed);
    worker.dev_name_xref = yaml(c.xref);
    worker._add_device_aliases();
    EXPECT_EQ(worker.testbed_config, yaml(c.testbed));
  }
}

TEST_F(DeviceAliases, ActualDeviceMissingFromCrossReferenceIsALookupError) {
  worker.testbed_config = yaml("devices: {act-R1: {}, act-R9: {}}");
  worker.dev_name_xref = yaml("{act-R1: R1}");
  EXPECT_THROW(worker._add_device_aliases(), KeyError);
}

// ---------------------------------------------------------------- interface aliases

class InterfaceAliases : public PostLaunchTest {
 protected:
  InterfaceAliases() { worker.dev_name_xref = yaml("{act-R1: R1}"); }
  const Value& actual_interface(const char* name) const {
    return worker.testbed_config.at("topology").at("act-R1").at("interfaces").at(name);
  }
  const Value& logical_interface(const char* name) const {
    return BringUpWorkerBase::logical_testbed_config.at("topology").at("R1").at("interfaces").at(name);
  }
};

TEST_F(InterfaceAliases, ActualInterfacesTakeFreeLogicalInterfacesInOrder) {
  BringUpWorkerBase::logical_testbed_config = yaml(R"(
topology:
  R1:
    interfaces:
      Gi1: {link: L-a, type: ethernet}
      Gi2: {link: L-a, type: ethernet}
      Gi3: {link: L-b, type: ethernet}
)");
  worker.testbed_config = yaml(R"(
topology:
  act-R1:
    interfaces:
      eth1: {link: L-a, type: ethernet}
      eth2: {link: L-a, type: ethernet}
      eth3: {link: L-b, type: serial}
      mgmt0: {type: ethernet}
)");

  worker._add_interface_aliases();

  EXPECT_EQ(actual_interface("eth1").get("alias"), Value("Gi1"));
  EXPECT_EQ(actual_interface("eth2").get("alias"), Value("Gi2"));
  EXPECT_FALSE(actual_interface("eth3").contains("alias")) << "the types differ";
  EXPECT_FALSE(actual_interface("mgmt0").contains("alias")) << "an interface without link is not matched";
  EXPECT_EQ(logical_interface("Gi1").get("boundToInterface"), Value(true));
  EXPECT_EQ(logical_interface("Gi2").get("boundToInterface"), Value(true));
  EXPECT_FALSE(logical_interface("Gi3").contains("boundToInterface"));
  EXPECT_EQ(all_messages(),
            (Messages{
                "DEBUG Starting logical to physical interface name mapping...",
                "DEBUG Bound logical (device R1, interface Gi1) to actual (device act-R1, interface eth1).",
                "DEBUG Bound logical (device R1, interface Gi2) to actual (device act-R1, interface eth2).",
            }));
}

TEST_F(InterfaceAliases, SkippedLogicalInterfacesAndTheirMessages) {
  struct Case {
    const char* title;
    const char* first_logical;  // Gi1; Gi2 is always {link: L-a, type: ethernet}
    Messages messages;
  };
  const Case cases[] = {
      {"bound before, even with a false marker", "{link: L-a, type: ethernet, boundToInterface: false}", {}},
      {"no type", "{link: L-a}", {"ERROR No type found for logical device R1 interface Gi1."}},
      {"no link", "{type: ethernet}", {"DEBUG No link found for interface Gi1 in device R1 topology."}},
      {"other link", "{link: L-z, type: ethernet}", {}},
      {"other type", "{link: L-a, type: serial}", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    BringUpWorkerBase::logical_testbed_config = yaml(std::string("topology: {R1: {interfaces: {Gi1: ") +
                                                     c.first_logical + ", Gi2: {link: L-a, type: ethernet}}}}");
    worker.testbed_config = yaml("topology: {act-R1: {interfaces: {eth1: {link: L-a, type: ethernet}}}}");
    capture.clear();

    worker._add_interface_aliases();

    EXPECT_EQ(actual_interface("eth1").get("alias"), Value("Gi2"));
    EXPECT_EQ(logical_interface("Gi1").get("boundToInterface"), yaml(c.first_logical).get("boundToInterface"));
    Messages expected{"DEBUG Starting logical to physical interface name mapping..."};
    expected.insert(expected.end(), c.messages.begin(), c.messages.end());
    expected.push_back("DEBUG Bound logical (device R1, interface Gi2) to actual (device act-R1, interface eth1).");
    EXPECT_EQ(all_messages(), expected);
  }
}

TEST_F(InterfaceAliases, ActualInterfaceWithoutTypeMatchesNothing) {
  BringUpWorkerBase::logical_testbed_config = yaml("topology: {R1: {interfaces: {Gi1: {link: L-a, type: ethernet}}}}");
  worker.testbed_config = yaml("topology: {act-R1: {interfaces: {eth1: {link: L-a}}}}");
  worker._add_interface_aliases();
  EXPECT_FALSE(actual_interface("eth1").contains("alias"));
  EXPECT_EQ(messages(log::ERROR), Messages{"No type found for logical device R1 interface Gi1."});
}

TEST_F(InterfaceAliases, DevicesWithoutCrossReferenceKeepTheirAliases) {
  BringUpWorkerBase::logical_testbed_config = yaml("topology: {R1: {interfaces: {Gi1: {link: L-a, type: ethernet}}}}");
  const Value testbed = yaml(R"(
topology:
  act-X:
    interfaces:
      eth1: {link: L-a, type: ethernet, alias: chosen-by-backend}
)");
  worker.testbed_config = testbed;
  worker._add_interface_aliases();
  EXPECT_EQ(worker.testbed_config, testbed);
  EXPECT_FALSE(logical_interface("Gi1").contains("boundToInterface"));
}

TEST_F(InterfaceAliases, AnActualEntryThatIsNoMappingIsABrokenTestbed) {
  BringUpWorkerBase::logical_testbed_config = yaml("topology: {R1: {interfaces: {Gi1: {link: L-a, type: ethernet}}}}");
  for (const char* testbed : {"topology: {act-R1: }", "topology: {act-R1: {interfaces: {eth1: }}}"}) {
    worker.testbed_config = yaml(testbed);
    EXPECT_THROW(worker._add_interface_aliases(), TypeError) << testbed;
  }
}

TEST_F(InterfaceAliases, NothingIsBoundUnlessBothConfigurationsHaveTopology) {
  const char* with_topology = "topology: {act-R1: {interfaces: {eth1: {link: L-a, type: ethernet}}}}";
  const char* logical_with_topology = "topology: {R1: {interfaces: {Gi1: {link: L-a, type: ethernet}}}}";
  struct Case {
    const char* testbed;
    const char* logical;
  };
  const Case cases[] = {{"devices: {}", logical_with_topology}, {with_topology, "devices: {}"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.testbed) + " / " + c.logical);
    worker.testbed_config = yaml(c.testbed);
    BringUpWorkerBase::logical_testbed_config = yaml(c.logical);
    capture.clear();
    worker._add_interface_aliases();
    EXPECT_EQ(worker.testbed_config, yaml(c.testbed));
    EXPECT_EQ(BringUpWorkerBase::logical_testbed_config, yaml(c.logical));
    EXPECT_EQ(all_messages(), Messages{"DEBUG Starting logical to physical interface name mapping..."});
  }
}

// ---------------------------------------------------------------- one assignment

using InterfaceAssignment = PostLaunchTest;

TEST_F(InterfaceAssignment, MissingLevelsFailTheAssignmentWithTheirMessage) {
  struct Case {
    const char* title;
    const char* logical;
    const char* interface;
    const char* message;
  };
  const Case cases[] = {
      {"no logical topology", "devices: {}", "{link: L-a, type: ethernet}",
       "No topology found in original testbed config."},
      {"actual interface without link", "topology: {R1: {interfaces: {Gi1: {link: L-a, type: ethernet}}}}",
       "{type: ethernet}", "No topology found in original testbed config."},
      {"logical device absent", "topology: {R2: {interfaces: {}}}", "{link: L-a, type: ethernet}",
       "Logical device R1 not found in original testbed config topology."},
      {"logical device without interfaces", "topology: {R1: {type: router}}", "{link: L-a, type: ethernet}",
       "No interfaces found for logical device R1."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    BringUpWorkerBase::logical_testbed_config = yaml(c.logical);
    Value interface = yaml(c.interface);
    capture.clear();
    EXPECT_FALSE(worker._logical_itf_name_assign_succeeded("R1", interface));
    EXPECT_EQ(interface, yaml(c.interface));
    EXPECT_EQ(all_messages(), Messages{std::string("DEBUG ") + c.message});
  }
}

TEST_F(InterfaceAssignment, LinksAndTypesCompareAsValues) {
  BringUpWorkerBase::logical_testbed_config = yaml("topology: {R1: {interfaces: {Gi1: {link: 7, type: 1}}}}");
  Value interface = yaml("{link: 7.0, type: 1.0}");
  EXPECT_TRUE(worker._logical_itf_name_assign_succeeded("R1", interface));
  EXPECT_EQ(interface.get("alias"), Value("Gi1"));
}

TEST_F(InterfaceAssignment, LogicalConfigurationThatIsNoMappingIsAnError) {
  BringUpWorkerBase::logical_testbed_config = Value();
  Value interface = yaml("{link: L-a, type: ethernet}");
  EXPECT_THROW(worker._logical_itf_name_assign_succeeded("R1", interface), TypeError);
}

// ---------------------------------------------------------------- cross-reference

using InterfaceNameXref = PostLaunchTest;

TEST_F(InterfaceNameXref, PairsFollowTheAliasesOrTheNamesOnTheSameLink) {
  worker.dev_name_xref = yaml("{act-R1: R1}");
  worker.testbed_config = yaml(R"(
topology:
  act-R1:
    interfaces:
      eth0: {link: L-a, alias: Gi1}
      Gi2: {link: L-b}
      Gi3: {link: L-x}
      Gi4: {link: L-c, alias: Gi5}
      eth9: {link: L-d, alias: ''}
)");
  BringUpWorkerBase::logical_testbed_config = yaml(R"(
topology:
  R1:
    interfaces:
      Gi1: {link: L-a}
      Gi2: {link: L-b}
      Gi3: {link: L-e}
      Gi4: {link: L-c}
      Gi5: {link: L-c}
      eth9-logical: {link: L-d}
)");

  worker._populate_intf_name_xref();

  // eth0 by alias; Gi2 (no alias) by its own name; Gi3 is on another link
  // than the logical Gi3; Gi4's alias names Gi5, so it never pairs with the
  // logical Gi4; eth9's empty alias counts as none and its name matches no
  // logical interface.
  EXPECT_EQ(worker.dev_intf_xref, yaml("{R1: {Gi1: eth0, Gi2: Gi2, Gi5: Gi4}}"));
  EXPECT_EQ(worker.dev_intf_xref.at("R1").as_map().keys(), (List{"Gi1", "Gi2", "Gi5"}));
  EXPECT_TRUE(all_messages().empty());
}

TEST_F(InterfaceNameXref, EachSideIsPairedAtMostOnce) {
  // Two actual devices standing for one logical device.
  worker.dev_name_xref = yaml("{act-A: R1, act-B: R1}");
  worker.testbed_config = yaml(R"(
topology:
  act-A:
    interfaces:
      eth0: {link: L-a, alias: Gi1}
  act-B:
    interfaces:
      eth0: {link: L-a, alias: Gi2}
      eth5: {link: L-a, alias: Gi1}
)");
  BringUpWorkerBase::logical_testbed_config =
      yaml("topology: {R1: {interfaces: {Gi1: {link: L-a}, Gi2: {link: L-a}}}}");
  worker._populate_intf_name_xref();
  EXPECT_EQ(worker.dev_intf_xref, yaml("{R1: {Gi1: eth0}}"));
}

TEST_F(InterfaceNameXref, MissingKeysAreReportedAndSkipped) {
  worker.dev_name_xref = yaml("{act-R1: R1, act-R2: R2, act-R3: R3}");
  worker.testbed_config = yaml(R"(
topology:
  act-R1:
    interfaces:
      eth1: {alias: Gi1}
      eth2: {link: L-b, alias: Gi2}
  act-R3:
    interfaces:
      eth1: {link: L-a, alias: Gi1}
)");
  BringUpWorkerBase::logical_testbed_config = yaml(R"(
topology:
  R1:
    interfaces:
      Gi1: {type: ethernet}
      Gi2: {link: L-b}
)");

  worker._populate_intf_name_xref();

  EXPECT_EQ(worker.dev_intf_xref, yaml("{R1: {Gi2: eth2}}"));
  EXPECT_EQ(all_messages(), (Messages{
                                "DEBUG Found no link for actual device act-R1 interface eth1.",
                                "DEBUG Found no link for logical device R1 interface Gi1.",
                                "DEBUG Found no interfaces for actual device act-R2 in testbed configuration",
                                "DEBUG Found no link for actual device act-R3 interface eth1.",
                            }));
}

TEST_F(InterfaceNameXref, LevelsThatAreNoMappingsEndTheDeviceOnly) {
  worker.dev_name_xref = yaml("{act-R1: R1, act-R2: R2}");
  worker.testbed_config = yaml(R"(
topology:
  act-R1:
    interfaces:
      eth1: {link: L-a, alias: Gi1}
      eth2: null
      eth3: {link: L-b, alias: Gi2}
  act-R2:
    interfaces:
      eth1: {link: L-a, alias: Gi1}
)");
  BringUpWorkerBase::logical_testbed_config = yaml(R"(
topology:
  R1: {interfaces: {Gi1: {link: L-a}, Gi2: {link: L-b}}}
  R2: {interfaces: {Gi1: {link: L-a}}}
)");

  worker._populate_intf_name_xref();
  EXPECT_EQ(worker.dev_intf_xref, yaml("{R1: {Gi1: eth1}, R2: {Gi1: eth1}}"));
  EXPECT_EQ(all_messages(), Messages{"DEBUG No testbed configuration found."});

  capture.clear();
  BringUpWorkerBase::logical_testbed_config = Value();
  worker._populate_intf_name_xref();
  EXPECT_EQ(worker.dev_intf_xref, Value(Map{}));
  EXPECT_EQ(all_messages(), Messages(2, "DEBUG No testbed configuration found."));
}

TEST_F(InterfaceNameXref, RebuildingGivesTheSameResult) {
  worker.dev_name_xref = yaml("{act-R1: R1}");
  worker.testbed_config = yaml("topology: {act-R1: {interfaces: {eth1: {link: L-a, alias: Gi1}}}}");
  BringUpWorkerBase::logical_testbed_config = yaml("topology: {R1: {interfaces: {Gi1: {link: L-a}}}}");
  worker._populate_intf_name_xref();
  const Value first = worker.dev_intf_xref;
  worker.dev_intf_xref.at("R1")["stale"] = "eth7";
  worker._populate_intf_name_xref();
  EXPECT_EQ(worker.dev_intf_xref, first);
  EXPECT_EQ(first, yaml("{R1: {Gi1: eth1}}"));
}

}  // namespace
}  // namespace tarvex::morvane::bases
