#include <gtest/gtest.h>

#include "morvane/bringup_globals.hpp"
#include "support/pattern.hpp"
#include "tarvex/morvane/cli.hpp"
#include "tarvex/utils/yaml.hpp"
#include "worker_fixture.hpp"

namespace tarvex::testing {
namespace {

using morvane::bases::BringUpBase;
using morvane::bases::BringUpWorkerBase;

using WorkerConstruction = WorkerTest;

TEST_F(WorkerConstruction, CleanConfigurationsAreProcessWide) {
  auto first = make();
  EXPECT_EQ(BringUpBase::clean_config, Value(Map{}));
  EXPECT_EQ(BringUpBase::bringup_clean_config, Value(Map{}));
  auto second = make(Kwargs{{"clean_config", Value::map({{"bringup", Value::map({{"sim", Value::map({})}})}})}});
  EXPECT_EQ(first->get_attr("clean_config"), second->get_attr("clean_config"));
  EXPECT_TRUE(first->get_attr("clean_config").contains("bringup"));
}

TEST_F(WorkerConstruction, TheCommandLineReplacesKeywordArguments) {
  const std::string static_file = write_file("static.yaml", "devices:\n  S1: {type: switch}\n");
  ScopedCommandLine cli({"/usr/bin/bringup", "-testbed_file", static_file, "-orchestrator", "sim"});
  auto worker = make(Kwargs{{"testbed_file", "/nonexistent.yaml"}, {"bringup_log_level", "None"}});
  EXPECT_EQ(worker->testbed_file, static_file);
  EXPECT_EQ(BringUpWorkerBase::static_testbed_config["devices"]["S1"]["type"], Value("switch"));
  EXPECT_FALSE(worker->bringup_log_level.has_value());
  EXPECT_FALSE(worker->has_attr("orchestrator"));  // another parser's option
}

TEST_F(WorkerConstruction, ALevelGivenAsANumberIsKeptAsText) {
  auto worker = make(Kwargs{{"bringup_log_level", 10}});
  EXPECT_EQ(worker->bringup_log_level, "10");
  EXPECT_EQ(morvane::bases::logger().level(), log::INFO);  // no level of that name
}

TEST_F(WorkerConstruction, TopologyNamesCarryATimeStampWithMicroseconds) {
  const std::string stamp(kTimeStamp);
  struct Case {
    Kwargs kwargs;
    std::string pattern;
  };
  const Case cases[] = {
      {Kwargs{{"jobrix", true}, {"topology_name", "ospf"}, {"taskid", "T1"}}, "ospf_" + stamp + "_T1"},
      {Kwargs{{"jobrix", true}, {"runinfo_dir", "/runs/job7"}}, "job7"},
      {Kwargs{{"jobrix", true}, {"runinfo_dir", "/runs/job7"}, {"taskid", 3}}, "job7_3"},
      {Kwargs{}, "bringup_" + stamp},
      {Kwargs{{"topology_name", "a:b:c"}}, "a_b_c_" + stamp},
      // Always one path component, whatever was given.
      {Kwargs{{"topology_name", "../up/x"}}, ".._up_x_" + stamp},
      {Kwargs{{"jobrix", true}, {"runinfo_dir", "/runs/job7/"}}, "job7"},
      {Kwargs{{"jobrix", true}, {"runinfo_dir", "/runs/job7/.."}}, "runs"},
      {Kwargs{{"jobrix", true}, {"runinfo_dir", "/"}}, "topology"},
  };
  ScopedCommandLine cli({"/usr/bin/bringup extra-word"});
  for (const Case& c : cases) {
    auto worker = make(c.kwargs);
    EXPECT_TRUE(matches(c.pattern, *worker->topology_name)) << *worker->topology_name;
  }
}

TEST_F(WorkerConstruction, TopologyNameNeedsARunDirectoryOrAProgramPath) {
  EXPECT_THROW(make(Kwargs{{"jobrix", true}}), TypeError);
  ScopedCommandLine cli({"   "});
  EXPECT_THROW(make(), IndexError);
}

TEST_F(WorkerConstruction, ABadCommandLinePrintsUsageAndRaisesTheUserError) {
  ScopedCommandLine cli({"/usr/bin/bringup", "-testbed_file"});
  const std::size_t before = morvane::utils::bringup_globals().bringup_instances.size();
  ::testing::internal::CaptureStdout();
  try {
    make();
    FAIL() << "no error";
  } catch (const morvane::utils::ArgumentError& e) {
    EXPECT_NE(std::string(e.what()).find("argument -testbed_file: expected one argument"), std::string::npos);
  }
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("usage: bringup [-testbed_file TESTBED_FILE]"), std::string::npos) << out;
  EXPECT_EQ(shutdown_requests(), 1);
  // The half-built worker was registered, and left the registry when it was
  // destroyed.
  EXPECT_EQ(morvane::utils::bringup_globals().bringup_instances.size(), before);
}

TEST_F(WorkerConstruction, UnreadableOrMalformedTestbedFilesNameTheFile) {
  try {
    make(Kwargs{{"logical_testbed_file", dir_.file("missing.yaml")}});
    FAIL();
  } catch (const FileNotFoundError& e) {
    EXPECT_NE(std::string(e.what()).find("missing.yaml"), std::string::npos);
  }
  const std::string bad = write_file("bad.yaml", "devices:\n  R1: {type: router\n");
  try {
    make(Kwargs{{"logical_testbed_file", bad}});
    FAIL();
  } catch (const tarvex::utils::yaml::YAMLError& e) {
    EXPECT_NE(std::string(e.what()).find("bad.yaml"), std::string::npos);
  }
  const std::string list = write_file("list.yaml", "- a\n- b\n");
  EXPECT_THROW(make(Kwargs{{"testbed_file", list}}), TypeError);
}

// A testbed of the wrong shape is refused when it is loaded, naming the
// file and the key, before anything is built from it.
TEST_F(WorkerConstruction, MalformedTestbedStructureNamesTheFileAndTheKey) {
  struct Case {
    const char* keyword;
    const char* text;
    const char* names;
  };
  const Case cases[] = {
      {"logical_testbed_file", "devices: [R1, R2]\n", "'devices' must be a mapping, not a list"},
      {"logical_testbed_file", "devices: R1\n", "'devices' must be a mapping, not a str"},
      {"logical_testbed_file", "devices:\n  101: {logical: true}\n", "device name 101 under devices is a int"},
      {"logical_testbed_file", "devices:\n  R1: [a]\n", "devices/R1 must be a mapping"},
      {"logical_testbed_file", "topology:\n  R1:\n    interfaces: [Gi0]\n", "topology/R1/interfaces must be"},
      {"logical_testbed_file", "topology:\n  R1:\n    interfaces:\n      1: {}\n",
       "interface name 1 under topology/R1/interfaces"},
      {"testbed_file", "devices: [S1]\n", "Static testbed file"},
  };
  for (const Case& c : cases) {
    const std::string file = write_file("shape.yaml", c.text);
    try {
      make(Kwargs{{c.keyword, file}});
      ADD_FAILURE() << c.text;
    } catch (const TypeError& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find("shape.yaml"), std::string::npos) << text;
      EXPECT_NE(text.find(c.names), std::string::npos) << text;
    }
  }
}

