// The worker subprocess: the shared port cell, its start and the wait for
// its server, its entry point, and its termination.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "orvanta/timing.hpp"
#include "orvanta/worker_link.hpp"
#include "orvanta/worker_server.hpp"
#include "orvanta/worker_watch.hpp"
#include "tarvex/morvane/exceptions.hpp"
#include "tarvex/morvane/orvanta.hpp"
#include "tarvex/process.hpp"
#include "tarvex/signals.hpp"
#include "tarvex/warnings.hpp"

namespace tarvex::morvane::orvanta {

namespace {

// A fresh random token for one run, unless the user gave one.
std::string make_token() {
  if (const char* given = std::getenv(kRpcTokenVariable); given && *given) return given;
  unsigned char bytes[24];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw OSError(errno, "cannot get random bytes for the worker server token");
    got += static_cast<std::size_t>(n);
  }
  static const char* hex = "0123456789abcdef";
  std::string token;
  for (const unsigned char b : bytes) {
    token += hex[b >> 4];
    token += hex[b & 15];
  }
  return token;
}

std::string pid_text(const std::optional<int>& pid) { return pid ? std::to_string(*pid) : "None"; }

// The construction error as the manager rebuilds it: its type name on one
// line, then its whole chain as text.
void report_construction_error(int fd, const std::exception_ptr& error) {
  if (fd < 0) return;
  process::write_fully(fd, exception_type_name(error) + "\n" + format_exception(error));
}

}  // namespace

Timing& timing() {
  static Timing values;
  return values;
}

std::int32_t BringUp::_serverport() const { return link_->serverport_cell ? link_->serverport_cell->load() : 0; }

void BringUp::_serverport(std::int32_t value) {
  auto& cell = link_->serverport_cell;
  if (!cell) cell = std::make_unique<process::SharedInt32Cell>(value);
  cell->store(value);
}

BringUp::ServerTriple BringUp::_start_server() {
  if (link_->_isserverstarted) {
    warnings::warn("Server has already been started with pid " + pid_text(link_->_serverpid) + ".");
    return {link_->_serverpid, _serverport(), _hostname};
  }
  link_->_isserverstarted = true;
  fork_worker();
  const std::int32_t port = wait_for_published_port();
  if (port == BRINGUP_OBJ_INSTANTIATE_FAILED_PORT) {
    exceptions::FailedToCreateBringupWorker failed;
    failed.set_cause(construction_error());
    throw failed;
  }
  link_->_serverpid = link_->_svr_process->pid();
  logger().debug("Bringup worker server has been started on host " + _hostname + " with pid " +
                 pid_text(link_->_serverpid));
  logger().debug("Bringup worker server has been invoked from pid " + std::to_string(::getpid()));
  return {link_->_serverpid, port, _hostname};
}

void BringUp::fork_worker() {
  link_->token = make_token();
  // A construction error comes back through this pipe; without it the
  // error's text would be lost, so a failure to make it is the start's.
  link_->construction_error = Pipe::open(O_NONBLOCK);
  link_->end_cell = std::make_unique<process::SharedInt32Cell>(0);
  process::ChildProcess::Options options;
  // The worker tears its topology down when the manager dies, and decides
  // for itself on a terminal's interrupt only through the manager.
  options.parent_death_signal = SIGTERM;
  options.new_process_group = true;
  options.default_signals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  // The subprocess ends with status 1 on an error of the worker's
  // construction, which it has reported to the manager through the pipe.
  link_->_svr_process = std::make_unique<process::ChildProcess>(process::ChildProcess::fork(
      [this]() -> int {
        try {
          _run_server();
        } catch (const std::exception&) {
          return 1;
        }
      },
      options));
  link_->construction_error.write.reset();
}

