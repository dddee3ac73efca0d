#include "tarvex/event_loop.hpp"

#include <unistd.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <optional>

#include "tarvex/exceptions.hpp"
#include "tarvex/log.hpp"
#include "tarvex/signals.hpp"

namespace tarvex::event_loop {

struct Task::State {
  std::string name;
  bool done = false;
  bool cancel_requested = false;
  std::exception_ptr error;
  asio::cancellation_signal cancel_signal;
};

bool Task::done() const { return state_->done; }
bool Task::cancelled() const { return state_->cancel_requested; }
const std::exception_ptr& Task::error() const { return state_->error; }
const std::string& Task::name() const { return state_->name; }

void Task::cancel() {
  if (state_->done) return;
  state_->cancel_requested = true;
  state_->cancel_signal.emit(asio::cancellation_type::terminal);
}

struct EventLoop::Impl {
  std::optional<asio::io_context> io{std::in_place};
  bool closed = false;
};

EventLoop::EventLoop() : impl_(std::make_unique<Impl>()) {}
EventLoop::~EventLoop() = default;

asio::io_context& EventLoop::context() {
  if (impl_->closed) throw RuntimeError("Event loop is closed");
  return *impl_->io;
}

std::shared_ptr<Task> EventLoop::create_task(asio::awaitable<void> coro, std::string name) {
  auto task = std::make_shared<Task>();
  task->state_ = std::make_shared<Task::State>();
  task->state_->name = std::move(name);
  std::shared_ptr<Task::State> state = task->state_;
  asio::co_spawn(context(), std::move(coro),
                 asio::bind_cancellation_slot(state->cancel_signal.slot(), [state](std::exception_ptr error) {
                   state->done = true;
                   state->error = std::move(error);
                 }));
  return task;
}

void EventLoop::run_until_complete(const std::shared_ptr<Task>& task) {
  asio::io_context& io = context();
  std::exception_ptr signal_error;

  // Watch the signal pipe while the task runs.
  std::optional<asio::posix::stream_descriptor> watcher;
  std::function<void()> arm;
  if (signals::wakeup_fd() >= 0) {
    watcher.emplace(io, ::dup(signals::wakeup_fd()));
    arm = [&] {
      watcher->async_wait(asio::posix::stream_descriptor::wait_read, [&](const std::error_code& ec) {
        if (ec) return;
        try {
          signals::raise_if_pending();
        } catch (...) {
          if (!signal_error) signal_error = std::current_exception();
          task->cancel();
        }
        if (!task->done()) arm();
      });
    };
    arm();
  }

  while (!task->done()) {
    if (io.stopped()) io.restart();
    if (io.run_one() == 0 && !task->done()) {
      throw RuntimeError("Event loop stopped before task " + task->name() + " completed");
    }
  }
  if (watcher) {
    watcher->cancel();
    io.restart();
    io.poll();
  }
  if (signal_error) std::rethrow_exception(signal_error);
  if (task->error()) std::rethrow_exception(task->error());
}

void EventLoop::close() {
  if (impl_->closed) return;
  impl_->closed = true;
  impl_->io.reset();  // destroys pending coroutine frames
}

bool EventLoop::is_closed() const { return impl_->closed; }

namespace {

std::shared_ptr<EventLoop>& holder() {
  static std::shared_ptr<EventLoop>* current = new std::shared_ptr<EventLoop>();
  return *current;
}

}  // namespace

std::shared_ptr<EventLoop> get_event_loop() {
  std::shared_ptr<EventLoop>& current = holder();
  if (!current || current->is_closed()) current = std::make_shared<EventLoop>();
  return current;
}

bool policy_installed() { return static_cast<bool>(holder()); }

void discard_policy() { holder().reset(); }

}  // namespace tarvex::event_loop
