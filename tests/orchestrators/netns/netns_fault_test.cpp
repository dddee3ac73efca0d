// The fault matrix on real namespaces (root): a signal to the manager or to
// its worker while the example lab is launching, being waited for, up, or
// being torn down.  Each run must end as it must, leave no process 2 s after
// the manager ended, and leave no namespace, except that a killed worker's
// namespaces are named and removed by `bringup -cleanup`.
//
// A slice runs by default (each phase with SIGTERM to the manager and
// SIGKILL to the worker); every signal to both:
//
//   MORVANE_FAULT_MATRIX=full build/tests/test_netns --gtest_filter='*NetnsFaults*'
#include <gtest/gtest.h>
#include <string.h>

#include <csignal>
#include <cstdlib>
#include <optional>

#include "e2e/bringup_runner.hpp"
#include "netns_support.hpp"

namespace tarvex::testing {
namespace {

using namespace std::chrono_literals;

struct NetnsFault {
  const char* phase;
  const char* marker;  // on standard error: the run is in the phase
  int signum;
  bool to_worker;
};

void PrintTo(const NetnsFault& f, std::ostream* os) {
  *os << f.phase << "_SIG" << ::sigabbrev_np(f.signum) << (f.to_worker ? "_Worker" : "_Manager");
}

class NetnsFaults : public ::testing::TestWithParam<NetnsFault> {
 protected:
  PrivateRunDir run_dir_;
};

TEST_P(NetnsFaults, EndAsTheyMustAndLeaveNoNamespace) {
  MORVANE_REQUIRE_ROOT();
  const NetnsFault& f = GetParam();
  TempDir dir;
  const std::string tag = unique_tag("fm");
  std::string lab = read_file(std::string(MORVANE_SOURCE_DIR) + "/examples/netns-lab/logical.yaml");
  lab.replace(lab.find("name: netns-lab"), 15, "name: " + tag);
  write_file(dir.path() / "logical.yaml", lab);
  // Held while up, except when the teardown is the phase: it then follows
  // the settling wait.
  std::vector<std::string> args{"-orchestrator",          "netns",    "-logical_testbed_file",
                                dir.file("logical.yaml"), "-log_dir", dir.file("logs")};
  if (std::string(f.phase) != "Teardown") args.push_back("-interactive");
  BringupRun run(dir, args, 2s);
  // The worker is the tool's first child: it is taken before anything else
  // can be (under the leak checker, a process that ends forks a tracer).
  std::optional<pid_t> worker;
  for (int i = 0; i < 1000 && !(worker = run.worker_pid()); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(worker) << "no worker process\n" << run.finish(0s).describe();
  ASSERT_TRUE(run.wait_for_stderr(f.marker, 60s)) << run.finish(0s).describe();
  const std::string phase = f.phase;
  // A teardown of namespaces takes milliseconds: the worker or the manager
  // may have ended before the signal reaches it, and the run then ends well.
  const bool may_miss = phase == "Teardown";
  if (f.to_worker) {
    ::kill(*worker, f.signum);
  } else {
    run.send_signal(f.signum);
  }
  const RunResult result = run.finish(60s);
  ASSERT_TRUE(result.ended) << result.describe();
  if (may_miss && result.exited && result.exit_code == 0) {
    // Missed: nothing else to check about how it ended.
  } else if (f.to_worker && f.signum == SIGKILL) {
    EXPECT_TRUE(result.exited && result.exit_code == 1) << result.describe();
    EXPECT_NE(result.err.find("was killed by signal 9 (SIGKILL)"), std::string::npos) << result.describe();
  } else if (!f.to_worker && f.signum == SIGKILL) {
    EXPECT_FALSE(result.exited) << result.describe();
  } else if (phase == "Teardown" || (!f.to_worker && phase == "Up")) {
    // A teardown runs to its end; a signal to the manager while the
    // topology is up asks for the teardown that follows anyway.
    EXPECT_TRUE(result.exited && result.exit_code == 0) << result.describe();
  } else {
    EXPECT_TRUE(result.exited && result.exit_code != 0) << result.describe();
  }
  EXPECT_EQ(result.err.find("bringup: error: \n"), std::string::npos) << result.describe();
  EXPECT_TRUE(result.leftovers.empty()) << result.describe();

  if (!namespaces_named(tag).empty()) {
    // Only a killed worker leaves its namespaces; its manager names them.
    EXPECT_TRUE(f.to_worker && f.signum == SIGKILL) << result.describe();
    EXPECT_NE(result.err.find("Remove them with: bringup -cleanup"), std::string::npos) << result.describe();
    const RunResult cleanup = run_bringup(dir, {"-cleanup"});
    EXPECT_EQ(cleanup.exit_code, 0) << cleanup.describe();
  }
  EXPECT_TRUE(namespaces_named(tag).empty());
}

std::vector<NetnsFault> faults() {
  const struct {
    const char* phase;
    const char* marker;
  } phases[] = {{"Launch", "Launching topology..."},
                {"Readiness", "Topology has been launched."},
                {"Up", " is up."},
                {"Teardown", "Tearing down topology..."}};
  const bool full = std::getenv("MORVANE_FAULT_MATRIX") && std::string(std::getenv("MORVANE_FAULT_MATRIX")) == "full";
  std::vector<NetnsFault> all;
  for (const auto& p : phases) {
    if (!full) {
      all.push_back({p.phase, p.marker, SIGTERM, false});
      all.push_back({p.phase, p.marker, SIGKILL, true});
      continue;
    }
    for (const int signum : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL}) {
      for (const bool to_worker : {false, true}) all.push_back({p.phase, p.marker, signum, to_worker});
    }
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(BringupTool, NetnsFaults, ::testing::ValuesIn(faults()),
                         [](const ::testing::TestParamInfo<NetnsFault>& info) {
                           std::ostringstream name;
                           PrintTo(info.param, &name);
                           return name.str();
                         });

}  // namespace
}  // namespace tarvex::testing
