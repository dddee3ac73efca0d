// The example lab brought up by the real tool on the sim backend: what the
// user gets back (the final testbed, under their names' aliases) and that
// nothing of the run is left once the tool has ended.
#include <gtest/gtest.h>

#include "bringup_runner.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::testing {
namespace {

namespace yaml = tarvex::utils::yaml;

// The topology name the tool reports on standard error.
std::string reported_topology(const std::string& err) {
  const std::string prefix = "\nTopology ";
  const std::size_t start = err.find(prefix);
  if (start == std::string::npos) return "";
  const std::size_t name = start + prefix.size();
  const std::size_t end = err.find(" is up.", name);
  return end == std::string::npos ? "" : err.substr(name, end - name);
}

TEST(LabBringUp, BindsTheEngineersNamesAndMergesTheirFilesIntoTheFinalTestbed) {
  TempDir dir;
  const std::string output = dir.file("ospf-lab.actual.yaml");
  const RunResult result = run_bringup(
      dir, {"-logical_testbed_file", lab_file("logical.yaml"), "-testbed_file", lab_file("static.yaml"), "-clean_files",
            lab_file("clean.yaml"), "-tb_yaml_output_file_name", output, "-log_dir", dir.file("logs")});
  ASSERT_TRUE(result.ended && result.exited) << result.describe();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_NE(result.err.find("Topology has been torn down."), std::string::npos) << result.describe();
  EXPECT_NE(result.err.find("Testbed YAML written to " + output), std::string::npos) << result.describe();
  EXPECT_NE(result.err.find("sim-R1 <- R1"), std::string::npos) << result.describe();
  EXPECT_NE(result.err.find("traffic-gen <- (not in the logical testbed)"), std::string::npos) << result.describe();
  expect_nothing_left(result, dir);
  // The simulated devices were made where the run was told, and removed.
  EXPECT_TRUE(std::filesystem::is_directory(BringupRun::sim_state_root(dir)));

  const std::string topology = reported_topology(result.err);
  ASSERT_FALSE(topology.empty()) << result.describe();
  const Value testbed = yaml::load_file(output);
  const Value& devices = testbed.at("devices");

  // The merge: the user's testbed alias on the generated topology.
  EXPECT_EQ(testbed.at("testbed").get("name"), Value(topology));
  EXPECT_EQ(testbed.at("testbed").get("alias"), Value("ospf-lab"));

  // Each logical device is bound to the actual device built for it.
  EXPECT_EQ(devices.at("sim-R1").get("alias"), Value("R1"));
  EXPECT_EQ(devices.at("sim-R2").get("alias"), Value("R2"));
  EXPECT_EQ(devices.at("sim-SW1").get("alias"), Value("SW1"));
  EXPECT_EQ(devices.at("sim-R1").at("connections").at("cli").get("state_file"),
            Value((BringupRun::sim_state_root(dir) / topology / "sim-R1.yaml").string()));

  // The logical file's content carried over to the actual device.
  EXPECT_EQ(devices.at("sim-R1").get("role"), Value("area-border"));
  EXPECT_EQ(devices.at("sim-R2").get("role"), Value("internal"));
  EXPECT_EQ(devices.at("sim-R1").at("credentials").at("default").get("password"), Value("lab-secret"));

  // Interfaces: bound by link, with the user's addresses; one without a
  // link is carried over under its own name.
  const Value& r1_interfaces = testbed.at("topology").at("sim-R1").at("interfaces");
  EXPECT_EQ(r1_interfaces.at("eth1").get("alias"), Value("Gi0/0"));
  EXPECT_EQ(r1_interfaces.at("eth1").get("ipv4"), Value("10.0.12.1/30"));
  EXPECT_EQ(r1_interfaces.at("eth1").get("ospf_area"), Value(0));
  EXPECT_EQ(r1_interfaces.at("eth2").get("alias"), Value("Gi0/1"));
  EXPECT_EQ(r1_interfaces.at("eth2").get("ipv4"), Value("192.168.10.1/24"));
  ASSERT_TRUE(r1_interfaces.contains("Lo0")) << r1_interfaces.pformat();
  EXPECT_EQ(r1_interfaces.at("Lo0").get("ipv4"), Value("1.1.1.1/32"));
  EXPECT_FALSE(r1_interfaces.contains("Gi0/0")) << r1_interfaces.pformat();
  EXPECT_EQ(testbed.at("topology").at("sim-SW1").at("interfaces").at("eth2").get("alias"), Value("Eth2"));

  // The static file wins where it speaks, and adds its own devices.
  EXPECT_EQ(devices.at("sim-R1").at("credentials").at("default").get("username"), Value("netops"));
  EXPECT_EQ(devices.at("traffic-gen").get("type"), Value("tgen"));
  EXPECT_EQ(devices.at("traffic-gen").at("connections").at("mgmt").get("ip"), Value("192.0.2.50"));

  // The readiness wait wrote one log per device into a directory of the
  // run inside the given one.
  int device_logs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "logs" / reported_topology(result.err))) {
    if (entry.path().filename().string().find("_DeviceLaunch_") != std::string::npos) ++device_logs;
  }
  EXPECT_EQ(device_logs, 3);
}

