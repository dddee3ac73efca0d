#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>

#include "tarvex/async_.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/fd.hpp"
#include "tarvex/log.hpp"
#include "tarvex/process.hpp"
#include "tarvex/signals.hpp"

namespace tarvex::async_ {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kStopGraceSec = 2.0;

// One call in flight: its child, the read end of its error pipe and what the
// child has written so far.
struct Call {
  std::string device_name;
  process::ChildProcess child;
  UniqueFd error_fd;
  std::string error_text;
  bool finished = false;
  int status = 0;

  // Reads what the child has written so far (the pipe does not block).
  void drain() {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(error_fd.get(), buf, sizeof buf);
      if (n > 0) {
        error_text.append(buf, static_cast<std::size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return;
      }
    }
  }

  // Why the call failed: the child's error text, or how it ended.
  std::string failure() const {
    if (!error_text.empty()) return error_text;
    return status < 0 ? "ended by signal " + std::to_string(-status) : "exited with status " + std::to_string(status);
  }
};

std::string device_name_of(const Object& device) {
  return device.has_attr("name") ? device.get_attr("name").str() : device.repr();
}

// Forks the child of one call; its error, if any, comes back as text
// through a pipe.
std::unique_ptr<Call> start_call(const Target& target, Object& device) {
  process::ChildProcess::Options options;
  options.new_process_group = true;
  options.parent_death_signal = SIGTERM;
  options.default_signals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

  auto call = std::make_unique<Call>();
  call->device_name = device_name_of(device);
  Pipe pipe = Pipe::open();
  // Only the parent's end does not block: the child's error text must get
  // through whole, however long it is.
  ::fcntl(pipe.read.get(), F_SETFL, O_NONBLOCK);
  const int write_fd = pipe.write.get();
  call->child = process::ChildProcess::fork(
      [&target, &device, write_fd]() -> int {
        try {
          target(device);
          return 0;
        } catch (...) {
          process::write_fully(write_fd, format_exception(std::current_exception()));
          return 1;
        }
      },
      options);
  call->error_fd = std::move(pipe.read);
  return call;
}

// The calls of one parallel run and their common deadline.  Whatever way
// the run ends, no child is left running.
class ParallelRun {
 public:
  ParallelRun(double timeout, std::function<void(const std::string&)> on_success)
      : on_success_(std::move(on_success)),
        timeout_(timeout),
        deadline_(Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout))) {}
  ParallelRun(const ParallelRun&) = delete;
  ParallelRun& operator=(const ParallelRun&) = delete;
  ~ParallelRun() { stop_all(); }

  void add(std::unique_ptr<Call> call) {
    calls_.push_back(std::move(call));
    ++running_;
  }

  // Waits until every call has ended; raises on the first failure, the
  // deadline or a termination signal.
  void wait_all() {
    while (running_ > 0) wait_once();
  }

  std::size_t size() const { return calls_.size(); }

 private:
  void wait_once() {
    std::vector<pollfd> fds;
    std::vector<Call*> owners;  // nullptr for the signal pipe
    for (auto& call : calls_) {
      if (call->finished) continue;
      fds.push_back({call->error_fd.get(), POLLIN, 0});
      owners.push_back(call.get());
      fds.push_back({call->child.pidfd(), POLLIN, 0});
      owners.push_back(call.get());
    }
    if (signals::wakeup_fd() >= 0) {
      fds.push_back({signals::wakeup_fd(), POLLIN, 0});
      owners.push_back(nullptr);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    if (left.count() <= 0) raise_timeout();
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready < 0 && errno != EINTR) {
      const int error = errno;
      throw OSError(error, std::string("pcall: poll failed: ") + std::strerror(error));
    }
    for (std::size_t k = 0; k < fds.size(); ++k) {
      if (!fds[k].revents) continue;
      if (!owners[k]) {
        signals::raise_if_pending();
        continue;
      }
      Call& call = *owners[k];
      call.drain();
      if (fds[k].fd == call.child.pidfd() && !call.finished) on_child_end(call);
    }
  }

  void on_child_end(Call& call) {
    call.status = call.child.wait().value_or(-1);
    call.drain();
    call.finished = true;
    --running_;
    if (call.status != 0) raise_failure(call);
    if (on_success_) on_success_(call.device_name);
  }

  [[noreturn]] void raise_failure(const Call& first) {
    stop_all();
    // The first failure, then the others that failed by themselves (not
    // those stopped here).
    std::string failures;
    for (const auto& other : calls_) {
      if (other->status == 0) continue;
      if (other.get() != &first && other->error_text.empty()) continue;
      failures += "\nDevice " + other->device_name + ": " + other->failure();
    }
    throw Exception("Parallel call failed for device " + first.device_name + "." + failures);
  }

  [[noreturn]] void raise_timeout() {
    std::string still;
    for (auto& call : calls_) {
      if (!call->finished) still += (still.empty() ? "" : ", ") + call->device_name;
    }
    stop_all();
    throw TimeoutError(ETIMEDOUT, "Parallel call timed out after " + std::to_string(static_cast<long long>(timeout_)) +
                                      " seconds; still running for device(s): " + still);
  }

  // Terminates the children still running, then kills those that outlast
  // a short grace.
  void stop_all() {
    for (auto& call : calls_) {
      if (!call->finished) call->child.terminate();
    }
    for (auto& call : calls_) {
      if (!call->finished && !call->child.wait(kStopGraceSec)) {
        call->child.kill();
        call->child.wait();
      }
      call->finished = true;
    }
    running_ = 0;
  }

  std::function<void(const std::string&)> on_success_;
  double timeout_;
  Clock::time_point deadline_;
  std::vector<std::unique_ptr<Call>> calls_;
  std::size_t running_ = 0;
};

}  // namespace

void pcall(const std::vector<Target>& targets, double timeout, const std::vector<std::shared_ptr<Object>>& device,
           const std::function<void(const std::string& device_name)>& on_success) {
  if (targets.size() != device.size()) {
    throw ValueError("pcall: " + std::to_string(targets.size()) + " targets but " + std::to_string(device.size()) +
                     " devices");
  }
  ParallelRun run(timeout, on_success);
  for (std::size_t i = 0; i < targets.size(); ++i) run.add(start_call(targets[i], *device[i]));
  run.wait_all();
  log::getLogger("tarvex.async_").debug(fmt::format("Parallel call completed for {} device(s).", run.size()));
}

}  // namespace tarvex::async_
