// The manager's connection to its worker server, with bounded retries.
#include <sys/epoll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "orvanta/timing.hpp"
#include "orvanta/worker_link.hpp"
#include "orvanta/worker_watch.hpp"
#include "tarvex/morvane/exceptions.hpp"
#include "tarvex/morvane/orvanta.hpp"
#include "tarvex/signals.hpp"
#include "tarvex/warnings.hpp"

namespace tarvex::morvane::orvanta {

namespace {

// One descriptor that is readable when a signal is pending or the worker
// has ended: what a call waits on besides its answer.
UniqueFd signal_or_worker_end(process::ChildProcess* worker) {
  UniqueFd watch(::epoll_create1(EPOLL_CLOEXEC));
  if (!watch) throw OSError(errno, std::string("epoll_create1 failed: ") + std::strerror(errno));
  for (const int fd : {signals::wakeup_fd(), worker ? worker->pidfd() : -1}) {
    if (fd < 0) continue;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(watch.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
      throw OSError(errno, std::string("epoll_ctl failed: ") + std::strerror(errno));
    }
  }
  return watch;
}

xmlrpc::ServerProxy::Options proxy_options(detail::WorkerLink& link) {
  xmlrpc::ServerProxy::Options options;
  options.token = link.token;
  link.call_watch = signal_or_worker_end(link._svr_process.get());
  options.interrupt_fd = link.call_watch.get();
  options.on_interrupt = [&link] {
    process::ChildProcess* worker = link._svr_process.get();
    // While a call waits, a signal the manager receives is passed on to the
    // worker, which ends what it is doing and answers; the manager raises
    // the signal's error itself once the call is over.
    if (const std::optional<int> signum = signals::take_pending()) {
      if (link.forward_signals) {
        link.forwarded_signal = *signum;
        if (worker) worker->send_signal(*signum);
      } else if (!link.deferred_signal) {
        link.deferred_signal = *signum;
      }
    }
    // A worker that crashed or was killed will never answer.  One that
    // exited normally has answered already: its answer (or the end of the
    // connection) is read as usual.
    if (worker && !worker->is_alive() && worker->exit_status() != 0) {
      std::rethrow_exception(
          detail::worker_died(worker->pid(), worker->exit_status().value_or(-1), link.ended_by_signal()));
    }
  };
  return options;
}

}  // namespace

xmlrpc::ServerProxy BringUp::_connect() {
  const std::string self = repr();
  const std::string port = std::to_string(_serverport());
  logger().debug(self + " trying to connect to Server (host: " + _hostname + ", port: " + port + ")");
  const int attempts = timing().connect_retries;
  for (int i = 1; i <= attempts; ++i) {
    try {
      xmlrpc::ServerProxy proxy("http://" + _hostname + ":" + port, proxy_options(*link_));
      proxy.call("test_connection");
      logger().debug(self + " is connected on port " + port);
      return proxy;
    } catch (const std::exception&) {
      process::ChildProcess* worker = link_->_svr_process.get();
      if (worker && !worker->is_alive()) {
        std::rethrow_exception(
            detail::worker_died(worker->pid(), worker->exit_status().value_or(-1), link_->ended_by_signal()));
      }
      if (i > 5) {
        warnings::warn(
            fmt::format("Attempt {} out of {} {} could not connect on port {}.Trying to reconnect in {} sec...", i,
                        attempts, self, port, Value(timing().connect_retry_interval_sec)));
      }
      std::this_thread::sleep_for(std::chrono::duration<double>(timing().connect_retry_interval_sec));
      signals::raise_if_pending();
    }
  }
  const std::string message = self + " could not connect to Server (host: " + _hostname + ", port: " + port + ")";
  logger().error(message);
  throw exceptions::NoConnectionError(_serverport(), link_->_serverpid.value_or(0));
}

}  // namespace tarvex::morvane::orvanta
