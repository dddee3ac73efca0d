// Faults injected through a sim plan: the tool fails with the backend's
// text on standard error, still tears down, and leaves nothing running.
#include <gtest/gtest.h>

#include "e2e/bringup_runner.hpp"

namespace tarvex::testing {
namespace {

// The example plan with a `fail` section added.
std::string plan_failing(const TempDir& dir, const std::string& stage, const std::string& text) {
  const std::string path = dir.file("plan-" + stage + ".yaml");
  write_file(path, read_file(lab_file("plan.yaml")) + "fail:\n  " + stage + ": \"" + text + "\"\n");
  return path;
}

TEST(PlanFaults, AFailedLaunchIsReportedAndTornDown) {
  TempDir dir;
  const std::string plan = plan_failing(dir, "launch", "the hypervisor refused to start vm-102");
  const RunResult result = run_bringup(
      dir, {"-logical_testbed_file", lab_file("logical.yaml"), "-sim_plan", plan, "-log_dir", dir.file("logs")});
  ASSERT_TRUE(result.ended && result.exited) << result.describe();
  EXPECT_EQ(result.exit_code, 1) << result.describe();
  EXPECT_NE(result.err.find("bringup: error: Exception: the hypervisor refused to start vm-102"), std::string::npos)
      << result.describe();
  EXPECT_NE(result.err.find("Topology has been torn down."), std::string::npos) << result.describe();
  EXPECT_EQ(result.err.find("is up."), std::string::npos) << result.describe();
  EXPECT_EQ(result.out, "");  // no testbed for a topology that did not come up
  expect_nothing_left(result, dir);
}

TEST(PlanFaults, AFailedTeardownIsReportedAfterTheTopologyWasUp) {
  TempDir dir;
  const std::string plan = plan_failing(dir, "teardown", "vm-103 would not stop");
  const std::string output = dir.file("actual.yaml");
  const RunResult result = run_bringup(dir, {"-logical_testbed_file", lab_file("logical.yaml"), "-sim_plan", plan,
                                             "-tb_yaml_output_file_name", output, "-log_dir", dir.file("logs")});
  ASSERT_TRUE(result.ended && result.exited) << result.describe();
  EXPECT_EQ(result.exit_code, 1) << result.describe();
  EXPECT_NE(result.err.find("vm-101 <- R1"), std::string::npos) << result.describe();  // the replayed backend's names
  EXPECT_NE(result.err.find("bringup: error: Exception: vm-103 would not stop"), std::string::npos)
      << result.describe();
  EXPECT_TRUE(std::filesystem::exists(output));
  expect_nothing_left(result, dir);
}

}  // namespace
}  // namespace tarvex::testing
