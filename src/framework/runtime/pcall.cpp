#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>

#include "tarvex/async_.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/log.hpp"
#include "tarvex/process.hpp"
#include "tarvex/signals.hpp"

namespace tarvex::async_ {

namespace {

constexpr double kStopGraceSec = 2.0;

// One call in flight: its child, the read end of its error pipe and what the
// child has written so far.
struct Call {
  std::string device_name;
  process::ChildProcess child;
  int error_fd = -1;
  std::string error_text;
  bool finished = false;
  int status = 0;

  ~Call() {
    if (error_fd >= 0) ::close(error_fd);
  }
  void drain() {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(error_fd, buf, sizeof buf);
      if (n > 0) {
        error_text.append(buf, static_cast<std::size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return;
      }
    }
  }
};

std::string device_name_of(const Object& device) {
  return device.has_attr("name") ? device.get_attr("name").str() : device.repr();
}

void stop_all(std::vector<std::unique_ptr<Call>>& calls) {
  for (auto& call : calls) {
    if (!call->finished) call->child.terminate();
  }
  for (auto& call : calls) {
    if (!call->finished && !call->child.wait(kStopGraceSec)) {
      call->child.kill();
      call->child.wait();
    }
    call->finished = true;
  }
}

}  // namespace

void pcall(const std::vector<Target>& targets, double timeout, const std::vector<std::shared_ptr<Object>>& device) {
  if (targets.size() != device.size()) {
    throw ValueError("pcall: " + std::to_string(targets.size()) + " targets but " + std::to_string(device.size()) +
                     " devices");
  }
  log::Logger& logger = log::getLogger("tarvex.async_");
  std::vector<std::unique_ptr<Call>> calls;
  process::ChildProcess::Options options;
  options.new_process_group = true;
  options.parent_death_signal = SIGTERM;
  options.default_signals = {SIGINT, SIGTERM, SIGHUP};

  try {
    for (std::size_t i = 0; i < targets.size(); ++i) {
      auto call = std::make_unique<Call>();
      call->device_name = device_name_of(*device[i]);
      int fds[2];
      if (::pipe2(fds, O_CLOEXEC) != 0) throw OSError("pcall: cannot create a pipe");
      const Target& target = targets[i];
      Object& dev = *device[i];
      const int write_fd = fds[1];
      call->child = process::ChildProcess::fork(
          [&target, &dev, write_fd]() -> int {
            try {
              target(dev);
              return 0;
            } catch (...) {
              process::write_fully(write_fd, format_exception(std::current_exception()));
              return 1;
            }
          },
          options);
      ::close(fds[1]);
      call->error_fd = fds[0];
      ::fcntl(call->error_fd, F_SETFL, O_NONBLOCK);
      calls.push_back(std::move(call));
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    std::size_t running = calls.size();
    while (running > 0) {
      std::vector<pollfd> fds;
      std::vector<Call*> owners;
      for (auto& call : calls) {
        if (call->finished) continue;
        fds.push_back({call->error_fd, POLLIN, 0});
        owners.push_back(call.get());
        fds.push_back({call->child.pidfd(), POLLIN, 0});
        owners.push_back(call.get());
      }
      if (signals::wakeup_fd() >= 0) {
        fds.push_back({signals::wakeup_fd(), POLLIN, 0});
        owners.push_back(nullptr);
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        std::string still;
        for (auto& call : calls) {
          if (!call->finished) still += (still.empty() ? "" : ", ") + call->device_name;
        }
        stop_all(calls);
        throw TimeoutError("Parallel call timed out after " + std::to_string(static_cast<long long>(timeout)) +
                           " seconds; still running for device(s): " + still);
      }
      const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left.count(), 1000)));
      if (ready < 0 && errno != EINTR) throw OSError("pcall: poll failed");
      for (std::size_t k = 0; k < fds.size(); ++k) {
        if (!fds[k].revents) continue;
        if (!owners[k]) {
          signals::raise_if_pending();
          continue;
        }
        Call& call = *owners[k];
        call.drain();
        if (fds[k].fd == call.child.pidfd() && !call.finished) {
          call.status = call.child.wait().value_or(-1);
          call.drain();
          call.finished = true;
          --running;
          if (call.status != 0) {
            stop_all(calls);
            std::string failures;
            for (auto& other : calls) {
              if (other->status == 0) continue;
              std::string why = other->error_text.empty()
                                    ? (other->status < 0 ? "ended by signal " + std::to_string(-other->status)
                                                         : "exited with status " + std::to_string(other->status))
                                    : other->error_text;
              if (other.get() != &call && other->error_text.empty()) continue;  // stopped by us
              failures += "\nDevice " + other->device_name + ": " + why;
            }
            throw Exception("Parallel call failed for device " + call.device_name + "." + failures);
          }
        }
      }
    }
    logger.debug(fmt::format("Parallel call completed for {} device(s).", calls.size()));
  } catch (...) {
    stop_all(calls);
    throw;
  }
}

}  // namespace tarvex::async_
