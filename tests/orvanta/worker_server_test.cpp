#include <gtest/gtest.h>

#include "morvane/bringup_globals.hpp"
#include "orvanta_fixture.hpp"
#include "support/child.hpp"

namespace tarvex::testing {
namespace {

using morvane::orvanta::_dispatch;
using morvane::orvanta::WorkerServer;

class Dispatch : public OrvantaTest {
 protected:
  void SetUp() override {
    OrvantaTest::SetUp();
    worker.testbed_config = Value::map({{"devices", Value::map({{"R1", Value::map({})}})}});
    worker.interactive = true;
    morvane::orvanta::logger().set_level(log::DEBUG);
  }
  std::string refusal(const std::string& method) {
    try {
      _dispatch(worker, method, {});
    } catch (const Exception& e) {
      return e.what();
    }
    return "answered";
  }
  OrvantaTestWorker worker;  // default-constructed: only its members are read
};

TEST_F(Dispatch, AttributesAreReadAndOperationsCalled) {
  log::LogCapture capture;
  EXPECT_EQ(_dispatch(worker, "testbed_config", {Value("ignored")}), worker.testbed_config);
  EXPECT_TRUE(
      capture.contains(log::DEBUG, "Retrieved attribute testbed_config with value :\n{'devices': {'R1': {}}}."));
  EXPECT_EQ(_dispatch(worker, "set_interactive", {Value(false)}), Value());
  EXPECT_FALSE(worker.interactive);
  EXPECT_TRUE(capture.contains(log::DEBUG, "Calling function set_interactive with parameters (False,) ..."));
}

TEST_F(Dispatch, PrivateDottedUnknownAndNullNamesAreNotSupported) {
  EXPECT_EQ(refusal("_dispatch"), "method \"_dispatch\" is not supported");
  EXPECT_EQ(refusal("_loop_stored_exception"), "method \"_loop_stored_exception\" is not supported");
  EXPECT_EQ(refusal("testbed_config.devices"), "method \"testbed_config.devices\" is not supported");
  EXPECT_EQ(refusal("no_such_member"), "method \"no_such_member\" is not supported");
  worker.output_clean_config = Value();
  EXPECT_EQ(refusal("output_clean_config"), "method \"output_clean_config\" is not supported");
  worker.output_clean_config = Map{};
  EXPECT_EQ(_dispatch(worker, "output_clean_config", {}), Value(Map{}));
}

TEST_F(Dispatch, ShutdownRequestsReachOnlyTheServerOfThisProcess) {
  morvane::orvanta::request_bringup_worker_server_shutdown();  // no server here: nothing happens
  WorkerServer server("127.0.0.1", "token");
  morvane::orvanta::bringup_server_instance.push_back(&server);
  log::LogCapture capture;
  morvane::orvanta::request_bringup_worker_server_shutdown();
  morvane::orvanta::request_bringup_worker_server_shutdown();
  morvane::orvanta::bringup_server_instance.clear();
  EXPECT_TRUE(server.shutdown_request);
  EXPECT_EQ(capture.count("Shutting down bringup worker server for process ..."), 1u);
}

// The request loop in a child process: an interrupt while it waits tears
// down every topology of the process once, and the loop returns normally.
TEST_F(Dispatch, AnInterruptInTheRequestLoopTearsDownEveryTopologyOnce) {
  const std::string marker_dir = dir_.path().string();
  const ChildResult result = run_in_child(
      [&](int ready_fd) -> std::string {
        auto worker = create<OrvantaTestWorker>({}, Kwargs{{"marker_dir", marker_dir}});
        WorkerServer server("127.0.0.1", "token");
        server.register_instance(*worker);
        signals::capture({SIGINT});
        const char byte = 'R';
        [[maybe_unused]] auto n = ::write(ready_fd, &byte, 1);
        try {
          server.serve_forever(0.05);
        } catch (...) {
          return "raised";
        }
        return server.is_shut_down && !server.shutdown_request ? "returned" : "bad state";
      },
      [](pid_t child, int ready_fd) {
        wait_ready(ready_fd);
        ::kill(child, SIGINT);
      });
  EXPECT_EQ(result.output, "returned");
  EXPECT_EQ(marks("torn_down"), 1);
}

}  // namespace
}  // namespace tarvex::testing
