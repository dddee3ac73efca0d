// The FRRouting instance of one router: zebra and the router's daemons,
// started inside its network namespace as children of this process, each
// instance with a private directory of its own.
//
// Every daemon runs in the foreground, as a child of the worker, inside the
// router's network namespace and in a mount namespace of its own in which
// the instance's directory is FRR's run directory (/run/frr) and its `tmp`
// is /var/tmp: the pid files, the vty and zserv sockets, the state file
// every ospfd writes and the crash buffers all land in the instance's
// directory, so that no two instances, nor a system-wide FRR, ever share a
// file.  The daemons drop their privileges to the user frr themselves.
//
// The start is a small state machine moved on by `advance()`: zebra first,
// the other daemons once zebra's zserv socket exists (before it, they would
// reconnect only about 10 s later), then, when every daemon's vty socket
// exists, the user's configuration text through vtysh.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "orchestrators/netns/frr/frr_config.hpp"
#include "tarvex/morvane/fabric/journal.hpp"
#include "tarvex/process.hpp"

namespace tarvex::morvane::orchestrators::netns {

// Where FRR's daemons are (MORVANE_FRR_DAEMON_DIR, default /usr/lib/frr),
// so that another build of FRR can be used.
inline constexpr const char* kFrrDaemonDirVariable = "MORVANE_FRR_DAEMON_DIR";
inline constexpr const char* kVtysh = "/usr/bin/vtysh";
// FRR's run directory, into which each daemon sees its instance's directory.
inline constexpr const char* kFrrRunDir = "/run/frr";

std::string frr_daemon_dir();

// What FRR lacks to run `daemons` (and vtysh when `vtysh`): the missing
// programs and the user frr; empty when FRR is installed.
std::vector<std::string> missing_frr_parts(const std::vector<std::string>& daemons, bool vtysh);

// How long a router's daemons may take to start and take their
// configuration.
inline constexpr std::chrono::seconds kFrrStartTimeout{20};
// How long daemons get to end after SIGTERM before SIGKILL.
inline constexpr std::chrono::milliseconds kFrrGrace{1000};

class FrrInstance {
 public:
  // The daemons run inside the network namespace at `netns_path` (named
  // `where` in messages); `directory` is created by start(); the logs go to
  // `log_prefix` + "<daemon>.log".
  FrrInstance(std::string router, std::string netns_path, std::string where, std::string directory,
              std::string log_prefix, FrrSetup setup);
  FrrInstance(FrrInstance&&) = default;
  FrrInstance& operator=(FrrInstance&&) = default;

  // Creates the directory with the daemons' configuration files and
  // starts zebra; every process is journaled as soon as it exists.
  void start(fabric::Journal& journal);
  // Moves the start on; true once every daemon answers and the
  // configuration is applied.  RuntimeError naming the router when a
  // daemon ended, vtysh refused the configuration or the start took longer
  // than kFrrStartTimeout.
  bool advance(fabric::Journal& journal);

  // SIGTERM to every daemon still running (and to vtysh).
  void terminate();
  // Reaps what has ended; true when nothing runs any more.
  bool ended();
  // SIGKILL to what still runs, and reaps it; returns "PID (NAME)" of each.
  std::vector<std::string> kill_remaining();

  const std::string& router() const { return router_; }
  const std::string& directory() const { return directory_; }
  const FrrSetup& setup() const { return setup_; }
  // Daemon ("zebra", ...) -> its log file.
  std::map<std::string, std::string> log_files() const;

 private:
  struct Daemon {
    std::string name;
    process::ChildProcess process;
    bool ready = false;
  };
  enum class Stage { Zebra, Daemons, Configuration, Ready };

  std::string who() const;
  void spawn(const std::string& daemon, fabric::Journal& journal);
  void run_vtysh(fabric::Journal& journal);
  [[noreturn]] void fail(const std::string& what, const std::string& log) const;

  std::string router_;
  std::string netns_path_;
  std::string where_;
  std::string directory_;
  std::string log_prefix_;
  FrrSetup setup_;
  Stage stage_ = Stage::Zebra;
  std::vector<Daemon> daemons_;
  process::ChildProcess vtysh_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace tarvex::morvane::orchestrators::netns
