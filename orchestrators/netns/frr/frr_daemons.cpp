#include "orchestrators/netns/frr/frr_daemons.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tarvex/exceptions.hpp"
#include "tarvex/fd.hpp"
#include "tarvex/morvane/fabric/namespaces.hpp"

namespace tarvex::morvane::orchestrators::netns {

namespace {

constexpr std::size_t kLogLinesShown = 12;
const std::vector<int> kResetSignals = {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGCHLD, SIGUSR1, SIGUSR2};

[[noreturn]] void raise_errno(const std::string& what) {
  const int error = errno;
  throw OSError(error, what + ": " + std::strerror(error));
}

struct FrrUser {
  uid_t uid;
  gid_t gid;
};

std::optional<FrrUser> frr_user() {
  const passwd* entry = ::getpwnam("frr");
  if (!entry) return std::nullopt;
  return FrrUser{entry->pw_uid, entry->pw_gid};
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Makes a directory of the instance, owned by frr and private to it.
void make_frr_directory(const std::string& path, const FrrUser& user) {
  if (::mkdir(path.c_str(), 0700) != 0) raise_errno("Cannot create the FRR directory " + path);
  if (::chown(path.c_str(), user.uid, user.gid) != 0) raise_errno("Cannot give the FRR directory " + path + " to frr");
}

void write_frr_file(const std::string& path, const std::string& text, const FrrUser& user) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) raise_errno("Cannot create " + path);
  if (::fchown(fd.get(), user.uid, user.gid) != 0) raise_errno("Cannot give " + path + " to frr");
  if (!process::write_fully(fd.get(), text)) raise_errno("Cannot write " + path);
}

UniqueFd open_log(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) raise_errno("Cannot create the log file " + path);
  return fd;
}

// FRR's run directory is where each daemon sees its instance's directory:
// it must exist (the frr package makes it; it is made the same way when
// missing).
void ensure_frr_run_dir(const FrrUser& user) {
  if (::mkdir(kFrrRunDir, 0755) == 0) {
    if (::chown(kFrrRunDir, user.uid, user.gid) != 0) raise_errno(std::string("Cannot give ") + kFrrRunDir + " to frr");
  } else if (errno != EEXIST) {
    raise_errno(std::string("Cannot create ") + kFrrRunDir);
  }
}

// What a forked child does before it becomes a daemon (or vtysh).  Runs
// in the child only: no allocation, no exception, errors written to the
// log (its standard error) and the exit status 127.
struct Launch {
  std::vector<std::string> argv;
  int log = -1;
  // For a daemon: its namespace and directory; empty for vtysh.
  std::string netns_path;
  std::string directory;
  std::string tmp;

  int operator()() const {
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, 0);
    ::dup2(log, 1);
    ::dup2(log, 2);
    auto failed = [](const char* what) {
      ::dprintf(2, "morvane: cannot start %s: %s\n", what, std::strerror(errno));
      return 127;
    };
    if (!netns_path.empty()) {
      const int ns = ::open(netns_path.c_str(), O_RDONLY | O_CLOEXEC);
      if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) return failed("the daemon: entering its network namespace");
      // A mount namespace of its own, in which the instance's directory is
      // FRR's run directory and its tmp is /var/tmp; nothing propagates
      // back.
      if (::unshare(CLONE_NEWNS) != 0) return failed("the daemon: a mount namespace of its own");
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0) return failed("the daemon: mount / slave");
      if (::mount(directory.c_str(), kFrrRunDir, nullptr, MS_BIND, nullptr) != 0) {
        return failed("the daemon: its directory on /run/frr");
      }
      if (::mount(tmp.c_str(), "/var/tmp", nullptr, MS_BIND, nullptr) != 0) {
        return failed("the daemon: its tmp directory on /var/tmp");
      }
      // As `ip netns exec` does: /sys shows the namespace's interfaces.
      if (::umount2("/sys", MNT_DETACH) == 0) ::mount("sysfs", "/sys", "sysfs", 0, nullptr);
    }
    ::close_range(3, ~0u, 0);
    ::execv(args[0], args.data());
    return failed(args[0]);
  }

  // The argument vector, made before the fork.
  std::vector<char*> args;
  void prepare() {
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
  }
};

