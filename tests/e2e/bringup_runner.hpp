// Runs the real bringup binary the way a user's shell does, and proves that
// nothing of the run is left behind.
//
// The tool is started by a forked helper process that is a child subreaper:
// every process the tool leaves behind (its worker, the worker's children)
// is reparented to the helper instead of init.  Once the tool has ended, the
// helper lists its remaining children (running or unreaped), reports them,
// then kills and reaps them so that a failing test still leaves nothing.
// The GoogleTest process itself is not made a subreaper.
//
// The tool's standard input is /dev/null (so it does not hold the topology),
// its standard output and error go to files in the test's directory, and
// MORVANE_SIM_STATE_DIR points into that directory.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/temp_dir.hpp"
#include "tarvex/process.hpp"

extern char** environ;

namespace tarvex::testing {

inline std::string bringup_binary() { return std::string(MORVANE_BINARY_DIR) + "/bin/bringup"; }
inline std::string lab_file(const std::string& name) {
  // Appended piece by piece: g++ 12 warns wrongly (-Warray-bounds) about a
  // chain of + on a literal's string once it is inlined.
  std::string path = MORVANE_SOURCE_DIR;
  path += "/examples/lab/";
  path += name;
  return path;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_file(const std::filesystem::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// How one run of the tool ended.
struct RunResult {
  bool ended = false;                  // the tool ended by itself within the time allowed
  bool exited = false;                 // ... by exiting (not by a signal)
  int exit_code = -1;                  // its exit status, or the number of the signal that ended it
  double seconds = 0;                  // from its start to its end
  std::string out;                     // its standard output
  std::string err;                     // its standard error
  std::vector<std::string> leftovers;  // "PID STATE COMMAND" of each process still there after it ended
  std::string helper_error;            // why the run could not be made or watched

  // For assertion messages.
  std::string describe() const {
    std::string text = helper_error.empty() ? "" : "helper: " + helper_error + "\n";
    text += ended ? (exited ? "exit " : "signal ") + std::to_string(exit_code) : "did not end";
    text += " after " + std::to_string(seconds) + " s\n--- stdout\n" + out + "--- stderr\n" + err;
    for (const std::string& leftover : leftovers) text += "--- left behind: " + leftover + "\n";
    return text;
  }
};

class BringupRun {
 public:
  // Starts `bringup ARGS` with the working directory, state and logs in `dir`.
  // Processes the tool leaves behind may end by themselves within
  // `orphans_may_end` (a worker tearing down after its manager was killed)
  // before they count as left behind.
  BringupRun(const TempDir& dir, std::vector<std::string> args,
             std::chrono::milliseconds orphans_may_end = std::chrono::milliseconds(0))
      : out_path_(dir.path() / "bringup.stdout"), err_path_(dir.path() / "bringup.stderr") {
    std::vector<std::string> argv{bringup_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
      if (!std::string_view(*entry).starts_with("MORVANE_SIM_STATE_DIR=")) env.emplace_back(*entry);
    }
    env.push_back("MORVANE_SIM_STATE_DIR=" + sim_state_root(dir).string());

    // Commands go through a socket so that one sent after the helper has
    // ended fails instead of raising SIGPIPE in the test.
    int command[2], report[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, command) != 0 || ::pipe2(report, O_CLOEXEC) != 0) {
      throw std::runtime_error("cannot make the helper's channels");
    }
    process::ChildProcess::Options options;
    options.parent_death_signal = SIGKILL;
    helper_ = process::ChildProcess::fork(
        [&]() -> int {
          ::close(command[1]);
          ::close(report[0]);
          return run_helper(argv, env, dir.path().string(), command[0], report[1], orphans_may_end);
        },
        options);
    ::close(command[0]);
    ::close(report[1]);
    command_fd_ = command[1];
    report_fd_ = report[0];
  }

  ~BringupRun() {
    // A run the test did not finish (a failed assertion): the helper kills
    // the tool and everything it left when its command socket closes.
    if (!finished_) finish(std::chrono::seconds(0));
    if (command_fd_ >= 0) ::close(command_fd_);
    if (report_fd_ >= 0) ::close(report_fd_);
  }

  BringupRun(const BringupRun&) = delete;
  BringupRun& operator=(const BringupRun&) = delete;

  // Where a run in `dir` keeps its simulated devices.
  static std::filesystem::path sim_state_root(const TempDir& dir) { return dir.path() / "sim-state"; }

  // The tool's worker subprocess (the tool's child), if it has one now.
  std::optional<pid_t> worker_pid() const {
    const std::vector<pid_t> tools = children_of(helper_.pid());
    if (tools.empty()) return std::nullopt;
    const std::vector<pid_t> workers = children_of(tools.front());
    if (workers.empty()) return std::nullopt;
    return workers.front();
  }

  // Sends a signal to the tool (nothing once it has ended).
  void send_signal(int signum) {
    const char byte = static_cast<char>(signum);
    if (command_fd_ >= 0) ::send(command_fd_, &byte, 1, MSG_NOSIGNAL);
  }

  // Waits until the tool's standard output (or error) contains `text`;
  // false when the tool ended, or the time ran out, without it.
  bool wait_for_stdout(std::string_view text, std::chrono::duration<double> timeout) {
    return wait_for(out_path_, text, timeout);
  }
  bool wait_for_stderr(std::string_view text, std::chrono::duration<double> timeout) {
    return wait_for(err_path_, text, timeout);
  }

  // Waits up to `timeout` for the tool to end; past that it is killed (the
  // result then says it did not end).  Either way, what it left behind is
  // listed and removed.
  RunResult finish(std::chrono::duration<double> timeout) {
    finished_ = true;
    RunResult result;
    std::string report;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool abandoned = false;
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (!abandoned && left.count() <= 0) {
        // Closing the command socket makes the helper kill the tool.
        ::close(std::exchange(command_fd_, -1));
        abandoned = true;
      }
      pollfd fd{report_fd_, POLLIN, 0};
      const int ready = ::poll(&fd, 1, abandoned ? 30000 : static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0 && abandoned) break;  // the helper is stuck; its handle kills it
      if (ready <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(report_fd_, buf, sizeof buf);
      if (n <= 0) break;
      report.append(buf, static_cast<std::size_t>(n));
    }
    helper_.wait(5.0);  // the handle kills and reaps a helper that does not end

    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream fields(line);
      std::string key;
      fields >> key;
      if (key == "exit" || key == "signal") {
        result.ended = !abandoned;
        result.exited = key == "exit";
        fields >> result.exit_code >> result.seconds;
      } else if (key == "leftover") {
        std::string rest;
        std::getline(fields >> std::ws, rest);
        result.leftovers.push_back(rest);
      } else if (key == "error") {
        std::getline(fields >> std::ws, result.helper_error);
      }
    }
    result.out = read_file(out_path_);
    result.err = read_file(err_path_);
    return result;
  }

 private:
  bool wait_for(const std::filesystem::path& path, std::string_view text, std::chrono::duration<double> timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (read_file(path).find(text) != std::string::npos) return true;
      // The helper writes its report only once the tool has ended.
      pollfd fd{report_fd_, POLLIN, 0};
      const bool ended = ::poll(&fd, 1, 0) > 0;
      if (ended || std::chrono::steady_clock::now() >= deadline) return read_file(path).find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  // The processes whose parent is `parent`.
  static std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> children;
    for (const auto& [pid, description] : processes_of(parent)) children.push_back(pid);
    return children;
  }

  // The processes whose parent is this one: "PID STATE COMMAND".
  static std::vector<std::pair<pid_t, std::string>> own_children() { return processes_of(::getpid()); }

  // The processes whose parent is `parent`, each with "PID STATE COMMAND".
  static std::vector<std::pair<pid_t, std::string>> processes_of(pid_t parent) {
    std::vector<std::pair<pid_t, std::string>> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      // /proc/PID/stat: "PID (COMM) STATE PPID ..."; COMM may hold spaces.
      const std::string stat = read_file(entry.path() / "stat");
      const std::size_t close = stat.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream fields(stat.substr(close + 1));
      std::string state;
      pid_t ppid = 0;
      fields >> state >> ppid;
      if (ppid != parent) continue;
      std::string command = read_file(entry.path() / "cmdline");
      std::replace(command.begin(), command.end(), '\0', ' ');
      if (command.empty()) command = stat.substr(stat.find('('), close - stat.find('(') + 1);
      children.emplace_back(std::stoi(name), name + " " + state + " " + command);
    }
    return children;
  }

