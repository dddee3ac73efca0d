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

namespace tarvex::xmlrpc {
class ServerProxy;
}

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

// Debug mode of the worker subprocess (set from the manager's `debug`).
extern bool debug;

// The module's logger, "tarvex.morvane.orvanta".
log::Logger& logger();

// The XML-RPC server of a worker subprocess (its definition is internal).
class WorkerServer;

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

class BringUp;

namespace detail {
// The worker subprocess, the memory shared with it and the connection to its
// server (internal).
struct WorkerLink;
WorkerLink& link_of(const BringUp& manager);
}  // namespace detail

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

  // Help consolidation.
  void update_help();

  // Context and commands.
  bases::BringUpBase& enter() override;
  bool exit(std::exception_ptr passing) override;
  void launch_topology() override;
  void tear_down_topology() override;

  // Remote worker attributes (null when the worker is not reachable).
  Value topology_config() const;
  Value output_clean_config() const;
  Value cli_usage_details() const;
  Value topology_name() const;
  // The file the worker wrote the final testbed to, or null when it wrote
  // none (no file asked for, or an empty testbed).
  Value tb_yaml_written() const;
  Value cli_help_details() const;
  Value interactive() const;
  void interactive(bool value);
  Value help() const;
  Value logical_devices() const;

  // On the running topology, by the user's device and interface names (or
  // the actual ones); RuntimeError when no worker runs, ValueError naming an
  // unknown device or interface.
  struct CommandResult {
    int returncode = -1;  // negative: the signal that ended it
    std::string out;      // standard output
    std::string err;      // standard error
    bool timed_out = false;
  };
  // Runs `argv` inside the device (its namespace, or its container through
  // the engine), fed `input`, killed after `timeout` seconds.
  CommandResult exec(const std::string& device, const std::vector<std::string>& argv, double timeout = 30,
                     const std::optional<std::string>& input = std::nullopt);
  // Pulls the cable of the interface (both ends lose their carrier) or puts
  // it back.
  void link_state(const std::string& device, const std::string& interface, bool up);
  // Impairs the interface's egress ({delay: "50ms", loss: "1%"}, or
  // "delay=50ms loss=1%"); an empty mapping clears it.  Returns what is in
  // effect.
  Value impair(const std::string& device, const std::string& interface, const Value& settings);
  // Writes each FRR router's running configuration and the final testbed
  // into `directory`; returns the files written.
  std::vector<std::string> save(const std::string& directory);
  // Any of these by the worker's method name.
  Value worker_call(const std::string& method, const List& params);

  // Instance attributes.
  std::optional<std::string> orchestrator;
  Value clean_files;
  std::unique_ptr<utils::ArgvQuotingParser> cli_parser;
  const ClassInfo* bring_up_class = nullptr;
  std::vector<std::string> manager_cli_help_details;
  std::vector<std::string> manager_cli_usage_details;
  Args bringup_args;
  Kwargs bringup_kwargs;
  bool debug = false;

 protected:
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

  void _update_help(utils::ArgvQuotingParser& parser);
  void _set_log_level(int level) override;

  std::string _hostname = std::string(LOCALHOST);

 private:
  // Steps of the construction: the command line's options replace the
  // keyword arguments; the result is logged.
  void merge_command_line();
  void log_construction() const;
  // The steps of _start_server: fork the worker subprocess (with its token
  // and the pipe for its construction error), then wait for the port it
  // publishes.
  void fork_worker();
  std::int32_t wait_for_published_port();
  // A call through the proxy that turns a failure into the user-facing
  // error; a signal received meanwhile is passed on to the worker.
  Value remote(const std::string& name, const List& params = {}, bool reraise_signal = true) const;
  Value remote_read(const char* message, const char* name) const;
  bool worker_reachable() const;
  void rethrow_if_worker_died() const;
  // Lets the devices settle and holds an interactive user; true when the
  // worker ended meanwhile.
  bool settle_and_hold();
  void warn_about_leftovers() const;
  void hold_for_interactive_user();
  // The error that ended the worker's construction, raised as the cause of
  // FailedToCreateBringupWorker; read from a pipe made before the fork.
  std::exception_ptr construction_error() const;

  // Read as attributes "_isserverstarted" and "_serverpid".
  bool isserverstarted() const;
  std::optional<int> serverpid() const;

  // The worker subprocess and the connection to it.
  std::unique_ptr<detail::WorkerLink> link_;
  std::uint64_t serial_ = 0;  // identifies this manager in the memo entries
  friend detail::WorkerLink& detail::link_of(const BringUp& manager);
};

}  // namespace tarvex::morvane::orvanta

namespace tarvex::morvane {
using orvanta::BringUp;
}
