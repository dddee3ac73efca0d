// SIGINT and SIGTERM sent to the tool while it launches and while it holds
// the topology: the tool passes the signal on to its worker, the topology is
// torn down, and the tool ends promptly leaving nothing behind.
#include <gtest/gtest.h>
#include <string.h>

#include <cstring>

#include "bringup_runner.hpp"

namespace tarvex::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How long the tool may take to end once signalled (far below the launch
// delay, so that an ignored signal cannot pass).
constexpr auto kPromptEnd = 10s;

class Signalled : public ::testing::TestWithParam<int> {
 protected:
  std::string signal_text() const {
    return std::string("signal SIG") + ::sigabbrev_np(GetParam()) + " (" + std::to_string(GetParam()) + ")";
  }
};

TEST_P(Signalled, DuringTheLaunchTheWorkerStopsAndTearsDown) {
  TempDir dir;
  BringupRun run(dir, {"-logical_testbed_file", lab_file("logical.yaml"), "-sim_launch_delay", "30", "-log_dir",
                       dir.file("logs")});
  ASSERT_TRUE(run.wait_for_stderr("Simulated launch takes", 30s)) << run.finish(0s).describe();
  const auto signalled = Clock::now();
  run.send_signal(GetParam());
  const RunResult result = run.finish(kPromptEnd + 5s);
  const auto took = Clock::now() - signalled;

  ASSERT_TRUE(result.ended && result.exited) << result.describe();
  EXPECT_LT(took, kPromptEnd) << result.describe();
  EXPECT_NE(result.exit_code, 0) << result.describe();
  EXPECT_NE(result.err.find("Received : " + signal_text()), std::string::npos) << result.describe();
  EXPECT_NE(result.err.find("TopologyTerminatedDueToSignal"), std::string::npos) << result.describe();
  EXPECT_NE(result.err.find("Topology has been torn down."), std::string::npos) << result.describe();
  EXPECT_EQ(result.err.find("is up."), std::string::npos) << result.describe();
  expect_nothing_left(result, dir);
}

TEST_P(Signalled, DuringTheHoldTheTopologyIsTornDownAndTheRunSucceeds) {
  TempDir dir;
  BringupRun run(dir, {"-logical_testbed_file", lab_file("logical.yaml"), "-interactive", "-tb_yaml_output_file_name",
                       dir.file("actual.yaml"), "-log_dir", dir.file("logs")});
  ASSERT_TRUE(run.wait_for_stdout("*** Press Control-C to take down the testbed.", 60s)) << run.finish(0s).describe();
  // Held: the simulated devices exist until the signal.
  const std::vector<std::string> held = sim_topologies_left(dir);
  ASSERT_EQ(held.size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(BringupRun::sim_state_root(dir) / held[0] / "sim-SW1.yaml"));

  const auto signalled = Clock::now();
  run.send_signal(GetParam());
  const RunResult result = run.finish(kPromptEnd + 5s);
  const auto took = Clock::now() - signalled;

  ASSERT_TRUE(result.ended && result.exited) << result.describe();
  EXPECT_LT(took, kPromptEnd) << result.describe();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_NE(result.err.find("Removed the simulated devices of topology " + held[0]), std::string::npos)
      << result.describe();
  EXPECT_NE(result.err.find("Topology has been torn down."), std::string::npos) << result.describe();
  expect_nothing_left(result, dir);
}

INSTANTIATE_TEST_SUITE_P(BringupTool, Signalled, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string("SIG") + ::sigabbrev_np(info.param);
                         });

}  // namespace
}  // namespace tarvex::testing
