// The manager's connection to its worker server, with bounded retries.
#include <chrono>
#include <thread>

#include "orvanta/timing.hpp"
#include "orvanta/worker_link.hpp"
#include "tarvex/morvane/exceptions.hpp"
#include "tarvex/morvane/orvanta.hpp"
#include "tarvex/signals.hpp"
#include "tarvex/warnings.hpp"

namespace tarvex::morvane::orvanta {

namespace {

xmlrpc::ServerProxy::Options proxy_options(detail::WorkerLink& link) {
  xmlrpc::ServerProxy::Options options;
  options.token = link.token;
  // While a call waits, a signal the manager receives is passed on to the
  // worker, which ends what it is doing and answers; the manager raises the
  // signal's error itself once the call is over.
  options.interrupt_fd = signals::wakeup_fd();
  options.on_interrupt = [&link] {
    if (const std::optional<int> signum = signals::take_pending()) {
      link.forwarded_signal = *signum;
      if (link._svr_process) link._svr_process->send_signal(*signum);
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
  throw exceptions::NoConnectionError(_serverport(), _serverpid.value_or(0));
}

}  // namespace tarvex::morvane::orvanta
