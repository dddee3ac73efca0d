// The testbed name/alias rule and the merge of the user's configuration
// into the orchestrator's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bases/post_launch_support.hpp"

namespace tarvex::morvane::bases {
namespace {

using test_support::PostLaunchTest;
using test_support::yaml;
using Messages = std::vector<std::string>;

std::string conflict(const std::string& path, const std::string& old_value, const std::string& new_value) {
  return "Testbed configuration merge conflict resolved.\nReplacing path=" + path + " : old value=" + old_value +
         ", new value=" + new_value + ".";
}

// ---------------------------------------------------------------- name and alias

using TestbedNameAlias = PostLaunchTest;

TEST_F(TestbedNameAlias, TheNameBecomesTheAliasUnlessTheUserChoseOne) {
  struct Case {
    const char* title;
    const char* config;
    const char* expected;
    Messages warnings;
  };
  const Case cases[] = {
      {"no alias", "testbed: {name: U1, x: 1}", "testbed: {x: 1, alias: U1}", {}},
      {"empty alias", "testbed: {name: U1, alias: ''}", "testbed: {alias: U1}", {}},
      {"null alias", "testbed: {name: U1, alias: null}", "testbed: {alias: U1}", {}},
      {"alias of the user's own",
       "testbed: {name: U1, alias: A1}",
       "testbed: {alias: A1}",
       {"Removing name U1 from testbed config."}},
      {"alias equal to the name", "testbed: {name: U1, alias: U1}", "testbed: {alias: U1}", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Value config = yaml(c.config);
    capture.clear();
    worker._testbed_name_alias_processing(config);
    EXPECT_EQ(config, yaml(c.expected));
    EXPECT_EQ(messages(log::WARNING), c.warnings);
    EXPECT_EQ(messages(log::DEBUG), Messages{"Doing testbed name/alias processing ..."});
  }
}

TEST_F(TestbedNameAlias, WithoutANameNothingChanges) {
  for (const char* text : {"devices: {R1: {}}", "testbed: {alias: A1}"}) {
    SCOPED_TRACE(text);
    Value config = yaml(text);
    capture.clear();
    worker._testbed_name_alias_processing(config);
    EXPECT_EQ(config, yaml(text));
    EXPECT_EQ(all_messages(), (Messages{"DEBUG Doing testbed name/alias processing ...",
                                        "DEBUG No testbed name found in logical config."}));
  }
}

TEST_F(TestbedNameAlias, TestbedSectionThatIsNoMappingIsAnError) {
  Value config = yaml("testbed: just-a-name");
  EXPECT_THROW(worker._testbed_name_alias_processing(config), TypeError);
}

// ---------------------------------------------------------------- merge

using TestbedMerge = PostLaunchTest;

// A leaf of the user's configuration under devices/R1/x, merged into the
// orchestrator's leaf at the same place.
TEST_F(TestbedMerge, LeavesTheOrchestratorFilledInAreReplacedOnlyWhenTheyDiffer) {
  struct Case {
    const char* title;
    Value from;
    Value to;
    Value expected;
    Messages warnings;
  };
  const Case cases[] = {
      {"orchestrator left null", "user", Value(), Value(), {}},
      {"orchestrator left false", "user", false, false, {}},
      {"orchestrator left zero", "user", 0, 0, {}},
      {"orchestrator left an empty text", "user", "", "", {}},
      {"orchestrator left an empty list", "user", List{}, List{}, {}},
      {"same text", "same", "same", "same", {}},
      {"numbers equal across int and float", 1, 1.0, 1.0, {}},
      {"different text", "new", "old", "new", {conflict("/devices/R1/x", "old", "new")}},
      {"different lists are replaced whole",
       Value::list({1, 2}),
       Value::list({3}),
       Value::list({1, 2}),
       {conflict("/devices/R1/x", "[3]", "[1, 2]")}},
      {"the user's null replaces a value", Value(), "old", Value(), {conflict("/devices/R1/x", "old", "None")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const Value from = Value::map({{"devices", Value::map({{"R1", Value::map({{"x", c.from}})}})}});
    Value to = Value::map({{"devices", Value::map({{"R1", Value::map({{"x", c.to}, {"y", "kept"}})}})}});
    capture.clear();
    worker._merge_testbed_configs(from, to);
    EXPECT_EQ(to, Value::map({{"devices", Value::map({{"R1", Value::map({{"x", c.expected}, {"y", "kept"}})}})}}));
    EXPECT_EQ(to.at("devices").at("R1").at("x").kind(), c.expected.kind());
    EXPECT_EQ(messages(log::WARNING), c.warnings);
    EXPECT_EQ(messages(log::DEBUG), Messages{"Merging orchestrator-generated content into testbed topology ..."});
  }
}

TEST_F(TestbedMerge, LeafUnderKeyWithSlashOrNumberIsReplacedUnderThatKey) {
  const Value from = Value::map({{"devices", Value::map({{"R1", Value::map({{"a/b", "new"}, {5, "five"}})}})}});
  Value to = Value::map({{"devices", Value::map({{"R1", Value::map({{"a/b", "old"}, {5, "old5"}})}})}});
  worker._merge_testbed_configs(from, to);
  EXPECT_EQ(to, from);
  EXPECT_EQ(messages(log::WARNING),
            (Messages{conflict("/devices/R1/a/b", "old", "new"), conflict("/devices/R1/5", "old5", "five")}));
}

TEST_F(TestbedMerge, LogicalDevicesTheOrchestratorDidNotNameAreLeftOut) {
  BringUpBase::logical_devices = yaml("[R1, R2]");
  worker.actual_devices = yaml("[R2, act-R1]");
  const Value from = yaml(R"(
devices:
  R1: {logical: true, os: frr}
  R2: {os: linux}
  act-R1: {os: frr}
  S1: {os: linux, connections: {cli: {ip: 10.0.0.1}}}
topology:
  R1: {interfaces: {Gi1: {link: L-a}}}
  R2: {interfaces: {Gi1: {link: L-b}}}
extra:
  R1: a logical name elsewhere is ordinary content
)");
  Value to = yaml(R"(
devices:
  R2: {type: switch}
  act-R1: {type: router}
topology:
  R2: {interfaces: {eth1: {link: L-b}}}
  act-R1: {interfaces: {eth1: {link: L-a}}}
extra:
  other: 1
)");

  worker._merge_testbed_configs(from, to);

  EXPECT_EQ(to, yaml(R"(
devices:
  R2: {type: switch, os: linux}
  act-R1: {type: router, os: frr}
  S1: {os: linux, connections: {cli: {ip: 10.0.0.1}}}
topology:
  R2: {interfaces: {eth1: {link: L-b}, Gi1: {link: L-b}}}
  act-R1: {interfaces: {eth1: {link: L-a}}}
extra:
  other: 1
  R1: a logical name elsewhere is ordinary content
)"));
  EXPECT_EQ(to.at("devices").as_map().keys(), (List{"R2", "act-R1", "S1"}));
  EXPECT_TRUE(messages(log::WARNING).empty());
}

TEST_F(TestbedMerge, DeviceLevelIsRecognisedByPathWhenCalledBelowTheTop) {
  BringUpBase::logical_devices = yaml("[R1]");
  worker.actual_devices = yaml("[act-R1]");
  const Value from = yaml("{R1: {os: frr}, S1: {os: linux}}");
  Value to = yaml("{act-R1: {type: router}}");
  worker._merge_testbed_configs(from, to, "/devices");
  EXPECT_EQ(to, yaml("{act-R1: {type: router}, S1: {os: linux}}"));
  EXPECT_TRUE(all_messages().empty()) << "only the top-level call announces the merge";
}

TEST_F(TestbedMerge, MappingAgainstLeafIsAnErrorNamingThePath) {
  struct Case {
    const char* title;
    const char* from;
    const char* to;
    const char* message;
    const char* merged_before;  // the destination after the error
  };
  const Case cases[] = {
      {"user mapping against orchestrator text", "devices: {R1: {a: 1, clean: {x: 1}}}", "devices: {R1: {clean: text}}",
       "Invalid testbed YAML data, path=/devices/R1/clean, from={'x': 1}, to='text'.",
       "devices: {R1: {clean: text, a: 1}}"},
      {"user device entry that is null", "devices: {R1: null}", "devices: {R1: {type: router}}",
       "Invalid testbed YAML data, path=/devices/R1, from=None, to={'type': 'router'}.",
       "devices: {R1: {type: router}}"},
      {"user list against orchestrator mapping", "topology: [a]", "topology: {R1: {}}",
       "Invalid testbed YAML data, path=/topology, from=['a'], to={'R1': {}}.", "topology: {R1: {}}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Value to = yaml(c.to);
    try {
      worker._merge_testbed_configs(yaml(c.from), to);
      ADD_FAILURE() << "no error";
    } catch (const TypeError& error) {
      EXPECT_EQ(error.message(), c.message);
    }
    EXPECT_EQ(to, yaml(c.merged_before));
  }
}

TEST_F(TestbedMerge, TwoLeavesAtTheTopAreAnError) {
  Value to = "orchestrator";
  try {
    worker._merge_testbed_configs("user", to);
    ADD_FAILURE() << "no error";
  } catch (const TypeError& error) {
    EXPECT_EQ(error.message(), "Invalid testbed YAML data, path=, from='user', to='orchestrator'.");
  }
  EXPECT_EQ(to, Value("orchestrator"));
}

TEST_F(TestbedMerge, ErrorMessageShowsBothSidesPrettyPrinted) {
  const Value wide = yaml(R"(
clean:
  images: [a-rather-long-image-name-number-one.bin, a-rather-long-image-name-number-two.bin]
  timeout: 600
)");
  const Value from = Value::map({{"devices", Value::map({{"R1", wide}})}});
  Value to = yaml("devices: {R1: text}");
  try {
    worker._merge_testbed_configs(from, to);
    ADD_FAILURE() << "no error";
  } catch (const TypeError& error) {
    EXPECT_EQ(error.message(), "Invalid testbed YAML data, path=/devices/R1, from=" + wide.pformat() + ", to='text'.");
    EXPECT_NE(error.message().find('\n'), std::string::npos) << "a wide value is printed over several lines";
  }
}

}  // namespace
}  // namespace tarvex::morvane::bases
