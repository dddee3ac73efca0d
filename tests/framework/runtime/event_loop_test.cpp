#include "tarvex/event_loop.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>

#include "tarvex/exceptions.hpp"
#include "tarvex/process.hpp"
#include "tarvex/signals.hpp"

namespace tarvex::event_loop {
namespace {

using namespace std::chrono_literals;

asio::awaitable<void> sleep_for(std::chrono::milliseconds d) {
  asio::steady_timer timer(co_await asio::this_coro::executor, d);
  co_await timer.async_wait(asio::use_awaitable);
}

asio::awaitable<void> fail_after(std::chrono::milliseconds d) {
  co_await sleep_for(d);
  throw KeyError("'late'");
}

TEST(EventLoop, RunsACoroutineToCompletionAndRethrowsItsError) {
  EventLoop loop;
  auto ok = loop.create_task(sleep_for(5ms), "ok");
  loop.run_until_complete(ok);
  EXPECT_TRUE(ok->done());
  auto bad = loop.create_task(fail_after(1ms), "bad");
  EXPECT_THROW(loop.run_until_complete(bad), KeyError);
}

TEST(EventLoop, HolderNeverHandsOutAClosedLoop) {
  discard_policy();
  EXPECT_FALSE(policy_installed());
  auto first = get_event_loop();
  EXPECT_TRUE(policy_installed());
  EXPECT_EQ(get_event_loop(), first);
  first->close();
  auto second = get_event_loop();
  EXPECT_NE(second, first);
  EXPECT_FALSE(second->is_closed());
  discard_policy();
  EXPECT_NE(get_event_loop(), second);
  EXPECT_THROW(first->create_task(sleep_for(1ms)), RuntimeError);
}

// In a child process (so the test runner's signal dispositions stay as
// they are): a signal arriving while a coroutine sleeps cancels it promptly
// and surfaces as the policy's error.
TEST(EventLoop, SignalCancelsTheRunningCoroutine) {
  auto child = process::ChildProcess::fork([] {
    signals::capture({SIGTERM});
    signals::set_policy([](int signum) { throw ValueError("signal " + std::to_string(signum)); });
    EventLoop loop;
    auto task = loop.create_task(sleep_for(10s), "long");
    const auto started = std::chrono::steady_clock::now();
    ::kill(::getpid(), SIGTERM);
    try {
      loop.run_until_complete(task);
    } catch (const ValueError& e) {
      const bool prompt = std::chrono::steady_clock::now() - started < 2s;
      return std::string(e.what()) == "signal 15" && task->cancelled() && prompt ? 0 : 2;
    }
    return 3;
  });
  EXPECT_EQ(child.wait(), 0);
}

TEST(EventLoop, SignalIgnoredByThePolicyLetsTheCoroutineFinish) {
  auto child = process::ChildProcess::fork([] {
    signals::capture({SIGTERM});
    int seen = 0;
    signals::set_policy([&](int) { ++seen; });
    EventLoop loop;
    auto task = loop.create_task(sleep_for(100ms), "teardown");
    ::kill(::getpid(), SIGTERM);
    loop.run_until_complete(task);
    return task->done() && !task->cancelled() && seen == 1 ? 0 : 2;
  });
  EXPECT_EQ(child.wait(), 0);
}

}  // namespace
}  // namespace tarvex::event_loop
