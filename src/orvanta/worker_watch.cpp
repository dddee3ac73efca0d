#include "orvanta/worker_watch.hpp"

#include <poll.h>
#include <string.h>

#include <cerrno>
#include <chrono>

#include "tarvex/morvane/exceptions.hpp"
#include "tarvex/morvane/leftovers.hpp"
#include "tarvex/signals.hpp"

namespace tarvex::morvane::orvanta::detail {

WaitEnd wait_for_worker(double seconds, process::ChildProcess* worker) {
  using Clock = std::chrono::steady_clock;
  const bool forever = seconds < 0;
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(forever ? 0 : seconds));
  for (;;) {
    if (worker && !worker->is_alive()) return WaitEnd::WorkerEnded;
    int timeout_ms = -1;
    if (!forever) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return WaitEnd::TimedOut;
      timeout_ms = static_cast<int>(std::min<long long>(left.count(), 60'000));
    }
    pollfd fds[2] = {{signals::wakeup_fd(), POLLIN, 0}, {worker ? worker->pidfd() : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout_ms);
    if (ready > 0 && (fds[0].revents & POLLIN)) return WaitEnd::Signal;
  }
}

std::string how_it_ended(int status) {
  if (status >= 0) return "exited with status " + std::to_string(status);
  const int signum = -status;
  const char* abbrev = ::sigabbrev_np(signum);
  return "was killed by signal " + std::to_string(signum) + (abbrev ? std::string(" (SIG") + abbrev + ")" : "");
}

std::exception_ptr worker_died(int pid, int status, int torn_down_on) {
  std::string text = "The bringup worker (pid " + std::to_string(pid) + ") " + how_it_ended(status) +
                     " before its topology was torn down.";
  if (status == 0 && torn_down_on > 0) {
    // A signal sent to the worker alone: it tore down, then ended.
    const char* abbrev = ::sigabbrev_np(torn_down_on);
    text = "The bringup worker (pid " + std::to_string(pid) + ") ended on " +
           (abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(torn_down_on)) +
           " after tearing its topology down (" + how_it_ended(status) + ").";
  }
  const std::vector<leftovers::Leftover> found = leftovers::find_all(pid);
  if (found.empty()) {
    text += " Nothing of its topology was found left behind.";
  } else {
    text += " Left behind:";
    for (const leftovers::Leftover& leftover : found) text += "\n  " + leftovers::describe(leftover);
    text += "\nRemove them with: bringup -cleanup";
  }
  return std::make_exception_ptr(exceptions::BringupWorkerDied(text));
}

}  // namespace tarvex::morvane::orvanta::detail
