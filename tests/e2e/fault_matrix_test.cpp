// The fault matrix: the real tool on the sim backend, a signal sent to the
// manager or to its worker at every phase of a run (worker start,
// construction, launch, readiness, settling, hold, teardown), alone and
// with injected launch, readiness and teardown failures.  Each run must end
// with the status the phase and signal call for, name what failed first,
// leave no process 2 s after the manager ended, leave nothing behind (or,
// when the worker was killed, name what it left, which -cleanup removes),
// and leave the output file absent or complete.
//
// A representative slice runs by default (every phase with every signal,
// the target alternating, plus each injected failure alone).  The whole
// matrix:
//
//   MORVANE_FAULT_MATRIX=full build/tests/test_e2e --gtest_filter='FaultMatrix*'
#include <gtest/gtest.h>
#include <string.h>

#include <cstdlib>
#include <optional>

#include "bringup_runner.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::testing {
namespace {

using namespace std::chrono_literals;

enum class Phase { Start, Construction, Launch, Readiness, Settling, Hold, Teardown };
enum class Target { Manager, Worker };

constexpr Phase kPhases[] = {Phase::Start,    Phase::Construction, Phase::Launch,  Phase::Readiness,
                             Phase::Settling, Phase::Hold,         Phase::Teardown};
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL};

const char* phase_name(Phase phase) {
  switch (phase) {
    case Phase::Start: return "Start";
    case Phase::Construction: return "Construction";
    case Phase::Launch: return "Launch";
    case Phase::Readiness: return "Readiness";
    case Phase::Settling: return "Settling";
    case Phase::Hold: return "Hold";
    case Phase::Teardown: return "Teardown";
  }
  return "?";
}

struct FaultCase {
  Phase phase;
  int signum;  // 0: no signal
  Target target;
  std::string inject;  // "", "launch", "readiness" or "teardown" (-sim_fail)
};

std::string case_name(const FaultCase& c) {
  std::string name = phase_name(c.phase);
  if (c.signum)
    name += std::string("_SIG") + ::sigabbrev_np(c.signum) + (c.target == Target::Worker ? "_Worker" : "_Manager");
  if (!c.inject.empty()) name += "_Failing" + c.inject;
  return name;
}

// How GoogleTest and CTest name a case's parameter.
void PrintTo(const FaultCase& c, std::ostream* os) { *os << case_name(c); }

// How a case must end.
struct Expected {
  std::optional<int> exit_code;   // nullopt: the manager itself ends by the signal
  std::vector<std::string> says;  // texts its standard error must hold
  bool worker_killed = false;     // what the worker built may be left, and named
};

// The order of the phases and of the steps that can be made to fail.
int step_of(Phase phase) { return static_cast<int>(phase); }
int step_of_injected(const std::string& inject) {
  if (inject == "launch") return step_of(Phase::Launch);
  if (inject == "readiness") return step_of(Phase::Readiness);
  return step_of(Phase::Teardown);
}

Expected expected(const FaultCase& c) {
  Expected e;
  const bool early = c.phase == Phase::Start || c.phase == Phase::Construction;
  const bool launching = c.phase == Phase::Launch || c.phase == Phase::Readiness;
  const bool up = c.phase == Phase::Settling || c.phase == Phase::Hold;
  if (c.signum == 0) {
    e.exit_code = 1;
    e.says = {"simulated " + c.inject + " failure"};
    return e;
  }
  if (c.target == Target::Manager) {
    if (c.signum == SIGKILL) {
      e.exit_code = std::nullopt;
    } else if (early) {
      e.exit_code = 128 + c.signum;
    } else if (launching) {
      e.exit_code = 1;
      e.says = {"TopologyTerminatedDueToSignal"};
    } else {
      e.exit_code = 0;  // the signal ends the wait, the hold or nothing: the teardown runs to its end
    }
  } else {
    e.worker_killed = c.signum == SIGKILL;
    if (early) {
      e.exit_code = 1;
      e.says = {"The bringup worker server did not start.", "BringupWorkerDied"};
    } else if (launching) {
      e.exit_code = 1;
      e.says = {c.signum == SIGKILL ? "was killed by signal 9 (SIGKILL)" : "TopologyTerminatedDueToSignal"};
    } else if (up) {
      e.exit_code = 1;
      // A worker ended by a signal other than SIGKILL tears down first: it
      // exits with 1 when its teardown failed.
      const std::string how = c.signum == SIGKILL      ? "was killed by signal 9 (SIGKILL)"
                              : c.inject == "teardown" ? "exited with status 1"
                                                       : std::string("ended on SIG") + ::sigabbrev_np(c.signum) +
                                                             " after tearing its topology down (exited with status 0)";
      e.says = {"BringupWorkerDied", how};
    } else {
      e.exit_code = c.signum == SIGKILL ? 1 : 0;  // a teardown is not interrupted by a signal
      if (c.signum == SIGKILL) e.says = {"was killed by signal 9 (SIGKILL)"};
    }
  }
  // The teardown runs whenever the run ends normally: an injected failure
  // of it then fails the run.
  if (c.inject == "teardown" && e.exit_code == 0) {
    e.exit_code = 1;
    e.says.push_back("simulated teardown failure");
  }
  return e;
}

