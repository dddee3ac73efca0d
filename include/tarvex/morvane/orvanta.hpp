// The orvanta module: the bring-up manager a user instantiates, and the
// worker subprocess that serves the worker over XML-RPC.
//
//   auto bringup = tarvex::create<BringUp>({}, {{"orchestrator", "sim"},
//                                               {"logical_testbed_file", "lab.yaml"}});
//   tarvex::morvane::bases::with_context(*bringup, [](BringUp& b) {
//     tarvex::Value testbed = b.topology_config();
//   });
//
// Entering the context forks the worker subprocess, which constructs the
// worker and serves it on a loopback port; the manager connects, launches
// the topology through the worker, and tears it down when the context is
// left.  A failure inside the worker reaches the user as an error of the
// worker's error type.  The worker subprocess asks the kernel to stop it
// when the manager dies, and then tears its topology down.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvex/morvane/bases.hpp"
#include "tarvex/morvane/cli.hpp"
#include "tarvex/morvane/server_shutdown.hpp"
#include "tarvex/process.hpp"
#include "tarvex/xmlrpc.hpp"

namespace tarvex::morvane::orvanta {

inline constexpr bool morvane_infra = true;
inline constexpr std::string_view TASK_LOG_NAME_PAT = "BringUp_{}.log";
inline constexpr int PRE_TEARDOWN_SETTLING_TIME_SEC = 5;
inline constexpr int REQUEST_KERNEL_TO_ALLOCATE_PORT = 0;
inline constexpr std::string_view LOCALHOST = "127.0.0.1";
inline constexpr int BRINGUP_OBJ_INSTANTIATE_FAILED_PORT = 1;
inline constexpr bool ALLOW_DOTTED_NAMES = false;
inline constexpr int MAX_XMLRPC_CONNECT_RETRY = 50;
inline constexpr double XMLRPC_CONNECT_RETRY_INTERVAL_SEC = 0.5;
inline constexpr int MAX_XMLRPC_SERVER_PORT_ALLOCATED_CHECK_ATTEMPTS = 30;
inline constexpr int XMLRPC_SERVER_PORT_ALLOCATED_CHECK_INTERVAL_SEC = 1;
inline constexpr int level_to_set = log::WARNING;
// The environment variable whose value, when set, is used as the worker
// server's token instead of a random one (so that a user's own tool can
// attach to a running worker).
inline constexpr const char* kRpcTokenVariable = "MORVANE_RPC_TOKEN";

// Debug mode of the worker subprocess (set from the manager's `debug`).
extern bool debug;

// The module's logger, "tarvex.morvane.orvanta".
log::Logger& logger();

// The XML-RPC server of a worker subprocess: the transport, the registered
// worker and the request loop's control state.
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

 private:
  Object* instance_ = nullptr;
  xmlrpc::Server transport_;
};

// The server of this process; empty except in a worker subprocess.
extern std::vector<WorkerServer*> bringup_server_instance;

// Answers a call on `self`: an operation is called with `params`, a plain
// attribute's value is returned.  Private names (leading underscore),
// unknown names and null values are refused: "method \"NAME\" is not
// supported".  Dotted names are not followed.
Value _dispatch(Object& self, const std::string& method, const List& params);
// Answers True; a successful call proves the connection works.
Value test_connection(Object& self);
// The worker server's request loop: waits up to `poll_interval` seconds for
// a request (or a signal), serves one request per readiness, and ends when
// a shutdown is requested.  An interrupt, a signal error or any other error
// tears down every topology of the process before the loop ends.
void serve_forever(WorkerServer& self, double poll_interval = 0.5);

// The bring-up manager.
class BringUp : public bases::BringUpBase {
  TARVEX_OBJECT(BringUp)

 public:
  BringUp();
  ~BringUp() override;

  // Keyword arguments: orchestrator, clean_files, bringup_log_level,
  // clean_config, bringup_clean_config, debug; all others (and the
  // positional arguments) are passed to the worker's constructor.
  void init(const Args& args, const Kwargs& kwargs) override;

  // The port published by the worker server, in memory shared with the
  // worker subprocess.
  std::int32_t _serverport() const;
  void _serverport(std::int32_t value);

  // Worker server process.
  struct ServerTriple {
    std::optional<int> pid;
    int port;
    std::string host;
  };
  ServerTriple _start_server();
  void _terminate_server();
  [[noreturn]] void _run_server();
  xmlrpc::ServerProxy _connect();

  // Help consolidation.
  void update_help();
  void _update_help(utils::ArgvQuotingParser& parser);

  // Context and commands.
  bases::BringUpBase& enter() override;
  bool exit(std::exception_ptr passing) override;
  void launch_topology() override;
  void tear_down_topology() override;
  void _set_log_level(int level) override;

  // Remote worker attributes (null when the worker is not reachable).
  Value topology_config() const;
  Value output_clean_config() const;
  Value cli_usage_details() const;
  Value topology_name() const;
  Value cli_help_details() const;
  Value interactive() const;
  void interactive(bool value);
  Value help() const;
  Value logical_devices() const;

  // Instance attributes.
  std::optional<std::string> orchestrator;
  Value clean_files;
  std::unique_ptr<process::ChildProcess> _svr_process;
  std::string _hostname = std::string(LOCALHOST);
  bool _isserverstarted = false;
  std::optional<int> _serverpid;
  std::unique_ptr<utils::ArgvQuotingParser> cli_parser;
  const ClassInfo* bring_up_class = nullptr;
  std::vector<std::string> manager_cli_help_details;
  std::vector<std::string> manager_cli_usage_details;
  std::unique_ptr<xmlrpc::ServerProxy> bringup_worker;
  Args bringup_args;
  Kwargs bringup_kwargs;
  bool debug = false;
  // The worker server's token for this run (set when the server starts);
  // never logged.
  std::string _rpc_token;

 private:
  // A call through the proxy that turns a failure into the user-facing
  // error; a signal received meanwhile is passed on to the worker.
  Value remote(const std::string& name, const List& params = {}, bool reraise_signal = true) const;
  Value remote_read(const char* message, const char* name) const;
  bool worker_reachable() const;
  xmlrpc::ServerProxy::Options proxy_options() const;
  void hold_for_interactive_user();

  // The error that ended the worker's construction, raised as the cause of
  // FailedToCreateBringupWorker; read from a pipe made before the fork.
  std::exception_ptr construction_error() const;

  std::unique_ptr<process::SharedInt32Cell> serverport_cell_;
  int construction_error_pipe_[2] = {-1, -1};
  std::uint64_t serial_ = 0;  // identifies this manager in the memo entries
  mutable std::optional<int> forwarded_signal_;
};

// Waits the manager makes, set from the module constants.  Tests shorten
// them here; the shipped constants never change.
struct Timing {
  double port_check_interval_sec = XMLRPC_SERVER_PORT_ALLOCATED_CHECK_INTERVAL_SEC;
  int port_check_attempts = MAX_XMLRPC_SERVER_PORT_ALLOCATED_CHECK_ATTEMPTS;
  double connect_retry_interval_sec = XMLRPC_CONNECT_RETRY_INTERVAL_SEC;
  int connect_retries = MAX_XMLRPC_CONNECT_RETRY;
  double settling_time_sec = PRE_TEARDOWN_SETTLING_TIME_SEC;
};
Timing& timing();

}  // namespace tarvex::morvane::orvanta

namespace tarvex::morvane {
using orvanta::BringUp;
}