TEST(LabBringUp, WithoutAnOutputFileTheFinalTestbedGoesToStandardOutput) {
  TempDir dir;
  const RunResult result =
      run_bringup(dir, {"-logical_testbed_file", lab_file("logical.yaml"), "-log_dir", dir.file("logs")});
  ASSERT_TRUE(result.ended && result.exited) << result.describe();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_NE(result.err.find("Topology has been torn down."), std::string::npos) << result.describe();
  expect_nothing_left(result, dir);

  // Standard output holds the testbed and nothing else.
  const Value testbed = yaml::load_string(result.out, "<bringup stdout>");
  ASSERT_TRUE(testbed.is_map()) << result.out;
  EXPECT_EQ(testbed.at("testbed").get("name"), Value(reported_topology(result.err)));
  EXPECT_EQ(testbed.at("testbed").get("alias"), Value("ospf-lab"));
  EXPECT_EQ(testbed.at("devices").at("sim-R1").get("alias"), Value("R1"));
  EXPECT_EQ(testbed.at("devices").at("sim-R1").at("credentials").at("default").get("username"), Value("admin"));
  EXPECT_EQ(testbed.at("topology").at("sim-R2").at("interfaces").at("eth2").get("alias"), Value("Gi0/1"));
  EXPECT_FALSE(testbed.at("devices").contains("traffic-gen"));  // no static file this time
}

// Text beyond the Basic Multilingual Plane is ordinary text: in a key, a
// value and a device name it goes through the worker, the XML-RPC read of
// the testbed and the final file unchanged.  A byte that is not UTF-8 is
// refused when the file is loaded, before anything is built.
TEST(LabBringUp, CarriesAnyUnicodeTextAndRefusesBytesThatAreNotUtf8BeforeTheLaunch) {
  TempDir dir;
  std::string lab = read_file(lab_file("logical.yaml"));
  auto replace = [&lab](const std::string& from, const std::string& to) {
    for (std::size_t at = lab.find(from); at != std::string::npos; at = lab.find(from, at + to.size())) {
      lab.replace(at, from.size(), to);
    }
  };
  replace("    role: internal\n",
          "    role: internal\n    notes-\U0001F680: true\n    motto: \"launch \U0001F680 na\u00EFve\"\n");
  replace("  SW1:\n", "  SW\U0001F680:\n");
  const std::string logical = dir.file("logical.yaml");
  write_file(logical, lab);
  const std::string output = dir.file("actual.yaml");
  const RunResult result = run_bringup(
      dir, {"-logical_testbed_file", logical, "-tb_yaml_output_file_name", output, "-log_dir", dir.file("logs")});
  ASSERT_TRUE(result.ended && result.exited) << result.describe();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_NE(result.err.find("sim-SW\U0001F680 <- SW\U0001F680"), std::string::npos) << result.describe();
  expect_nothing_left(result, dir);
  const Value testbed = yaml::load_file(output);
  const Value& r2 = testbed.at("devices").at("sim-R2");
  EXPECT_EQ(r2.get("notes-\U0001F680"), Value(true)) << r2.pformat();
  EXPECT_EQ(r2.get("motto"), Value("launch \U0001F680 na\u00EFve"));
  EXPECT_EQ(testbed.at("devices").at("sim-SW\U0001F680").get("alias"), Value("SW\U0001F680"));

  write_file(logical,
             "testbed: {name: x}\ndevices:\n  R1: {type: router, logical: true, note: \"a\xE9"
             "b\"}\n");
  const RunResult refused = run_bringup(dir, {"-logical_testbed_file", logical, "-log_dir", dir.file("logs")});
  EXPECT_EQ(refused.exit_code, 1) << refused.describe();
  EXPECT_NE(
      refused.err.find("Error in YAML file '" + logical + "', line 3, column 45: the byte 0xE9 is not valid UTF-8"),
      std::string::npos)
      << refused.describe();
  EXPECT_EQ(refused.err.find("Launching topology"), std::string::npos) << refused.describe();
  expect_nothing_left(refused, dir);
}

}  // namespace
}  // namespace tarvex::testing