// The arguments that make the run stop long enough in the phase, and the
// text that shows it is there.
struct PhaseSetUp {
  std::vector<std::string> args;
  std::string marker;  // on standard error, or on standard output for the hold
  bool marker_on_stdout = false;
};

PhaseSetUp set_up(Phase phase) {
  switch (phase) {
    // The signal goes out as soon as the worker exists.
    case Phase::Start: return {{"-sim_construction_delay", "30"}, ""};
    case Phase::Construction: return {{"-sim_construction_delay", "30"}, "Simulated construction takes"};
    case Phase::Launch: return {{"-sim_launch_delay", "30"}, "Simulated launch takes"};
    case Phase::Readiness: return {{"-sim_ready_delay", "30"}, "Topology has been launched."};
    case Phase::Settling: return {{}, " is up."};
    case Phase::Hold: return {{"-interactive"}, "*** Press Control-C to take down the testbed.", true};
    case Phase::Teardown: return {{"-sim_teardown_delay", "1"}, "Simulated teardown takes"};
  }
  return {};
}

class FaultMatrix : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultMatrix, EndsAsItMustAndLeavesNothing) {
  const FaultCase& c = GetParam();
  const Expected want = expected(c);
  TempDir dir;
  const std::string output = dir.file("actual.yaml");
  // A run with an injected failure alone goes straight through.
  PhaseSetUp phase = c.signum ? set_up(c.phase) : PhaseSetUp{};
  std::vector<std::string> args{
      "-logical_testbed_file", lab_file("logical.yaml"), "-tb_yaml_output_file_name", output, "-log_dir",
      dir.file("logs")};
  args.insert(args.end(), phase.args.begin(), phase.args.end());
  if (!c.inject.empty()) args.insert(args.end(), {"-sim_fail", c.inject});

  BringupRun run(dir, args, 2s);
  if (c.signum) {
    std::optional<pid_t> worker;
    for (int i = 0; i < 1000 && !(worker = run.worker_pid()); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(worker) << "no worker process\n" << run.finish(0s).describe();
    if (!phase.marker.empty()) {
      const bool there =
          phase.marker_on_stdout ? run.wait_for_stdout(phase.marker, 60s) : run.wait_for_stderr(phase.marker, 60s);
      ASSERT_TRUE(there) << run.finish(0s).describe();
    }
    if (c.target == Target::Manager) {
      run.send_signal(c.signum);
    } else {
      ::kill(*worker, c.signum);
    }
  }
  const RunResult result = run.finish(60s);

  if (want.exit_code) {
    ASSERT_TRUE(result.ended && result.exited) << result.describe();
    EXPECT_EQ(result.exit_code, *want.exit_code) << result.describe();
  } else {
    ASSERT_TRUE(result.ended && !result.exited) << result.describe();
    EXPECT_EQ(result.exit_code, c.signum) << result.describe();
  }
  for (const std::string& text : want.says)
    EXPECT_NE(result.err.find(text), std::string::npos) << text << "\n" << result.describe();
  // The first line of an error is never empty.
  EXPECT_EQ(result.err.find("bringup: error: \n"), std::string::npos) << result.describe();

  // No process of the run 2 s after the manager ended.
  EXPECT_TRUE(result.leftovers.empty()) << result.describe();
  // Nothing built is left; a killed worker's leftovers are named, and
  // -cleanup removes them.
  if (want.worker_killed && !sim_topologies_left(dir).empty()) {
    EXPECT_NE(result.err.find("Remove them with: bringup -cleanup"), std::string::npos) << result.describe();
    const RunResult cleanup = run_bringup(dir, {"-cleanup"});
    EXPECT_EQ(cleanup.exit_code, 0) << cleanup.describe();
    EXPECT_NE(cleanup.err.find("Removed sim: the simulated devices of topology"), std::string::npos)
        << cleanup.describe();
  }
  EXPECT_TRUE(sim_topologies_left(dir).empty()) << result.describe();
  // The output file is absent or complete.
  if (std::filesystem::exists(output)) {
    const Value testbed = tarvex::utils::yaml::load_file(output);
    EXPECT_EQ(testbed.at("devices").size(), 3u) << read_file(output);
  }
}

std::vector<FaultCase> cases() {
  std::vector<FaultCase> all;
  const bool full = std::getenv("MORVANE_FAULT_MATRIX") && std::string(std::getenv("MORVANE_FAULT_MATRIX")) == "full";
  int turn = 0;
  for (const Phase phase : kPhases) {
    for (const int signum : kSignals) {
      if (full) {
        all.push_back({phase, signum, Target::Manager, ""});
        all.push_back({phase, signum, Target::Worker, ""});
      } else {
        all.push_back({phase, signum, (turn++ % 2) ? Target::Worker : Target::Manager, ""});
      }
    }
  }
  for (const char* inject : {"launch", "readiness", "teardown"}) {
    all.push_back({Phase::Start, 0, Target::Manager, inject});
    if (!full) continue;
    // Each failure with each signal at every phase that comes before the
    // failing step (or, for the teardown, at every phase).
    for (const Phase phase : kPhases) {
      if (step_of(phase) > step_of_injected(inject) || phase == Phase::Start) continue;
      for (const int signum : kSignals) {
        for (const Target target : {Target::Manager, Target::Worker}) all.push_back({phase, signum, target, inject});
      }
    }
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(BringupTool, FaultMatrix, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return case_name(info.param); });

}  // namespace
}  // namespace tarvex::testing
