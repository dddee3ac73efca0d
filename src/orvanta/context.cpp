// The manager's context: start, connect and launch on entry; settle, hold an
// interactive user, tear down and terminate the worker on exit.
#include <poll.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "orvanta/timing.hpp"
#include "orvanta/worker_link.hpp"
#include "orvanta/worker_watch.hpp"
#include "tarvex/morvane/exceptions.hpp"
#include "tarvex/morvane/leftovers.hpp"
#include "tarvex/morvane/orvanta.hpp"
#include "tarvex/signals.hpp"

namespace tarvex::morvane::orvanta {

using exceptions::BringupExceptionWithTraceback;

namespace {

// Help mode is asked for by an argument that is exactly a help option (a
// file named "my-host.yaml" asks for nothing).
bool command_line_asks_for_help() {
  const std::vector<std::string> argv = utils::command_line();
  for (std::size_t i = 1; i < argv.size(); ++i) {
    if (argv[i] == "-h" || argv[i] == "-help" || argv[i] == "--help") return true;
  }
  return false;
}

}  // namespace

bases::BringUpBase& BringUp::enter() {
  warn_about_leftovers();
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

// What runs whose worker died left behind is not removed by itself: the
// user hears of it at the start of every run until `bringup -cleanup`.
void BringUp::warn_about_leftovers() const {
  for (const leftovers::Leftover& leftover : leftovers::find_all()) {
    logger().warning("Left behind by a run whose worker died: {} (remove with: bringup -cleanup)",
                     leftovers::describe(leftover));
  }
}

void BringUp::hold_for_interactive_user() {
  const bool captured_here = !signals::is_captured(SIGINT);
  if (captured_here) signals::capture({SIGINT});
  try {
    // Any signal ends the hold, as does the end of the worker (there is
    // nothing left to hold).
    if (detail::wait_for_worker(-1, link_->_svr_process.get()) == detail::WaitEnd::Signal) signals::take_pending();
  } catch (const std::exception& e) {
    logger().debug("The interactive hold ended with an error: {}", e.what());
  }
  if (captured_here) signals::release(SIGINT);
}

bool BringUp::settle_and_hold() {
  process::ChildProcess* worker = link_->_svr_process.get();
  const bool hold = worker && worker->is_alive() && interactive() == Value(true) && logical_devices().truthy();
  // The prompt comes first: the user may end the settling wait as well.
  if (hold) {
    std::printf("*** Press Control-C to take down the testbed.\n");
    std::fflush(stdout);
  }
  switch (detail::wait_for_worker(timing().settling_time_sec, worker)) {
    case detail::WaitEnd::Signal:
      // A signal ends the wait (and the hold) and asks for the teardown that
      // follows anyway: it is taken here, as the hold takes it.
      signals::take_pending();
      break;
    case detail::WaitEnd::WorkerEnded: break;
    case detail::WaitEnd::TimedOut:
      if (hold) hold_for_interactive_user();
      break;
  }
  return worker && !worker->is_alive();
}

bool BringUp::exit(std::exception_ptr passing) {
  bool result = false;
  // The worker ended by itself before the teardown: there is nothing to
  // command, and the user must hear of it.
  std::exception_ptr worker_ended;
  if (help() != Value(true) && settle_and_hold()) {
    worker_ended = detail::worker_died(link_->_svr_process->pid(), link_->_svr_process->exit_status().value_or(-1),
                                       link_->ended_by_signal());
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
  if (!failure) failure = worker_ended;
  if (failure) std::rethrow_exception(failure);
  return result;
}

bool BringUp::worker_reachable() const {
  return link_->bringup_worker && link_->_svr_process && link_->_svr_process->is_alive();
}

// A connection that ends in the middle of a call: the worker that was
// killed closes its sockets a moment before the kernel reports its end, so
// its end is awaited briefly, and a worker that died is reported as such
// rather than as a connection error.
void BringUp::rethrow_if_worker_died() const {
  process::ChildProcess* worker = link_->_svr_process.get();
  if (!worker) return;
  pollfd ended{worker->pidfd(), POLLIN, 0};
  if (worker->pidfd() >= 0) ::poll(&ended, 1, 1000);
  // A worker that ended while the manager still needed it died, however it
  // ended (one ended by a signal of its own tears down and exits 0), except
  // in help mode, where the worker ends once it has printed the help.
  if (!worker->is_alive() && (worker->exit_status() != 0 || !command_line_asks_for_help())) {
    std::rethrow_exception(
        detail::worker_died(worker->pid(), worker->exit_status().value_or(-1), link_->ended_by_signal()));
  }
}

Value BringUp::remote(const std::string& name, const List& params, bool reraise_signal) const {
  link_->forwarded_signal.reset();
  Value result;
  try {
    result = link_->bringup_worker->call(name, params);
  } catch (const EOFError&) {
    rethrow_if_worker_died();
    std::rethrow_exception(BringupExceptionWithTraceback(std::current_exception()).get_user_exception());
  } catch (const ConnectionError&) {
    rethrow_if_worker_died();
    std::rethrow_exception(BringupExceptionWithTraceback(std::current_exception()).get_user_exception());
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