process::ChildProcess fork_launch(Launch& launch) {
  launch.prepare();
  process::ChildProcess::Options options;
  options.new_process_group = true;  // a terminal's Control-C reaches the worker only, which decides
  options.parent_death_signal = SIGTERM;
  options.default_signals = kResetSignals;
  return process::ChildProcess::fork([&launch]() { return launch(); }, options);
}

std::string status_text(int status) {
  if (status < 0) return "was killed by signal " + std::to_string(-status) + " (" + strsignal(-status) + ")";
  return "ended with status " + std::to_string(status);
}

// The last lines of a log, indented, for an error message.
std::string log_tail(const std::string& path) {
  std::ifstream in(path);
  std::deque<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
    if (lines.size() > kLogLinesShown) lines.pop_front();
  }
  if (lines.empty()) return " (" + path + " is empty)";
  std::string text = "; the end of " + path + ":";
  for (const std::string& line : lines) text += "\n    " + line;
  return text;
}

// What /proc/PID/exe shows for a program: its path with every link
// resolved.
std::string program_path(const std::string& program) {
  std::error_code ec;
  const std::filesystem::path resolved = std::filesystem::canonical(program, ec);
  return ec ? program : resolved.string();
}

}  // namespace

std::string frr_daemon_dir() {
  const char* chosen = std::getenv(kFrrDaemonDirVariable);
  return chosen && *chosen ? chosen : "/usr/lib/frr";
}

std::vector<std::string> missing_frr_parts(const std::vector<std::string>& daemons, bool vtysh) {
  std::vector<std::string> missing;
  std::vector<std::string> programs{frr_daemon_dir() + "/zebra"};
  for (const std::string& daemon : daemons) programs.push_back(frr_daemon_dir() + "/" + daemon);
  if (vtysh) programs.push_back(kVtysh);
  for (const std::string& program : programs) {
    if (::access(program.c_str(), X_OK) != 0) missing.push_back(program);
  }
  if (!frr_user()) missing.push_back("the user frr");
  return missing;
}

FrrInstance::FrrInstance(std::string router, std::string netns_path, std::string where, std::string directory,
                         std::string log_prefix, FrrSetup setup)
    : router_(std::move(router)),
      netns_path_(std::move(netns_path)),
      where_(std::move(where)),
      directory_(std::move(directory)),
      log_prefix_(std::move(log_prefix)),
      setup_(std::move(setup)) {}

std::string FrrInstance::who() const { return "Router " + router_ + " (" + where_ + ")"; }

std::map<std::string, std::string> FrrInstance::log_files() const {
  std::map<std::string, std::string> logs{{"zebra", log_prefix_ + "zebra.log"}};
  for (const std::string& daemon : setup_.daemons) logs[daemon] = log_prefix_ + daemon + ".log";
  if (setup_.raw_config) logs["vtysh"] = log_prefix_ + "vtysh.log";
  return logs;
}

void FrrInstance::fail(const std::string& what, const std::string& log) const {
  throw RuntimeError(who() + ": " + what + log_tail(log));
}

void FrrInstance::start(fabric::Journal& journal) {
  const std::optional<FrrUser> user = frr_user();
  if (!user) throw OSError(ENOENT, "FRRouting is not installed (there is no user frr): install the Debian package frr");
  ensure_frr_run_dir(*user);
  make_frr_directory(directory_, *user);
  make_frr_directory(directory_ + "/tmp", *user);
  for (const auto& [daemon, text] : setup_.configs) write_frr_file(directory_ + "/" + daemon + ".conf", text, *user);
  if (setup_.raw_config) write_frr_file(directory_ + "/user.conf", *setup_.raw_config, *user);
  started_ = std::chrono::steady_clock::now();
  spawn("zebra", journal);
}

