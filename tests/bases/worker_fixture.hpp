// Common set-up of worker tests: process-wide state reset before and after
// each test, a temporary directory for testbed files, and a count of the
// server shutdown requests the worker makes.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include "support/command_line.hpp"
#include "support/process_state.hpp"
#include "support/temp_dir.hpp"
#include "tarvex/event_loop.hpp"
#include "tarvex/morvane/bases.hpp"
#include "tarvex/morvane/server_shutdown.hpp"
#include "tarvex/signals.hpp"
#include "test_worker.hpp"
#include "testing/hooks.hpp"

namespace tarvex::testing {

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }

  static void reset() {
    reset_bringup_process_state();
    TestWorker::script = {};
    shutdown_requests() = 0;
    testing::set_server_shutdown_hook([] { ++shutdown_requests(); });
  }

  static int& shutdown_requests() {
    static int count = 0;
    return count;
  }

  std::string write_file(const std::string& name, const std::string& text) {
    const std::string path = dir_.file(name);
    std::ofstream(path) << text;
    return path;
  }

  // A worker of class T with the given keyword arguments.
  template <class T = TestWorker>
  std::unique_ptr<T> make(Kwargs kwargs = {}) {
    return create<T>({}, kwargs);
  }

  TempDir dir_;
};

// Logical testbed: two logical routers (virtual), a logical device of a
// type no backend builds (physical), a static switch; names out of order.
inline constexpr const char* kLogicalTestbed = R"(
testbed:
  name: lab
devices:
  R2: {type: router, logical: true}
  R1: {type: router, logical: true}
  P1: {type: chassis-9000, logical: true}
  S1: {type: switch}
topology:
  R1:
    interfaces:
      Gi1: {link: L1, type: ethernet}
  R2:
    interfaces:
      Gi1: {link: L1, type: ethernet}
)";

}  // namespace tarvex::testing
