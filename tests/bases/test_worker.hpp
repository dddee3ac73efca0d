// A small orchestrator worker for tests: its coroutines succeed, fail,
// store errors, sleep (interruptibly) and record what they did, as the test
// sets them up.
#pragma once

#include <unistd.h>

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tarvex/morvane/bases.hpp"
#include "tarvex/morvane/schema.hpp"
#include "tarvex/registry.hpp"

namespace tarvex::testing {

// A worker whose protected steps the tests call one by one.  Its class is
// BringUpWorkerBase's.
class ExposedWorker : public morvane::bases::BringUpWorkerBase {
 public:
  using BringUpWorkerBase::_add_device_aliases;
  using BringUpWorkerBase::_add_interface_aliases;
  using BringUpWorkerBase::_derive_and_set_log_level;
  using BringUpWorkerBase::_get_actual_device_name;
  using BringUpWorkerBase::_get_logical_devices;
  using BringUpWorkerBase::_get_logical_physical_devices;
  using BringUpWorkerBase::_get_logical_virtual_devices;
  using BringUpWorkerBase::_interface_is_present;
  using BringUpWorkerBase::_is_logical_device;
  using BringUpWorkerBase::_is_physical_device;
  using BringUpWorkerBase::_is_virtual_device;
  using BringUpWorkerBase::_logical_device_keys_to_ignore;
  using BringUpWorkerBase::_logical_interface_keys_to_ignore;
  using BringUpWorkerBase::_logical_itf_name_assign_succeeded;
  using BringUpWorkerBase::_loop_stored_exception;
  using BringUpWorkerBase::_max_post_launch_wait_min;
  using BringUpWorkerBase::_merge_testbed_configs;
  using BringUpWorkerBase::_populate_enhanced_logical_testbed_config;
  using BringUpWorkerBase::_populate_intf_name_xref;
  using BringUpWorkerBase::_process_tb_config;
  using BringUpWorkerBase::_set_log_level;
  using BringUpWorkerBase::_store_exception;
  using BringUpWorkerBase::_testbed_name_alias_processing;
  using BringUpWorkerBase::_wait_for_devices_to_be_ready;
  using BringUpWorkerBase::_write_final_actual_tb_yaml_file;
};

struct TestWorkerScript {
  std::optional<std::string> launch_error;    // the launch coroutine raises ValueError(text)
  std::optional<std::string> launch_store;    // the launch coroutine stores ValueError(text) and returns
  std::optional<std::string> teardown_error;  // the teardown coroutine raises RuntimeError(text)
  std::chrono::milliseconds launch_sleep{0};
  std::chrono::milliseconds teardown_sleep{0};
  int ready_fd = -1;  // a byte is written here once the launch coroutine sleeps
};

class TestWorker : public ExposedWorker {
  TARVEX_OBJECT(TestWorker)

 public:
  static inline TestWorkerScript script;

  asio::awaitable<void> _launch_topology() override {
    calls.push_back("launch");
    if (script.ready_fd >= 0) {
      const char byte = 'L';
      [[maybe_unused]] auto n = ::write(script.ready_fd, &byte, 1);
    }
    if (script.launch_sleep.count() > 0) {
      asio::steady_timer timer(co_await asio::this_coro::executor, script.launch_sleep);
      co_await timer.async_wait(asio::use_awaitable);
    }
    if (script.launch_store) _store_exception(std::make_exception_ptr(ValueError(*script.launch_store)));
    if (script.launch_error) throw ValueError(*script.launch_error);
    calls.push_back("launched");
  }

  asio::awaitable<void> _tear_down_topology() override {
    calls.push_back("teardown");
    if (script.teardown_sleep.count() > 0) {
      asio::steady_timer timer(co_await asio::this_coro::executor, script.teardown_sleep);
      co_await timer.async_wait(asio::use_awaitable);
    }
    if (script.teardown_error) throw RuntimeError(*script.teardown_error);
    calls.push_back("torn down");
  }

  std::vector<std::string> calls;
};

inline const ClassInfo& TestWorker::class_info() {
  static ClassInfo info("tests.TestWorker", &morvane::bases::BringUpWorkerBase::class_info(), factory_of<TestWorker>());
  return info;
}

// The test backend builds routers and switches (so a "chassis-9000" is a
// physical device).
inline const bool test_worker_device_types =
    morvane::schema::declare_device_types(TestWorker::class_info(), {"router", "switch"});

// A worker that implements neither coroutine.
class BareWorker : public ExposedWorker {
  TARVEX_OBJECT(BareWorker)
};

inline const ClassInfo& BareWorker::class_info() {
  static ClassInfo info("tests.BareWorker", &morvane::bases::BringUpWorkerBase::class_info(), factory_of<BareWorker>());
  return info;
}

}  // namespace tarvex::testing
