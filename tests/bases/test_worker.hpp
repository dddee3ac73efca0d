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

struct TestWorkerScript {
  std::optional<std::string> launch_error;    // the launch coroutine raises ValueError(text)
  std::optional<std::string> launch_store;    // the launch coroutine stores ValueError(text) and returns
  std::optional<std::string> teardown_error;  // the teardown coroutine raises RuntimeError(text)
  std::chrono::milliseconds launch_sleep{0};
  std::chrono::milliseconds teardown_sleep{0};
  int ready_fd = -1;  // a byte is written here once the launch coroutine sleeps
};

class TestWorker : public morvane::bases::BringUpWorkerBase {
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
class BareWorker : public morvane::bases::BringUpWorkerBase {
  TARVEX_OBJECT(BareWorker)
};

inline const ClassInfo& BareWorker::class_info() {
  static ClassInfo info("tests.BareWorker", &morvane::bases::BringUpWorkerBase::class_info(), factory_of<BareWorker>());
  return info;
}

}  // namespace tarvex::testing
