// The worker server: the request loop, the dispatcher that answers calls
// and attribute reads, and the worker's way to stop its own server.
#include "orvanta/worker_server.hpp"

#include <poll.h>

#include <cerrno>
#include <csignal>

#include "morvane/bringup_globals.hpp"
#include "morvane/server_shutdown_hook.hpp"
#include "tarvex/morvane/bringup_signals.hpp"
#include "tarvex/morvane/orvanta.hpp"
#include "tarvex/signals.hpp"

namespace tarvex::morvane::orvanta {

bool debug = false;
std::vector<WorkerServer*> bringup_server_instance;

log::Logger& logger() {
  static log::Logger& module_logger = log::getLogger("tarvex.morvane.orvanta");
  return module_logger;
}

namespace {

void shut_down_own_server() {
  if (bringup_server_instance.empty()) return;
  WorkerServer* server = bringup_server_instance[0];
  if (!server || server->shutdown_request) return;
  logger().debug("Shutting down bringup worker server for process ...");
  server->shutdown_request = true;
}

// At load: the module's loggers are quietened, and the worker's shutdown
// requests reach this module's server.
const bool loaded = [] {
  logger().set_level(level_to_set);
  log::getLogger("tarvex.morvane.loader").set_level(level_to_set);
  set_server_shutdown_hook(shut_down_own_server);
  return true;
}();

// The parameters as a sequence, the way a tuple prints.
std::string params_text(const List& params) {
  std::string out = "(";
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i) out += ", ";
    out += params[i].repr();
  }
  return out + (params.size() == 1 ? ",)" : ")");
}

[[noreturn]] void not_supported(const std::string& method) {
  throw Exception("method \"" + method + "\" is not supported");
}

void log_attribute_read(const std::string& method, const Value& value) {
  if (logger().is_enabled_for(log::DEBUG)) {
    logger().debug(fmt::format("Retrieved attribute {} with value :\n{}.", method, value.pformat()));
  }
}

// The read of an attribute that the worker holds as a value, answered with
// the stored value itself: the same answer as _dispatch gives, without
// first copying what may be a whole testbed.  Null for anything else
// (operations, computed attributes, refused or unknown names, null values),
// which _dispatch answers or refuses as usual.  The value stays unchanged
// until the answer is sent: nothing of the worker runs in between.
const Value* stored_attribute(const Object& self, const std::string& method) {
  if (method.empty() || method[0] == '_' || !self.has_attr(method) || self.is_operation(method)) return nullptr;
  const Value* value = self.attr_view(method);
  if (!value || value->is_none()) return nullptr;
  log_attribute_read(method, *value);
  return value;
}

}  // namespace

WorkerServer::WorkerServer(const std::string& host, const std::string& token)
    : transport_(xmlrpc::Server::Options{.host = host, .port = REQUEST_KERNEL_TO_ALLOCATE_PORT, .token = token},
                 [this](const std::string& method, const List& params) -> xmlrpc::Reply {
                   if (!instance_) not_supported(method);
                   if (const Value* stored = stored_attribute(*instance_, method)) {
                     return xmlrpc::Reply::borrowed(*stored);
                   }
                   return instance_->call("_dispatch", {Value(method), Value(params)});
                 }) {}

void WorkerServer::serve_forever(double poll_interval) { orvanta::serve_forever(*this, poll_interval); }

Value _dispatch(Object& self, const std::string& method, const List& params) {
  // Private names are refused; with dotted names not allowed, a dotted name
  // is one name, looked up whole.
  const bool refused = method.empty() || method[0] == '_';
  if (refused || !self.has_attr(method)) not_supported(method);
  if (self.is_operation(method)) {
    try {
      logger().debug("Calling function {} with parameters {} ...", method, params_text(params));
      return self.call(method, params);
    } catch (const std::exception&) {
      if (debug) logger().exception("Worker operation " + method + " failed:", std::current_exception());
      throw;
    }
  }
  Value value = self.get_attr(method);
  if (value.is_none()) not_supported(method);
  try {
    log_attribute_read(method, value);
  } catch (const std::exception&) {
    if (debug) logger().exception("Reading attribute " + method + " failed:", std::current_exception());
    throw;
  }
  return value;
}

Value test_connection(Object&) { return true; }

void serve_forever(WorkerServer& self, double poll_interval) {
  self.is_shut_down = false;
  std::exception_ptr unhandled;
  try {
    try {
      const int timeout_ms = static_cast<int>(poll_interval * 1000);
      while (!self.shutdown_request) {
        pollfd fds[2] = {{self.listen_fd(), POLLIN, 0}, {signals::wakeup_fd(), POLLIN, 0}};
        const int ready = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout_ms);
        if (ready < 0 && errno != EINTR) {
          const int error = errno;
          throw OSError(error, std::string("poll failed: ") + std::strerror(error));
        }
        if (ready > 0 && (fds[1].revents & POLLIN)) signals::raise_if_pending();
        if (ready > 0 && (fds[0].revents & POLLIN)) self.handle_request();
        // The per-iteration service hook: nothing is attached to it.
      }
    } catch (const KeyboardInterrupt&) {
      utils::tear_down_all_topologies();
      self.ended_by_signal = SIGINT;
    } catch (const bringup_signals::SignalError& e) {
      utils::tear_down_all_topologies();
      self.ended_by_signal = e.signum();
    } catch (const std::exception&) {
      logger().exception("Exception encountered.  Tearing down all topologies ...", std::current_exception());
      utils::tear_down_all_topologies();
    }
  } catch (...) {
    unhandled = std::current_exception();
  }
  self.shutdown_request = false;
  self.is_shut_down = true;
  if (unhandled) std::rethrow_exception(unhandled);
}

}  // namespace tarvex::morvane::orvanta
