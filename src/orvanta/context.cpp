// The manager's context: start, connect and launch on entry; settle, hold an
// interactive user, tear down and terminate the worker on exit.
#include <poll.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "orvanta/timing.hpp"
#include "orvanta/worker_link.hpp"
#include "tarvex/morvane/exceptions.hpp"
#include "tarvex/morvane/orvanta.hpp"
#include "tarvex/signals.hpp"

namespace tarvex::morvane::orvanta {

using exceptions::BringupExceptionWithTraceback;

namespace {

// Waits up to `seconds`; a signal shortens the wait but is left pending for
// whoever handles it next.  The teardown that follows must not be skipped.
void settle(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd fd{signals::wakeup_fd(), POLLIN, 0};
    if (::poll(&fd, fd.fd >= 0 ? 1 : 0, static_cast<int>(left.count())) > 0) return;
  }
}

bool command_line_asks_for_help() {
  std::string joined;
  for (const std::string& arg : utils::command_line()) joined += (joined.empty() ? "" : " ") + arg;
  return joined.find("-h") != std::string::npos;
}

}  // namespace

bases::BringUpBase& BringUp::enter() {
  try {
    const Value taskid = kwarg(bringup_kwargs, "taskid");
    if (taskid.truthy()) {
      auto scope = log::managed_handlers().tasklog.next_fork_logfile(
          fmt::format(fmt::runtime(std::string(TASK_LOG_NAME_PAT)), taskid.str()));
      _start_server();
    } else {
      _start_server();
    }
    link_->bringup_worker = std::make_unique<xmlrpc::ServerProxy>(_connect());
    remote("update_help");
    update_help();
    BringUpBase::enter();
  } catch (const EOFError&) {
    if (bringup_kwargs.empty() || !command_line_asks_for_help()) throw;
  }
  return *this;
}

void BringUp::hold_for_interactive_user() {
  std::printf("*** Press Control-C to take down the testbed.\n");
  std::fflush(stdout);
  const bool captured_here = !signals::is_captured(SIGINT);
  if (captured_here) signals::capture({SIGINT});
  try {
    // One-second steps; any signal ends the hold, as does the end of the
    // worker (there is nothing left to hold).
    while (link_->_svr_process && link_->_svr_process->is_alive()) {
      pollfd fd{signals::wakeup_fd(), POLLIN, 0};
      if (::poll(&fd, 1, 1000) > 0 && signals::take_pending()) break;
    }
  } catch (const std::exception& e) {
    logger().debug("The interactive hold ended with an error: {}", e.what());
  }
  if (captured_here) signals::release(SIGINT);
}

bool BringUp::exit(std::exception_ptr passing) {
  bool result = false;
  if (help() != Value(true)) settle(timing().settling_time_sec);
  if (link_->_svr_process && link_->_svr_process->is_alive() && interactive() == Value(true) && help() != Value(true) &&
      logical_devices().truthy()) {
    hold_for_interactive_user();
  }
  // The worker subprocess is terminated on every path, so that nothing is
  // left running when leaving fails.
  std::exception_ptr failure;
  try {
    result = BringUpBase::exit(passing);
  } catch (const ConnectionRefusedError&) {
    logger().debug("Reconnect attempt has been refused as expected.");
  } catch (const exceptions::BringupWorkerException&) {
    logger().debug("Bringup worker attempt has failed as expected");
  } catch (const std::exception& e) {
    logger().debug("Unexpected exception occurred: {}", e.what());
    failure = std::current_exception();
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    if (link_->_svr_process) _terminate_server();
  } catch (const std::exception&) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);
  return result;
}

bool BringUp::worker_reachable() const {
  return link_->bringup_worker && link_->_svr_process && link_->_svr_process->is_alive();
}

Value BringUp::remote(const std::string& name, const List& params, bool reraise_signal) const {
  link_->forwarded_signal.reset();
  Value result;
  try {
    result = link_->bringup_worker->call(name, params);
  } catch (const std::exception&) {
    std::rethrow_exception(BringupExceptionWithTraceback(std::current_exception()).get_user_exception());
  }
  // A signal that arrived during a call that nonetheless succeeded ended
  // the worker's serving (it tears down on it), so it is the manager's to act
  // on as well, except when the call was the teardown the signal asks for.
  const std::optional<int> signum = std::exchange(link_->forwarded_signal, std::nullopt);
  if (signum && reraise_signal) signals::apply_policy(*signum);
  return result;
}

void BringUp::launch_topology() {
  if (!worker_reachable()) return;
  logger().debug("Commanding bringup worker to launch topology...");
  remote("launch_topology");
}

void BringUp::tear_down_topology() {
  if (!worker_reachable()) return;
  logger().debug("Commanding bringup worker to tear down topology...");
  remote("tear_down_topology", {}, false);
}

}  // namespace tarvex::morvane::orvanta