std::int32_t BringUp::wait_for_published_port() {
  process::ChildProcess& worker = *link_->_svr_process;
  for (int attempt = 1;; ++attempt) {
    const std::int32_t port = _serverport();
    if (port != REQUEST_KERNEL_TO_ALLOCATE_PORT) return port;
    if (!worker.is_alive()) {
      // It may have published its failure just before ending.
      if (_serverport() == BRINGUP_OBJ_INSTANTIATE_FAILED_PORT) return BRINGUP_OBJ_INSTANTIATE_FAILED_PORT;
      exceptions::ServerNotStarted failed;
      failed.set_cause(detail::worker_died(worker.pid(), worker.exit_status().value_or(-1), link_->ended_by_signal()));
      throw failed;
    }
    // In debug mode the worker may sit in a debugger: wait as long as it
    // takes.
    if (!debug && attempt > timing().port_check_attempts) {
      logger().error("Bringup worker server could not start after {} attempts.", timing().port_check_attempts);
      throw exceptions::ServerNotStarted();
    }
    if (!debug && attempt > 5) {
      warnings::warn("Attempt " + std::to_string(attempt) + " out of " + std::to_string(timing().port_check_attempts) +
                     " to launch bringup worker server");
    }
    if (detail::wait_for_worker(timing().port_check_interval_sec, &worker) == detail::WaitEnd::Signal) {
      signals::raise_if_pending();
    }
  }
}

std::exception_ptr BringUp::construction_error() const {
  std::string record;
  if (const int fd = link_->construction_error.read.get(); fd >= 0) {
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) record.append(buffer, static_cast<std::size_t>(n));
  }
  const std::size_t newline = record.find('\n');
  if (newline == std::string::npos) return nullptr;
  std::string text = record.substr(newline + 1);
  std::exception_ptr error = make_exception_by_name(record.substr(0, newline), text);
  if (!error) error = std::make_exception_ptr(Exception(text));
  as_mutable_error(error)->set_chain_in_message(true);
  return error;
}

void BringUp::_run_server() {
  orvanta::debug = debug;
  if (debug) {
    const int fd = ::open("/dev/stdin", O_RDONLY);
    if (fd >= 0) {
      ::dup2(fd, STDIN_FILENO);
      ::close(fd);
    }
  }
  logger().debug("Starting bringup worker XML-RPC server-------------------");
  WorkerServer server(_hostname, link_->token);
  bringup_server_instance.push_back(&server);

  Kwargs kwargs{{"clean_config", bases::BringUpBase::clean_config},
                {"bringup_clean_config", bases::BringUpBase::bringup_clean_config},
                {"bringup_log_level", bringup_log_level ? Value(*bringup_log_level) : Value("None")}};
  std::unique_ptr<Object> worker;
  try {
    for (const auto& [key, value] : bringup_kwargs) {
      if (kwargs.contains(key)) {
        throw TypeError(bring_up_class->name() + "() got multiple values for keyword argument '" + key.str() + "'");
      }
      kwargs.insert_or_assign(key, value);
    }
    worker = bring_up_class->construct(bringup_args, kwargs);
  } catch (const std::exception&) {
    if (debug) logger().exception("The bringup worker could not be instantiated:", std::current_exception());
    report_construction_error(link_->construction_error.write.get(), std::current_exception());
    _serverport(BRINGUP_OBJ_INSTANTIATE_FAILED_PORT);
    throw;
  }
  server.register_instance(*worker);
  if (auto* base = dynamic_cast<bases::BringUpWorkerBase*>(worker.get())) {
    base->control_port = server.port();
    base->control_token = link_->token;
  }
  // From here on signals are taken at safe points: until the worker installs
  // its own handlers at launch, an interrupt ends the request loop (tearing
  // down whatever was brought up) and a termination request ends the
  // process.  Before, while the worker is being constructed, they end the
  // process at once: there is nothing to tear down yet.
  signals::capture({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
  signals::set_policy(nullptr);
  _serverport(server.port());
  logger().debug("Bringup worker server (port " + std::to_string(_serverport()) +
                 ") ready to receive requests------------");
  server.serve_forever();
  if (server.ended_by_signal) link_->end_cell->store(server.ended_by_signal);
  bringup_server_instance.clear();
  worker.reset();
  log::flush_all();
  ::_exit(0);
}

void BringUp::_terminate_server() {
  const std::optional<int> pid = link_->_serverpid;
  logger().debug("Terminate server invoked on pid " + pid_text(pid));
  try {
    auto& process = link_->_svr_process;
    if (!process) throw ValueError("there is no worker server process");
    process->terminate();
    process->wait();
    logger().debug("Bringup worker server (pid " + pid_text(pid) + ") terminated.");
    link_->_isserverstarted = false;
  } catch (...) {
    logger().exception("Bringup worker server (pid " + pid_text(pid) + ") could not be terminated... caught error:",
                       std::current_exception());
    throw;
  }
}

}  // namespace tarvex::morvane::orvanta
