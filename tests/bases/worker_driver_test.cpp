#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "support/child.hpp"
#include "tarvex/morvane/bringup_signals.hpp"
#include "tarvex/morvane/exceptions.hpp"
#include "worker_fixture.hpp"

namespace tarvex::testing {
namespace {

using namespace std::chrono_literals;
using morvane::bringup_signals::SignalError;
using morvane::exceptions::TopologyTerminatedDueToSignal;

class WorkerDriver : public WorkerTest {
 protected:
  // The error raised by `action`, or nullptr.
  template <class F>
  static std::exception_ptr raised(F&& action) {
    try {
      action();
    } catch (...) {
      return std::current_exception();
    }
    return nullptr;
  }

  static std::vector<std::exception_ptr> chain(std::exception_ptr error) {
    std::vector<std::exception_ptr> out;
    for (; error; error = as_error(error)->cause()) out.push_back(error);
    return out;
  }
};

TEST_F(WorkerDriver, IdleLaunchedTornDownClosed) {
  auto worker = make();
  log::LogCapture capture;
  morvane::bases::logger().set_level(log::INFO);
  EXPECT_FALSE(worker->launch_topology_task);
  worker->launch_topology();
  EXPECT_TRUE(worker->launch_topology_task->done());
  EXPECT_FALSE(worker->shutting_down);
  EXPECT_FALSE(worker->event_loop->is_closed());
  worker->tear_down_topology();
  EXPECT_TRUE(worker->shutting_down);
  EXPECT_TRUE(worker->event_loop->is_closed());
  EXPECT_FALSE(event_loop::policy_installed());
  EXPECT_EQ(worker->calls, (std::vector<std::string>{"launch", "launched", "teardown", "torn down"}));
  EXPECT_EQ(capture.texts(log::INFO),
            (std::vector<std::string>{"Launching topology...", "Topology has been launched.",
                                      "Tearing down topology...", "Topology has been torn down."}));
  EXPECT_EQ(shutdown_requests(), 1);

  // Torn down at most once: a second request only asks for the shutdown.
  capture.clear();
  worker->tear_down_topology();
  EXPECT_TRUE(capture.records().empty());
  EXPECT_EQ(worker->calls.size(), 4u);
  EXPECT_EQ(shutdown_requests(), 2);
  // A closed loop cannot launch again, and the next worker gets a fresh one.
  EXPECT_NE(make()->event_loop, worker->event_loop);
}

TEST_F(WorkerDriver, AWorkerUsedAsAContextLaunchesAndTearsDown) {
  auto worker = make(Kwargs{{"logical_testbed_file", write_file("logical.yaml", kLogicalTestbed)}});
  with_context(*worker, [](TestWorker& w) { EXPECT_EQ(w.calls, (std::vector<std::string>{"launch", "launched"})); });
  EXPECT_EQ(worker->calls.back(), "torn down");
  EXPECT_TRUE(worker->called_as_context_mgr);
}

TEST_F(WorkerDriver, SkipTeardownOnlyCountsUnderJobrix) {
  log::LogCapture capture;
  auto plain = make(Kwargs{{"skip_teardown", true}});
  plain->launch_topology();
  plain->tear_down_topology();
  EXPECT_EQ(plain->calls.back(), "torn down");
  EXPECT_EQ(capture.texts(log::WARNING).size(), 0u);

  auto skipping = make(Kwargs{{"skip_teardown", true}, {"jobrix", true}, {"topology_name", "t"}});
  skipping->launch_topology();
  skipping->tear_down_topology();
  EXPECT_EQ(skipping->calls.back(), "launched");
  EXPECT_FALSE(skipping->event_loop->is_closed());
  EXPECT_TRUE(capture.contains(log::WARNING,
                               "Topology is not being torn down.  It is now the user's responsibility to tear it "
                               "down manually."));
  EXPECT_EQ(shutdown_requests(), 2);
}

TEST_F(WorkerDriver, HelpModeLaunchesNothingButStillReleasesTheServer) {
  auto worker = make();
  worker->help = true;
  log::LogCapture capture;
  worker->launch_topology();
  worker->tear_down_topology();
  EXPECT_TRUE(worker->calls.empty());
  EXPECT_TRUE(capture.records().empty());
  EXPECT_EQ(shutdown_requests(), 1);
}

TEST_F(WorkerDriver, AFailedLaunchIsTornDownAndRaisedWithItsChain) {
  TestWorker::script.launch_error = "backend refused";
  auto worker = make();
  worker->called_as_context_mgr = true;
  log::LogCapture capture;
  const std::exception_ptr error = raised([&] { worker->launch_topology(); });
  ASSERT_TRUE(is_instance<ValueError>(error));
  EXPECT_EQ(worker->calls, (std::vector<std::string>{"launch", "teardown", "torn down"}));
  EXPECT_TRUE(capture.contains(log::ERROR, "launch_topology failed due to an exception : backend refused"));
  const std::string stored =
      "The following exception was stored : ValueError('backend refused')\nValueError: backend refused";
  EXPECT_TRUE(capture.contains(log::ERROR, stored));
  // The user's error says what failed, and its cause is the original error.
  EXPECT_NE(exception_str(error).find("ValueError: backend refused"), std::string::npos);
  EXPECT_EQ(exception_str(as_error(error)->cause()), "backend refused");
  EXPECT_EQ(shutdown_requests(), 2);  // teardown, then the raise
  EXPECT_EQ(worker->_loop_stored_exception, nullptr);
}

TEST_F(WorkerDriver, TeardownErrorsChainOntoTheLaunchError) {
  TestWorker::script.launch_error = "launch broke";
  TestWorker::script.teardown_error = "teardown broke";
  auto worker = make();
  const std::exception_ptr error = raised([&] { worker->launch_topology(); });
  ASSERT_TRUE(is_instance<RuntimeError>(error));
  const auto links = chain(error);
  ASSERT_EQ(links.size(), 3u);  // user error -> teardown error -> launch error
  EXPECT_EQ(exception_str(links[1]), "teardown broke");
  EXPECT_EQ(exception_str(links[2]), "launch broke");
  const std::string text = exception_str(error);
  EXPECT_LT(text.find("launch broke"), text.find("teardown broke")) << "the first failure comes first";
}

TEST_F(WorkerDriver, AStoredErrorSkipsTheReadinessWaitAndOutput) {
  TestWorker::script.launch_store = "quietly broken";
  auto worker = make();
  worker->tb_yaml_output_file_name = dir_.file("out.yaml");
  worker->testbed_config = Value::map({{"devices", Value::map({{"R1", Value::map({})}})}});
  log::LogCapture capture;
  const std::exception_ptr error = raised([&] { worker->launch_topology(); });
  EXPECT_TRUE(is_instance<ValueError>(error));
  EXPECT_EQ(capture.count("Topology has been launched."), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("out.yaml")));
  EXPECT_EQ(worker->calls, (std::vector<std::string>{"launch", "launched", "teardown", "torn down"}));
}

TEST_F(WorkerDriver, AnEmptyLaunchErrorTextIsLoggedOnlyUnderJobrixOrAContext) {
  TestWorker::script.launch_error = "";
  log::LogCapture capture;
  auto jobrix = make(Kwargs{{"jobrix", true}, {"topology_name", "t"}});
  EXPECT_TRUE(raised([&] { jobrix->launch_topology(); }));
  EXPECT_TRUE(capture.contains(log::ERROR, "launch_topology failed due to an exception."));

  capture.clear();
  auto plain = make();
  EXPECT_TRUE(raised([&] { plain->launch_topology(); }));
  EXPECT_EQ(capture.count("launch_topology failed due to an exception."), 0u);
  EXPECT_TRUE(capture.contains(log::ERROR, "The following exception was stored : ValueError()\nValueError"));
}

TEST_F(WorkerDriver, AWorkerWithoutCoroutinesChainsTwoNotImplementedErrors) {
  auto worker = make<BareWorker>();
  const std::exception_ptr error = raised([&] { worker->launch_topology(); });
  ASSERT_TRUE(is_instance<NotImplementedError>(error));
  const auto links = chain(error);
  ASSERT_EQ(links.size(), 3u);
  EXPECT_TRUE(is_instance<NotImplementedError>(links[1]));  // the teardown's
  EXPECT_TRUE(is_instance<NotImplementedError>(links[2]));  // the launch's
  EXPECT_NE(links[1], links[2]);
}

TEST_F(WorkerDriver, TeardownCanLeaveItsErrorStored) {
  TestWorker::script.teardown_error = "stuck";
  auto worker = make();
  worker->launch_topology();
  EXPECT_FALSE(raised([&] { worker->tear_down_topology(false); }));
  EXPECT_TRUE(is_instance<RuntimeError>(worker->_loop_stored_exception));
  EXPECT_EQ(shutdown_requests(), 1);
}

TEST_F(WorkerDriver, SetInteractiveLogsTheNewValue) {
  auto worker = make();
  morvane::bases::logger().set_level(log::DEBUG);
  log::LogCapture capture;
  worker->set_interactive(true);
  EXPECT_TRUE(worker->interactive);
  EXPECT_TRUE(capture.contains(log::DEBUG, "Setting interactive to True."));
}

// A real signal sent to the process while the launch coroutine sleeps; in a
// child process, so the test runner keeps its own signal dispositions.
std::string launch_interrupted_by(int signum, bool interactive) {
  const ChildResult result = run_in_child(
      [&](int ready_fd) -> std::string {
        TestWorker::script.launch_sleep = 30s;
        TestWorker::script.ready_fd = ready_fd;
        morvane::bases::BringUpBase::logical_devices = Value::list({"R1"});
        auto worker = create<TestWorker>({}, Kwargs{{"interactive", interactive}});
        log::LogCapture capture;
        const auto started = std::chrono::steady_clock::now();
        try {
          worker->launch_topology();
          return "no error";
        } catch (const TopologyTerminatedDueToSignal& e) {
          const auto cause = e.cause();
          std::string out = "TopologyTerminatedDueToSignal";
          try {
            std::rethrow_exception(as_error(cause)->cause());
          } catch (const SignalError& s) {
            out += " signum=" + std::to_string(s.signum());
          } catch (...) {
            out += " (no signal error in the chain)";
          }
          out += std::chrono::steady_clock::now() - started < 5s ? " prompt" : " slow";
          out += " calls=" + std::to_string(worker->calls.size()) + ":" + worker->calls.back();
          out += " stored-log=" + std::to_string(capture.count(
                                      "The following exception was stored : SignalError('signal SIG" +
                                      std::string(signum == SIGINT ? "INT" : "TERM") + " (" + std::to_string(signum) +
                                      ")')\nSignalError: signal SIG" + std::string(signum == SIGINT ? "INT" : "TERM") +
                                      " (" + std::to_string(signum) + ")"));
          return out;
        } catch (...) {
          return "other error: " + format_exception(std::current_exception());
        }
      },
      [&](pid_t child, int ready_fd) {
        wait_ready(ready_fd);
        ::kill(child, signum);
      });
  EXPECT_EQ(result.status, 0);
  return result.output;
}

TEST_F(WorkerDriver, SigtermDuringLaunchEndsItAsASignalError) {
  EXPECT_EQ(launch_interrupted_by(SIGTERM, false),
            "TopologyTerminatedDueToSignal signum=15 prompt calls=3:torn down stored-log=1");
}

TEST_F(WorkerDriver, SigintDuringLaunchEndsItAsASignalError) {
  EXPECT_EQ(launch_interrupted_by(SIGINT, false),
            "TopologyTerminatedDueToSignal signum=2 prompt calls=3:torn down stored-log=1");
}

TEST_F(WorkerDriver, InteractiveSigintIsStoredWithoutTheLog) {
  EXPECT_EQ(launch_interrupted_by(SIGINT, true),
            "TopologyTerminatedDueToSignal signum=2 prompt calls=3:torn down stored-log=0");
}

TEST_F(WorkerDriver, ASignalDuringTeardownDoesNotStartASecondOne) {
  const ChildResult result = run_in_child(
      [](int ready_fd) -> std::string {
        TestWorker::script.teardown_sleep = 500ms;
        morvane::bases::BringUpBase::logical_devices = Value::list({"R1"});
        auto worker = create<TestWorker>({}, {});
        worker->launch_topology();
        const char byte = 'T';
        [[maybe_unused]] auto n = ::write(ready_fd, &byte, 1);
        try {
          worker->tear_down_topology();
        } catch (...) {
          return "error: " + format_exception(std::current_exception());
        }
        std::string out;
        for (const auto& call : worker->calls) out += call + ",";
        return out;
      },
      [](pid_t child, int ready_fd) {
        wait_ready(ready_fd);
        std::this_thread::sleep_for(100ms);
        ::kill(child, SIGTERM);
      });
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "launch,launched,teardown,torn down,");
}

}  // namespace
}  // namespace tarvex::testing