// A testbed that would build something else than it says (a device or an
// interface written twice, whose last one replaces the first; a control
// character, which no device takes and XML-RPC cannot carry) is refused
// when it is loaded, with every such problem of the file on a line of its
// own.  Other keys written twice are warned of and keep their last value.
TEST_F(WorkerConstruction, ATestbedThatWouldBuildSomethingElseIsRefusedWithEveryProblem) {
  struct Case {
    const char* keyword;
    std::string text;
    std::string refused;  // "FILE" stands for the file's name; empty when it loads
    std::string warned;   // a warning the module's logger gives, or empty
  };
  const Case cases[] = {
      {"logical_testbed_file",
       "devices:\n  h1: {logical: true}\ntopology:\n  h1:\n    interfaces:\n"
       "      eth-a: {link: l1}\n      eth-a: {link: l2}\n",
       "FILE: line 6 and line 7: interface 'eth-a' of device 'h1' appears twice", ""},
      // Every problem, in the order of the text; the other duplicate key is
      // only warned of.
      {"logical_testbed_file",
       "devices:\n  r1: {logical: true, os: linux, os: frr}\n  r2: {logical: true}\n  r1: {logical: true}\n"
       "topology:\n  r1:\n    interfaces: {e1: {link: l1}, e1: {link: l1}}\n"
       "  r1:\n    interfaces: {}\n    interfaces: {}\n"
       "  r2:\n    frr: {config: \"hostname r2\\x07\"}\ndevices: {}\n",
       "FILE: line 2 and line 4: device 'r1' appears twice\n"
       "FILE: line 7, columns 18 and 34: interface 'e1' of device 'r1' appears twice\n"
       "FILE: line 6 and line 8: device 'r1' appears twice\n"
       "FILE: line 9 and line 10: the interfaces of device 'r1' appear twice\n"
       "FILE: line 12: topology/r2/frr/config: the text holds the control character U+0007 (BEL)\n"
       "FILE: line 1 and line 13: the section 'devices' appears twice",
       "FILE: line 2, columns 23 and 34: the key devices/r1/os appears twice; its last value is used"},
      {"logical_testbed_file", "devices:\n  \"r\\0\": {logical: true, note: \"a\\x1b[0m\\x7f\"}\n",
       "FILE: line 2: devices/'r\\x00': the key holds the control character U+0000 (NUL)\n"
       "FILE: line 2: devices/'r\\x00'/note: the text holds the control characters U+001B (ESC) and U+007F (DEL)",
       ""},
      {"logical_testbed_file", "devices:\n  r1:\n    logical: true\n    os: linux\n    os: frr\n", "",
       "FILE: line 4 and line 5: the key devices/r1/os appears twice; its last value is used"},
      // The static testbed is checked for control characters only.
      {"testbed_file", "devices:\n  S1: {type: switch}\n  S1: {type: hub}\n", "", ""},
      {"testbed_file", "devices:\n  S1: {banner: \"\\0\"}\n",
       "FILE: line 2: devices/S1/banner: the text holds the control character U+0000 (NUL)", ""},
  };
  for (const Case& c : cases) {
    const std::string file = write_file("testbed.yaml", c.text);
    const auto in_file = [&](std::string text) {
      for (std::size_t at; (at = text.find("FILE")) != std::string::npos;) text.replace(at, 4, file);
      return text;
    };
    log::LogCapture capture;
    std::string refused;
    try {
      make(Kwargs{{c.keyword, file}});
    } catch (const ValueError& e) {
      refused = e.what();
    }
    EXPECT_EQ(refused, in_file(c.refused)) << c.text;
    const std::vector<std::string> warnings = capture.texts(log::WARNING);
    EXPECT_EQ(warnings, c.warned.empty() ? std::vector<std::string>{} : std::vector<std::string>{in_file(c.warned)})
        << c.text;
  }
  EXPECT_EQ(BringUpWorkerBase::static_testbed_config["devices"]["S1"]["type"], Value("hub"));
}

