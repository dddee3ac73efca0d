// The launch and teardown driver: runs the backend's coroutines on the
// worker's event loop, stores and chains every error, tears a failed launch
// down and raises the user-facing error in the caller's context.
#include <algorithm>
#include <csignal>
#include <string>

#include "tarvex/morvane/bases/module.hpp"
#include "tarvex/morvane/bases/options.hpp"
#include "tarvex/morvane/bases/worker.hpp"
#include "tarvex/morvane/bringup_loggers.hpp"
#include "tarvex/morvane/bringup_signals.hpp"
#include "tarvex/morvane/exceptions.hpp"
#include "tarvex/morvane/progress.hpp"
#include "tarvex/morvane/server_shutdown.hpp"

namespace tarvex::morvane::bases {

using bringup_signals::SignalError;
using exceptions::BringupExceptionWithTraceback;
using exceptions::TopologyTerminatedDueToSignal;
using orvanta::request_bringup_worker_server_shutdown;

namespace {

// What a user of the worker as a context (or a jobrix run) is told when a
// step fails; the error itself is stored and raised later.
void log_step_failure(const char* step, const std::exception& error) {
  if (*error.what()) {
    logger().error("{} failed due to an exception : {}", step, error.what());
  } else {
    logger().error("{} failed due to an exception.", step);
  }
}

}  // namespace

// A setting in the worker's section of the clean configuration that nothing
// reads is most likely a typing error: say so rather than ignore it.
bool BringUpWorkerBase::is_option(const std::string& name) const {
  for (const ClassInfo* cls = &klass(); cls; cls = cls->base()) {
    if (const WorkerOptions* table = options_of(*cls); table && table->has(name)) return true;
  }
  return false;
}

void BringUpWorkerBase::warn_about_unknown_bringup_settings() const {
  if (!BringUpBase::bringup_clean_config.is_map()) return;
  std::string unknown;
  for (const auto& [key, value] : BringUpBase::bringup_clean_config.as_map()) {
    if (is_option(key.str())) continue;  // the worker's options, set from there
    if (std::find(_bringup_settings.begin(), _bringup_settings.end(), key.str()) == _bringup_settings.end()) {
      unknown += (unknown.empty() ? "" : ", ") + key.str();
    }
  }
  if (unknown.empty()) return;
  std::string known;
  for (const std::string& key : _bringup_settings) known += (known.empty() ? "" : ", ") + key;
  logger().warning("Ignoring unknown setting(s) in the bringup section of the clean configuration: {} (known: {}).",
                   unknown, known);
}

void BringUpWorkerBase::set_interactive(bool value) {
  logger().debug("Setting interactive to {}.", Value(value));
  interactive = value;
}

void BringUpWorkerBase::_set_log_level(int level) {
  logger().set_level(level);
  logger().debug("Set log level : {}", level);
  log::getLogger("tarvex.morvane.bringup_signals").set_level(level);
  log::getLogger("tarvex.morvane.utils").set_level(level);
  // The backends', cleaners' and the fabric's, as each registered itself.
  for (const std::string& name : bringup_loggers()) log::getLogger(name).set_level(level);
}

asio::awaitable<void> BringUpWorkerBase::_launch_topology() {
  throw NotImplementedError();
  co_return;
}

asio::awaitable<void> BringUpWorkerBase::_tear_down_topology() {
  throw NotImplementedError();
  co_return;
}

void BringUpWorkerBase::launch_topology() {
  if (help) return;
  warn_about_unknown_bringup_settings();
  logger().info("Launching topology...");
  progress::record("launching");
  logger().debug("Installing signal handlers...");
  bringup_signals::install_signal_handlers();

  std::exception_ptr in_flight;  // an interrupt or exit request, not caught here
  try {
    launch_topology_task = event_loop->create_task(_launch_topology(), "launch_topology");
    event_loop->run_until_complete(launch_topology_task);
    if (!_loop_stored_exception) {
      logger().info("Topology has been launched.");
      progress::record("launched", std::to_string(dev_name_xref.is_map() ? dev_name_xref.size() : 0));
      _wait_for_devices_to_be_ready();
      _write_final_actual_tb_yaml_file();
    }
  } catch (const SignalError& e) {
    if (*e.what()) logger().info("Received : {}", e.what());
    logger().debug(format_exception(std::current_exception()));
    _store_exception(std::current_exception());
    // Made while the signal error is handled, so the signal error is its
    // context as well as its cause.
    _store_exception(std::make_exception_ptr(TopologyTerminatedDueToSignal()));
  } catch (const std::exception& e) {
    if (called_as_context_mgr || jobrix) log_step_failure("launch_topology", e);
    _store_exception(std::current_exception());
  } catch (...) {
    in_flight = std::current_exception();
  }
  // On every path: a stored error tears the topology down and is raised,
  // replacing an interrupt still in flight.
  if (_loop_stored_exception) progress::record("launch-failed");
  _raise_stored_exception_if_present();
  if (in_flight) std::rethrow_exception(in_flight);
}

void BringUpWorkerBase::tear_down_topology(bool raise_stored_exception) {
  if (skip_teardown && jobrix) {
    logger().warning("Topology is not being torn down.  It is now the user's responsibility to tear it down manually.");
  }
  if (!help && !(skip_teardown && jobrix) && event_loop && !shutting_down) {
    logger().info("Tearing down topology...");
    progress::record("tearing-down");
    shutting_down = true;
    std::exception_ptr in_flight;
    try {
      tear_down_topology_task = event_loop->create_task(_tear_down_topology(), "tear_down_topology");
      event_loop->run_until_complete(tear_down_topology_task);
      logger().info("Topology has been torn down.");
      progress::record("torn-down");
    } catch (const std::exception& e) {
      if (called_as_context_mgr || jobrix) logger().error("tear_down_topology failed due to exception : {}", e.what());
      _store_exception(std::current_exception());
    } catch (...) {
      in_flight = std::current_exception();
    }
    // On every path: the loop is closed for good, and a later request for an
    // event loop in this process starts afresh.
    event_loop->close();
    if (event_loop::policy_installed()) event_loop::discard_policy();
    if (raise_stored_exception) _raise_stored_exception_if_present(false);
    if (in_flight) std::rethrow_exception(in_flight);
  }
  request_bringup_worker_server_shutdown();
}

void BringUpWorkerBase::_store_exception(std::exception_ptr exceptionToSave) {
  exceptionToSave = adopt(exceptionToSave);
  ErrorBase* error = as_mutable_error(exceptionToSave);
  if (_loop_stored_exception) error->set_cause(_loop_stored_exception);
  _loop_stored_exception = exceptionToSave;

  std::optional<int> signum;
  try {
    std::rethrow_exception(exceptionToSave);
  } catch (const SignalError& e) {
    signum = e.signum();
  } catch (...) {
  }
  if (!signum && error->context()) {
    try {
      std::rethrow_exception(error->context());
    } catch (const SignalError& e) {
      signum = e.signum();
    } catch (...) {
    }
  }
  if (interactive && signum == SIGINT) return;

  logger().error("The following exception was stored : {}\n{}", exception_repr(_loop_stored_exception),
                 exception_str(BringupExceptionWithTraceback(exceptionToSave).get_user_exception()));
}

void BringUpWorkerBase::_raise_stored_exception_if_present(bool do_teardown) {
  if (!_loop_stored_exception) return;
  if (do_teardown) {
    try {
      tear_down_topology(false);
    } catch (const std::exception& e) {
      if (called_as_context_mgr || jobrix) log_step_failure("tear_down_topology", e);
      _store_exception(std::current_exception());
    }
  }
  const std::exception_ptr error = std::exchange(_loop_stored_exception, nullptr);
  if (called_as_context_mgr || jobrix) {
    const std::exception_ptr user = BringupExceptionWithTraceback(error).get_user_exception();
    logger().error(exception_str(as_error(user)->cause()));
  }
  _raise_exception(error);
}

void BringUpWorkerBase::_raise_exception(std::exception_ptr exception_to_raise) {
  request_bringup_worker_server_shutdown();
  std::rethrow_exception(BringupExceptionWithTraceback(exception_to_raise).get_user_exception());
}

}  // namespace tarvex::morvane::bases
