// Test worker and common set-up for the manager tests.
//
// The worker is registered as "tests-orvanta"; its behaviour is chosen by
// keyword arguments (which the manager passes on): "marker_dir" (files
// "launched", "torn_down" are appended to there, one line per event, from
// the worker subprocess), "fail_launch" (text of a ValueError raised by the
// launch), "fail_init" (text of an error raised by the constructor),
// "hang_init" (the constructor never returns), "launch_sleep_ms",
// "read_sleep_ms" (reading testbed_config takes that long).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "orvanta/timing.hpp"
#include "orvanta/worker_link.hpp"
#include "orvanta/worker_server.hpp"
#include "support/command_line.hpp"
#include "support/process_state.hpp"
#include "support/temp_dir.hpp"
#include "tarvex/event_loop.hpp"
#include "tarvex/morvane/orvanta.hpp"
#include "tarvex/registry.hpp"
#include "tarvex/signals.hpp"

namespace tarvex::testing {

class OrvantaTestWorker : public morvane::bases::BringUpWorkerBase {
  TARVEX_OBJECT(OrvantaTestWorker)

 public:
  void init(const Args& args, const Kwargs& kwargs) override {
    BringUpWorkerBase::init(args, kwargs);
    marker_dir = kwarg(kwargs, "marker_dir").truthy() ? kwarg(kwargs, "marker_dir").str() : "";
    fail_launch = kwarg(kwargs, "fail_launch");
    launch_sleep_ms = kwarg(kwargs, "launch_sleep_ms", 0).as_int();
    read_sleep_ms = kwarg(kwargs, "read_sleep_ms", 0).as_int();
    if (kwarg(kwargs, "fail_init").truthy()) throw RuntimeError(kwarg(kwargs, "fail_init").str());
    if (kwarg(kwargs, "hang_init").truthy()) {
      for (;;) ::pause();
    }
  }

  asio::awaitable<void> _launch_topology() override {
    if (launch_sleep_ms > 0) {
      asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::milliseconds(launch_sleep_ms));
      co_await timer.async_wait(asio::use_awaitable);
    }
    if (fail_launch.truthy()) throw ValueError(fail_launch.str());
    testbed_config = Value::map({{"testbed", Value::map({{"name", *topology_name}})},
                                 {"devices", Value::map({{"act-R1", Value::map({{"type", "router"}})}})}});
    dev_name_xref = Value::map({{"act-R1", "R1"}});
    _process_tb_config();
    mark("launched");
    co_return;
  }

  asio::awaitable<void> _tear_down_topology() override {
    mark("torn_down");
    co_return;
  }

  void mark(const std::string& event) const {
    if (!marker_dir.empty()) std::ofstream(marker_dir + "/" + event, std::ios::app) << ::getpid() << "\n";
  }

  Value slow_testbed_config() const {
    std::this_thread::sleep_for(std::chrono::milliseconds(read_sleep_ms));
    return testbed_config;
  }

  std::string marker_dir;
  Value fail_launch;
  std::int64_t launch_sleep_ms = 0;
  std::int64_t read_sleep_ms = 0;
};

inline const ClassInfo& OrvantaTestWorker::class_info() {
  static ClassInfo& info = []() -> ClassInfo& {
    static ClassInfo c("tests.OrvantaTestWorker", &morvane::bases::BringUpWorkerBase::class_info(),
                       factory_of<OrvantaTestWorker>());
    c.property("testbed_config", &OrvantaTestWorker::slow_testbed_config);
    return c;
  }();
  return info;
}

inline const bool orvanta_test_worker_registered =
    worker_classes().add(OrvantaTestWorker::class_info(), {"tests-orvanta"});

// A class that is not a worker.
class NotAWorker : public morvane::bases::BringUpBase {
  TARVEX_OBJECT(NotAWorker)
};

inline const ClassInfo& NotAWorker::class_info() {
  static ClassInfo info("tests.NotAWorker", &morvane::bases::BringUpBase::class_info(), factory_of<NotAWorker>());
  return info;
}

inline const bool not_a_worker_registered = worker_classes().add(NotAWorker::class_info(), {"tests-not-a-worker"});

// A manager whose worker-process steps the tests call one by one.  Its
// class is BringUp's.
class TestableBringUp : public morvane::BringUp {
 public:
  using BringUp::_connect;
  using BringUp::_hostname;
  using BringUp::_serverport;
  using BringUp::_start_server;
  using BringUp::_terminate_server;
  // The worker subprocess, its proxy and the run's token.
  morvane::orvanta::detail::WorkerLink& link() const { return morvane::orvanta::detail::link_of(*this); }
};

class OrvantaTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }

  static void reset() {
    reset_bringup_process_state();
    morvane::orvanta::timing() = morvane::orvanta::Timing{};
    morvane::orvanta::timing().settling_time_sec = 0;
    morvane::orvanta::timing().port_check_interval_sec = 0.05;
    morvane::orvanta::logger().set_level(log::WARNING);
  }

  std::string write_file(const std::string& name, const std::string& text) {
    const std::string path = dir_.file(name);
    std::ofstream(path) << text;
    return path;
  }

  // A logical testbed with one logical router R1.
  std::string logical_testbed() {
    return write_file("logical.yaml", "devices:\n  R1: {type: router, logical: true}\n");
  }

  std::unique_ptr<TestableBringUp> manager(Kwargs kwargs) {
    if (!kwargs.contains("orchestrator")) kwargs["orchestrator"] = "tests-orvanta";
    return create<TestableBringUp>({}, kwargs);
  }

  // Lines of a marker file written by the worker subprocess.
  int marks(const std::string& event) const {
    std::ifstream in(dir_.file(event));
    int lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
  }

  TempDir dir_;
};

// The error raised by `action`, or nullptr.
template <class F>
std::exception_ptr raised(F&& action) {
  try {
    action();
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

}  // namespace tarvex::testing
