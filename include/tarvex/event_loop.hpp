// The event loop on which a worker runs its launch and teardown coroutines.
//
// A process-wide holder hands out the current loop, creating one on first
// request.  Discarding the holder makes the next request create a fresh
// loop; a closed loop is never handed out again.  Coroutines are
// `asio::awaitable<void>`; running one to completion rethrows its error.
// While it runs, a captured termination signal (see signals.hpp) that the
// signal policy turns into an error cancels the coroutine, and that error is
// raised once the coroutine has ended.
#pragma once

#include <asio/awaitable.hpp>
#include <exception>
#include <memory>
#include <string>

namespace asio {
class io_context;
}

namespace tarvex::event_loop {

// A coroutine scheduled on a loop, and what became of it.
class Task {
 public:
  bool done() const;
  bool cancelled() const;
  const std::exception_ptr& error() const;
  const std::string& name() const;
  // Asks the coroutine to stop at its next cancellable wait.
  void cancel();

 private:
  friend class EventLoop;
  struct State;
  std::shared_ptr<State> state_;
};

class EventLoop {
 public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  asio::io_context& context();
  // Schedules `coro`; it starts running when the loop runs.
  std::shared_ptr<Task> create_task(asio::awaitable<void> coro, std::string name = {});
  // Runs the loop until `task` has ended, then rethrows its error.  A
  // signal error raised while it runs cancels the task and is raised once
  // the task has ended (it replaces the task's own error).
  void run_until_complete(const std::shared_ptr<Task>& task);
  // Ends the loop: pending coroutines are destroyed.
  void close();
  bool is_closed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The current loop of the process.
std::shared_ptr<EventLoop> get_event_loop();
// Whether a holder (with a loop) is installed, and discarding it.
bool policy_installed();
void discard_policy();

}  // namespace tarvex::event_loop