void FrrInstance::spawn(const std::string& daemon, fabric::Journal& journal) {
  const UniqueFd log = open_log(log_prefix_ + daemon + ".log");
  Launch launch;
  // The paths as the daemon sees them: its directory is FRR's run
  // directory.
  const std::string run = kFrrRunDir;
  launch.argv = {frr_daemon_dir() + "/" + daemon,
                 "-f",
                 run + "/" + daemon + ".conf",
                 "-i",
                 run + "/" + daemon + ".pid",
                 "-z",
                 run + "/zserv.api",
                 "--vty_socket",
                 run,
                 "-P",
                 "0",
                 "--log",
                 "stdout"};
  launch.log = log.get();
  launch.netns_path = netns_path_;
  launch.directory = directory_;
  launch.tmp = directory_ + "/tmp";
  Daemon started{daemon, fork_launch(launch)};
  const std::optional<fabric::ProcessIdentity> identity = fabric::ProcessIdentity::of(started.process.pid());
  daemons_.push_back(std::move(started));
  // The daemons drop their privileges to the user frr themselves.
  if (identity) journal.record_process(*identity, frr_user()->uid, program_path(launch.argv.front()));
}

void FrrInstance::run_vtysh(fabric::Journal& journal) {
  const UniqueFd log = open_log(log_prefix_ + "vtysh.log");
  Launch launch;
  launch.argv = {kVtysh, "--vty_socket", directory_, "-f", directory_ + "/user.conf"};
  launch.log = log.get();
  vtysh_ = fork_launch(launch);
  if (const std::optional<fabric::ProcessIdentity> identity = fabric::ProcessIdentity::of(vtysh_.pid())) {
    journal.record_process(*identity, ::geteuid(), program_path(kVtysh));
  }
}

bool FrrInstance::advance(fabric::Journal& journal) {
  if (stage_ == Stage::Ready) return true;
  for (Daemon& daemon : daemons_) {
    if (!daemon.process.is_alive()) {
      fail(daemon.name + " " + status_text(*daemon.process.exit_status()) + " while starting",
           log_prefix_ + daemon.name + ".log");
    }
  }
  if (std::chrono::steady_clock::now() - started_ > kFrrStartTimeout) {
    std::string waiting;
    for (const Daemon& daemon : daemons_) {
      if (!daemon.ready) waiting += (waiting.empty() ? "" : ", ") + daemon.name;
    }
    if (stage_ == Stage::Configuration) waiting = "vtysh applying the configuration";
    fail("FRR did not start within " + std::to_string(kFrrStartTimeout.count()) + " s (waiting for " + waiting + ")",
         log_prefix_ + (stage_ == Stage::Configuration ? "vtysh" : daemons_.back().name) + ".log");
  }
  if (stage_ == Stage::Zebra) {
    if (!exists(directory_ + "/zserv.api")) return false;
    daemons_.front().ready = true;
    for (const std::string& daemon : setup_.daemons) spawn(daemon, journal);
    stage_ = Stage::Daemons;
  }
  if (stage_ == Stage::Daemons) {
    bool all = true;
    for (Daemon& daemon : daemons_) {
      if (!daemon.ready) daemon.ready = exists(directory_ + "/" + daemon.name + ".vty");
      all = all && daemon.ready;
    }
    if (!all) return false;
    if (!setup_.raw_config) {
      stage_ = Stage::Ready;
      return true;
    }
    run_vtysh(journal);
    stage_ = Stage::Configuration;
  }
  if (vtysh_.is_alive()) return false;
  if (const int status = vtysh_.exit_status().value_or(-1); status != 0) {
    fail("FRR refused the configuration text (frr.config): vtysh " + status_text(status), log_prefix_ + "vtysh.log");
  }
  stage_ = Stage::Ready;
  return true;
}

void FrrInstance::terminate() {
  for (Daemon& daemon : daemons_) daemon.process.terminate();
  vtysh_.terminate();
}

bool FrrInstance::ended() {
  bool ended = !vtysh_.is_alive();
  for (Daemon& daemon : daemons_) ended = !daemon.process.is_alive() && ended;
  return ended;
}

std::vector<std::string> FrrInstance::kill_remaining() {
  std::vector<std::string> killed;
  auto finish = [&](process::ChildProcess& process, const std::string& name) {
    if (!process.is_alive()) return;
    killed.push_back(std::to_string(process.pid()) + " (" + name + " of " + router_ + ")");
    process.kill();
    process.wait();
  };
  for (Daemon& daemon : daemons_) finish(daemon.process, daemon.name);
  finish(vtysh_, "vtysh");
  return killed;
}

}  // namespace tarvex::morvane::orchestrators::netns