TEST_F(WorkerConstruction, LoadsClassifiesAndRegisters) {
  const std::string logical = write_file("logical.yaml", kLogicalTestbed);
  auto worker = make(Kwargs{{"logical_testbed_file", logical}});
  EXPECT_EQ(BringUpBase::logical_devices, Value::list({"P1", "R1", "R2"}));
  EXPECT_EQ(BringUpWorkerBase::logical_virtual_devices, Value::list({"R1", "R2"}));
  EXPECT_EQ(BringUpWorkerBase::logical_physical_devices, Value::list({"P1"}));
  const auto& instances = morvane::utils::bringup_globals().bringup_instances;
  EXPECT_NE(std::find(instances.begin(), instances.end(), worker.get()), instances.end());
  EXPECT_FALSE(worker->event_loop->is_closed());
  EXPECT_EQ(worker->_max_post_launch_wait_min, 45);
  EXPECT_EQ(worker->output_clean_config, Value(Map{}));
  EXPECT_EQ(worker->actual_devices, Value(List{}));
  worker.reset();
  EXPECT_EQ(std::find(instances.begin(), instances.end(), nullptr), instances.end());
}

TEST_F(WorkerConstruction, ATestbedWithoutLogicalDevicesLaunchesNothing) {
  const std::string logical = write_file("static-only.yaml", "devices:\n  S1: {type: switch}\n");
  auto worker = make(Kwargs{{"logical_testbed_file", logical}});
  EXPECT_EQ(BringUpBase::logical_devices, Value(List{}));
  with_context(*worker, [](TestWorker&) {});
  EXPECT_TRUE(worker->calls.empty());
}

TEST_F(WorkerConstruction, DebugLogShowsTheSettingsAfterTheCommandLine) {
  morvane::bases::logger().set_level(log::DEBUG);
  log::LogCapture capture;
  auto worker = make(Kwargs{{"bringup_log_level", "debug"}, {"taskid", "T9"}});
  const std::vector<std::string> texts = capture.texts(log::DEBUG);
  const std::string expected =
      "interactive=False\njobrix=False\ntaskid=T9\nruninfo_dir=None\ntestbed_file=None\nlogical_testbed_file=None\n"
      "clean_config={}\nbringup_clean_config={}\nbringup_log_level=debug\ntb_yaml_output_file_name=None\n"
      "skip_teardown=False";
  EXPECT_NE(std::find(texts.begin(), texts.end(), expected), texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Set log level : 10"), texts.end());
}

}  // namespace
}  // namespace tarvex::testing
