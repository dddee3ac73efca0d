#include "backend_suite/backend_suite.hpp"

#include <string.h>

#include <csignal>
#include <optional>

#include "e2e/bringup_runner.hpp"
#include "support/root.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::testing {

namespace {

using namespace std::chrono_literals;

std::string unique_tag() {
  static int counter = 0;
  return "bs" + std::to_string(::getpid() % 100000) + "x" + std::to_string(counter++);
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// One test's run of the tool on the profile's testbed.
struct SuiteRun {
  explicit SuiteRun(const BackendProfile& profile) : profile(profile), guard(profile.per_test()) {
    write_file(dir.path() / "logical.yaml", profile.logical_testbed(tag));
  }
  std::vector<std::string> args(std::vector<std::string> extra = {}) const {
    std::vector<std::string> all{"-orchestrator",          profile.name, "-logical_testbed_file",
                                 dir.file("logical.yaml"), "-log_dir",   dir.file("logs")};
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  }
  std::vector<std::string> left() const { return profile.left(tag, dir); }

  const BackendProfile& profile;
  std::shared_ptr<void> guard;
  TempDir dir;
  const std::string tag = unique_tag();
};

// Skips without root where the backend needs it.
#define MORVANE_SUITE_PRECONDITIONS(profile)          \
  do {                                                \
    if ((profile).needs_root) MORVANE_REQUIRE_ROOT(); \
  } while (0)

void launch_and_teardown(const BackendProfile& profile) {
  MORVANE_SUITE_PRECONDITIONS(profile);
  SuiteRun run(profile);
  const std::string output = run.dir.file("testbed.yaml");
  const RunResult result = run_bringup(run.dir, run.args({"-tb_yaml_output_file_name", output}));
  ASSERT_TRUE(result.ended && result.exited && result.exit_code == 0) << result.describe();
  EXPECT_NE(result.err.find(" is up."), std::string::npos) << result.describe();
  EXPECT_NE(result.err.find("Testbed YAML written to " + output), std::string::npos) << result.describe();
  EXPECT_TRUE(result.leftovers.empty()) << result.describe();
  // The final file: every device, under the user's name as its alias.
  const Value testbed = tarvex::utils::yaml::load_file(output);
  ASSERT_EQ(testbed.at("devices").size(), profile.devices) << read_file(output);
  for (const auto& [actual, device] : testbed.at("devices").as_map()) {
    EXPECT_TRUE(device.get("alias").truthy()) << actual.str();
  }
  EXPECT_TRUE(run.left().empty()) << joined(run.left());
}

void bad_option(const BackendProfile& profile) {
  SuiteRun run(profile);
  // A misspelt option never builds something else: exit 2, naming it and
  // the option meant.
  std::vector<std::string> typo{"-orchestartor", profile.name, "-logical_testbed_file", run.dir.file("logical.yaml")};
  const RunResult misspelt = run_bringup(run.dir, typo);
  EXPECT_TRUE(misspelt.exited && misspelt.exit_code == 2) << misspelt.describe();
  EXPECT_NE(misspelt.err.find("-orchestartor: unknown option (did you mean -orchestrator?)"), std::string::npos)
      << misspelt.describe();
  // A refused value of the backend's own option: exit 2, naming it.
  const RunResult refused = run_bringup(run.dir, run.args(profile.bad_option_value));
  EXPECT_TRUE(refused.exited && refused.exit_code == 2) << refused.describe();
  EXPECT_NE(refused.err.find(profile.bad_option_says), std::string::npos) << refused.describe();
  for (const RunResult* result : {&misspelt, &refused}) {
    EXPECT_EQ(result->err.find("bringup: error: \n"), std::string::npos) << result->describe();
    EXPECT_TRUE(result->leftovers.empty()) << result->describe();
  }
  EXPECT_TRUE(run.left().empty()) << joined(run.left());
}

void bad_logical_testbed(const BackendProfile& profile) {
  MORVANE_SUITE_PRECONDITIONS(profile);
  SuiteRun run(profile);
  write_file(run.dir.path() / "logical.yaml", profile.bad_testbed);
  const std::string output = run.dir.file("testbed.yaml");
  const RunResult result = run_bringup(run.dir, run.args({"-tb_yaml_output_file_name", output}));
  EXPECT_TRUE(result.exited && result.exit_code == 1) << result.describe();
  EXPECT_NE(result.err.find(profile.bad_testbed_says), std::string::npos) << result.describe();
  EXPECT_EQ(result.err.find("bringup: error: \n"), std::string::npos) << result.describe();
  EXPECT_FALSE(std::filesystem::exists(output)) << "a failed run wrote its output file";
  EXPECT_TRUE(result.leftovers.empty()) << result.describe();
  EXPECT_TRUE(run.left().empty()) << joined(run.left());
}

const char* phase_name(SuitePhase phase) {
  switch (phase) {
    case SuitePhase::Launch: return "Launch";
    case SuitePhase::Readiness: return "Readiness";
    case SuitePhase::Up: return "Up";
    case SuitePhase::Teardown: return "Teardown";
  }
  return "?";
}

// On standard error once the run is in the phase.
const char* marker_of(SuitePhase phase) {
  switch (phase) {
    case SuitePhase::Launch: return "Launching topology...";
    case SuitePhase::Readiness: return "Topology has been launched.";
    case SuitePhase::Up: return " is up.";
    case SuitePhase::Teardown: return "Tearing down topology...";
  }
  return "";
}

void signal_in_phase(const BackendProfile& profile, SuitePhase phase, int signum, bool to_worker) {
  MORVANE_SUITE_PRECONDITIONS(profile);
  SuiteRun run(profile);
  if (profile.hold_testbed) {
    write_file(run.dir.path() / "logical.yaml", profile.hold_testbed(profile.logical_testbed(run.tag), phase));
  }
  const std::string output = run.dir.file("testbed.yaml");
  std::vector<std::string> extra = profile.hold(phase);
  extra.insert(extra.end(), {"-tb_yaml_output_file_name", output});
  // Held while up, except when the teardown is the phase: it then follows
  // the settling wait.
  if (phase != SuitePhase::Teardown) extra.push_back("-interactive");
  BringupRun tool(run.dir, run.args(extra), 2s);
  // The worker is the tool's first child: taken before anything else can
  // be (a process that ends may fork a tracer under the leak checker).
  std::optional<pid_t> worker;
  for (int i = 0; i < 1000 && !(worker = tool.worker_pid()); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(worker) << "no worker process\n" << tool.finish(0s).describe();
  ASSERT_TRUE(tool.wait_for_stderr(marker_of(phase), 60s)) << tool.finish(0s).describe();
  if (to_worker) {
    ::kill(*worker, signum);
  } else {
    tool.send_signal(signum);
  }
  const RunResult result = tool.finish(60s);
  ASSERT_TRUE(result.ended) << result.describe();
  const bool missed =
      phase == SuitePhase::Teardown && profile.teardown_may_be_missed && result.exited && result.exit_code == 0;
  if (missed) {
    // The teardown was over before the signal landed: a normal end.
  } else if (to_worker && signum == SIGKILL) {
    EXPECT_TRUE(result.exited && result.exit_code == 1) << result.describe();
    EXPECT_NE(result.err.find("was killed by signal 9 (SIGKILL)"), std::string::npos) << result.describe();
  } else if (to_worker && phase == SuitePhase::Up) {
    // The worker alone was told to end: it tears down, and its manager says
    // so.
    EXPECT_TRUE(result.exited && result.exit_code == 1) << result.describe();
    EXPECT_NE(result.err.find(std::string("ended on SIG") + ::sigabbrev_np(signum) +
                              " after tearing its topology down (exited with status 0)"),
              std::string::npos)
        << result.describe();
  } else if (phase == SuitePhase::Teardown || (!to_worker && phase == SuitePhase::Up)) {
    // A teardown runs to its end; a signal to the manager while the
    // topology is up asks for the teardown that follows anyway.
    EXPECT_TRUE(result.exited && result.exit_code == 0) << result.describe();
  } else {
    EXPECT_TRUE(result.exited && result.exit_code == 1) << result.describe();
    EXPECT_NE(result.err.find("TopologyTerminatedDueToSignal"), std::string::npos) << result.describe();
  }
  EXPECT_EQ(result.err.find("bringup: error: \n"), std::string::npos) << result.describe();
  EXPECT_TRUE(result.leftovers.empty()) << result.describe();
  // The output file is absent or whole.
  if (std::filesystem::exists(output)) {
    EXPECT_EQ(tarvex::utils::yaml::load_file(output).at("devices").size(), profile.devices) << read_file(output);
  }
  std::string cleaned;
  if (!run.left().empty()) {
    // Only a killed worker leaves anything; its manager names it, and
    // -cleanup removes it.
    EXPECT_TRUE(to_worker && signum == SIGKILL) << joined(run.left()) << "\n" << result.describe();
    EXPECT_NE(result.err.find("Remove them with: bringup -cleanup"), std::string::npos) << result.describe();
    const RunResult cleanup = run_bringup(run.dir, {"-cleanup"});
    EXPECT_EQ(cleanup.exit_code, 0) << cleanup.describe();
    EXPECT_NE(cleanup.err.find("Removed " + profile.name + ": "), std::string::npos) << cleanup.describe();
    cleaned = cleanup.describe();
  }
  EXPECT_TRUE(run.left().empty()) << joined(run.left()) << "\n" << result.describe() << cleaned;
}

}  // namespace

std::vector<SuiteCase> backend_suite_cases() {
  std::vector<SuiteCase> cases{{"LaunchAndTeardown", launch_and_teardown},
                               {"BadOption", bad_option},
                               {"BadLogicalTestbed", bad_logical_testbed}};
  for (const SuitePhase phase : {SuitePhase::Launch, SuitePhase::Readiness, SuitePhase::Up, SuitePhase::Teardown}) {
    for (const auto& [signum, to_worker] : {std::pair{SIGTERM, false}, std::pair{SIGKILL, true}}) {
      const std::string name =
          std::string(phase_name(phase)) + "_SIG" + ::sigabbrev_np(signum) + (to_worker ? "_Worker" : "_Manager");
      cases.push_back({name, [phase, signum = signum, to_worker = to_worker](const BackendProfile& profile) {
                         signal_in_phase(profile, phase, signum, to_worker);
                       }});
    }
  }
  // The worker alone interrupted while the topology is up (as a terminal's
  // Control-C to its process group would not do).
  cases.push_back({"Up_SIGINT_Worker",
                   [](const BackendProfile& profile) { signal_in_phase(profile, SuitePhase::Up, SIGINT, true); }});
  return cases;
}

TEST_P(BackendSuite, Passes) { GetParam().run(backend_profile()); }

}  // namespace tarvex::testing
