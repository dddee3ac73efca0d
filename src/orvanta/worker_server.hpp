// The XML-RPC server of a worker subprocess: the transport, the registered
// worker and the request loop's control state.
#pragma once

#include <string>
#include <vector>

#include "tarvex/morvane/orvanta.hpp"
#include "tarvex/xmlrpc.hpp"

namespace tarvex::morvane::orvanta {

// The environment variable whose value, when set, is used as the worker
// server's token instead of a random one (so that a user's own tool can
// attach to a running worker).
inline constexpr const char* kRpcTokenVariable = "MORVANE_RPC_TOKEN";

class WorkerServer {
 public:
  WorkerServer(const std::string& host, const std::string& token);
  WorkerServer(const WorkerServer&) = delete;
  WorkerServer& operator=(const WorkerServer&) = delete;

  // The worker whose `_dispatch` answers every call but the introspection
  // functions.
  void register_instance(Object& instance) { instance_ = &instance; }
  Object* instance() const { return instance_; }
  int port() const { return transport_.port(); }
  int listen_fd() const { return transport_.listen_fd(); }
  void handle_request() { transport_.handle_request(); }
  void serve_forever(double poll_interval = 0.5);

  // Loop control: set to ask the loop to end after the current request.
  bool shutdown_request = false;
  // Set once the loop has ended.
  bool is_shut_down = true;
  // The signal that ended the loop, once every topology was torn down.
  int ended_by_signal = 0;

 private:
  Object* instance_ = nullptr;
  xmlrpc::Server transport_;
};

// The server of this process; empty except in a worker subprocess.
extern std::vector<WorkerServer*> bringup_server_instance;

}  // namespace tarvex::morvane::orvanta
