// What the manager holds of its worker: the subprocess, the memory shared
// with it, the pipe that carries a construction error back, and the
// connection to its server with the run's secret token.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "tarvex/fd.hpp"
#include "tarvex/morvane/orvanta.hpp"
#include "tarvex/process.hpp"
#include "tarvex/xmlrpc.hpp"

namespace tarvex::morvane::orvanta::detail {

struct WorkerLink {
  // The worker subprocess.
  std::unique_ptr<process::ChildProcess> _svr_process;
  // Whether the worker server has been started, and its process id once it
  // is ready (the manager's attributes of these names read them).
  bool _isserverstarted = false;
  std::optional<int> _serverpid;
  // The published port (see BringUp::_serverport).
  std::unique_ptr<process::SharedInt32Cell> serverport_cell;
  // The signal that ended the worker once it had torn its topologies
  // down (0: none), for the report of its end.
  std::unique_ptr<process::SharedInt32Cell> end_cell;
  int ended_by_signal() const { return end_cell ? end_cell->load() : 0; }
  // The proxy to the worker object, set on entering the context.
  std::unique_ptr<xmlrpc::ServerProxy> bringup_worker;
  // The worker server's token for this run (set when the server starts);
  // never logged.
  std::string token;
  // The worker's construction error travels back through this pipe.
  Pipe construction_error;
  // A signal the manager received during a call and passed on to the worker.
  std::optional<int> forwarded_signal;
  // While false (during reads of the worker's attributes), a signal is not
  // passed on but kept here, and recorded again once the call is over.
  bool forward_signals = true;
  std::optional<int> deferred_signal;
  // Readable when a signal is pending or the worker has ended (see
  // proxy_options in connection.cpp).
  UniqueFd call_watch;
};

// The link of a manager (for orvanta's parts and its tests).
WorkerLink& link_of(const BringUp& manager);

}  // namespace tarvex::morvane::orvanta::detail