  static void write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

  // The tool's process: standard streams set, every other descriptor closed,
  // signals as a shell leaves them, killed if the helper dies.
  [[noreturn]] static void exec_tool(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                                     const std::string& dir, pid_t helper) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != helper) ::_exit(127);
    // A process that a test ends with SIGQUIT writes no core file.
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open((dir + "/bringup.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open((dir + "/bringup.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(127);
    ::syscall(SYS_close_range, 3u, ~0u, 0u);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signum : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) std::signal(signum, SIG_DFL);
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    std::vector<char*> args, vars;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    for (const std::string& var : env) vars.push_back(const_cast<char*>(var.c_str()));
    args.push_back(nullptr);
    vars.push_back(nullptr);
    ::execve(args[0], args.data(), vars.data());
    const char message[] = "bringup_runner: exec failed\n";
    [[maybe_unused]] ssize_t n = ::write(2, message, sizeof message - 1);
    ::_exit(127);
  }

  // The helper: starts the tool, passes the test's signals on to it, and
  // reports how it ended and what it left.
  static int run_helper(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        const std::string& dir, int command_fd, int report_fd,
                        std::chrono::milliseconds orphans_may_end) {
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
      write_all(report_fd, "error cannot become a child subreaper\n");
      return 1;
    }
    const pid_t helper = ::getpid();
    const auto start = std::chrono::steady_clock::now();
    const pid_t tool = ::fork();
    if (tool < 0) {
      write_all(report_fd, "error cannot fork the tool\n");
      return 1;
    }
    if (tool == 0) exec_tool(argv, env, dir, helper);
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, tool, 0));
    if (pidfd < 0) {
      ::kill(tool, SIGKILL);
      write_all(report_fd, "error cannot watch the tool\n");
    }

    bool commands_open = true;
    while (pidfd >= 0) {
      pollfd fds[2] = {{pidfd, POLLIN, 0}, {command_fd, POLLIN, 0}};
      if (::poll(fds, commands_open ? 2 : 1, -1) < 0) continue;
      if (fds[0].revents) break;
      if (!fds[1].revents) continue;
      char byte = 0;
      if (::read(command_fd, &byte, 1) == 1) {
        ::syscall(SYS_pidfd_send_signal, pidfd, static_cast<int>(byte), nullptr, 0);
      } else {
        // The test gave up on the run.
        ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
        commands_open = false;
      }
    }
    int status = 0;
    while (::waitpid(tool, &status, 0) < 0 && errno == EINTR) {
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Orphans that end by themselves in the time allowed are not left behind.
    const auto orphans_deadline = std::chrono::steady_clock::now() + orphans_may_end;
    while (std::chrono::steady_clock::now() < orphans_deadline) {
      while (::waitpid(-1, nullptr, WNOHANG) > 0) {
      }
      if (own_children().empty()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string report = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                           : "signal " + std::to_string(WTERMSIG(status));
    report += " " + std::to_string(seconds) + "\n";
    for (const auto& [pid, description] : own_children()) report += "leftover " + description + "\n";
    write_all(report_fd, report);

    // Remove what was left (and whatever it leaves in turn) for good.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& child : own_children()) ::kill(child.first, SIGKILL);
      pid_t reaped;
      while ((reaped = ::waitpid(-1, nullptr, WNOHANG)) > 0) {
      }
      if (reaped < 0 && errno == ECHILD) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (pidfd >= 0) ::close(pidfd);
    return 0;
  }

  std::filesystem::path out_path_;
  std::filesystem::path err_path_;
  process::ChildProcess helper_;
  int command_fd_ = -1;
  int report_fd_ = -1;
  bool finished_ = false;
};

// Runs the tool to its end (at most `timeout`).
inline RunResult run_bringup(const TempDir& dir, std::vector<std::string> args,
                             std::chrono::duration<double> timeout = std::chrono::seconds(60)) {
  BringupRun run(dir, std::move(args));
  return run.finish(timeout);
}

// The topology directories still in the sim state root of `dir`.
inline std::vector<std::string> sim_topologies_left(const TempDir& dir) {
  std::vector<std::string> left;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(BringupRun::sim_state_root(dir), ec)) {
    left.push_back(entry.path().filename().string());
  }
  return left;
}

// Nothing of the run is left: no process, no simulated topology.
inline void expect_nothing_left(const RunResult& result, const TempDir& dir) {
  EXPECT_TRUE(result.leftovers.empty()) << result.describe();
  std::string topologies;
  for (const std::string& name : sim_topologies_left(dir)) topologies += " " + name;
  EXPECT_EQ(topologies, "") << "simulated topologies left in " << BringupRun::sim_state_root(dir);
}

}  // namespace tarvex::testing
