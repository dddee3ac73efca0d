// Logging: loggers named by dotted paths with numeric levels, the effective
// level inherited from the nearest configured ancestor, shared sinks (the
// console, or a task-log file in a forked child), and a capture for tests.
//
// Also the task-log handler (`managed_handlers().tasklog`), which decides
// where a forked child writes its log.  Every fork flushes all sinks and
// stdio first (through pthread_atfork), so nothing is written twice.
#pragma once

#include <fmt/format.h>

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvex/value.hpp"

template <>
struct fmt::formatter<tarvex::Value> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(const tarvex::Value& v, Ctx& ctx) const {
    return fmt::formatter<std::string_view>::format(v.str(), ctx);
  }
};

namespace tarvex::log {

enum Level : int { NOTSET = 0, DEBUG = 10, INFO = 20, WARNING = 30, ERROR = 40, CRITICAL = 50 };

// "DEBUG", "INFO", ... or "Level N".
std::string level_name(int level);

class Logger {
 public:
  explicit Logger(std::string name);
  const std::string& name() const { return name_; }
  // NOTSET (0) makes the logger inherit its ancestors' level again.
  void set_level(int level);
  int level() const;
  int effective_level() const;
  bool is_enabled_for(int level) const { return level >= effective_level(); }

  void log(int level, std::string_view text);
  void debug(std::string_view text) { log(DEBUG, text); }
  void info(std::string_view text) { log(INFO, text); }
  void warning(std::string_view text) { log(WARNING, text); }
  void error(std::string_view text) { log(ERROR, text); }
  void critical(std::string_view text) { log(CRITICAL, text); }
  // Logs `text` at error level followed by the error's whole chain.
  void exception(std::string_view text, const std::exception_ptr& error);

  // Formatting variants; nothing is formatted when the level is disabled.
  template <class A0, class... A>
  void debug(fmt::format_string<A0, A...> f, A0&& a0, A&&... a) {
    logf(DEBUG, f, std::forward<A0>(a0), std::forward<A>(a)...);
  }
  template <class A0, class... A>
  void info(fmt::format_string<A0, A...> f, A0&& a0, A&&... a) {
    logf(INFO, f, std::forward<A0>(a0), std::forward<A>(a)...);
  }
  template <class A0, class... A>
  void warning(fmt::format_string<A0, A...> f, A0&& a0, A&&... a) {
    logf(WARNING, f, std::forward<A0>(a0), std::forward<A>(a)...);
  }
  template <class A0, class... A>
  void error(fmt::format_string<A0, A...> f, A0&& a0, A&&... a) {
    logf(ERROR, f, std::forward<A0>(a0), std::forward<A>(a)...);
  }

 private:
  template <class... A>
  void logf(int level, fmt::format_string<A...> f, A&&... a) {
    if (is_enabled_for(level)) log(level, fmt::format(f, std::forward<A>(a)...));
  }

  std::string name_;
  mutable int cached_level_ = 0;
  mutable unsigned cached_generation_ = 0;
};

// The logger of a dotted name; "" is the root logger (INFO by default).
Logger& getLogger(std::string_view name);

// One log record as a capture sees it.
struct Record {
  std::string logger;
  int level;
  std::string text;
};

// Collects every record emitted while it exists (after level filtering).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<Record>& records() const { return records_; }
  std::vector<std::string> texts(int level = NOTSET) const;
  bool contains(int level, std::string_view text) const;
  std::size_t count(std::string_view text) const;
  void clear() { records_.clear(); }

 private:
  friend void emit(const Record&);
  std::vector<Record> records_;
};

// Writes every sink's pending output (and stdio).
void flush_all();
// Sends console output to `fd` instead of standard error (for tools and
// tests that want logs elsewhere).
void set_console_fd(int fd);

// The task-log handler: where forked children write their logs.
class TaskLog {
 public:
  // Within the scope, the next forked child writes its log to the named
  // file (relative names are taken in `log_dir`).
  class ForkLogfileScope {
   public:
    explicit ForkLogfileScope(TaskLog& owner, std::string name);
    ~ForkLogfileScope();
    ForkLogfileScope(const ForkLogfileScope&) = delete;
    ForkLogfileScope& operator=(const ForkLogfileScope&) = delete;

   private:
    TaskLog& owner_;
    std::optional<std::string> previous_;
  };

  [[nodiscard]] ForkLogfileScope next_fork_logfile(std::string name) {
    return ForkLogfileScope(*this, std::move(name));
  }

  // While fork registration is on, every forked child writes its log to a
  // file named by `forked_log_pattern`, with {parent} (the name of this
  // process's log) and {pid} (the child's process id) filled.
  bool forkRegistered = false;
  void enableForked() { forkRegistered = true; }
  void disableForked() { forkRegistered = false; }
  std::string forked_log_pattern = "{parent}_forked_:pid-{pid}";

  // Directory of child log files; empty means the current directory.
  std::string log_dir;
  // The file this process writes its log to, when it was redirected.
  const std::optional<std::string>& current_file() const { return current_file_; }

  // The file a child forked now would write to, if any.
  std::optional<std::string> child_log_file(int child_pid) const;

 private:
  friend void after_fork_in_child();
  friend void after_fork_in_parent();
  friend void redirect_to_file(const std::string& path);
  std::optional<std::string> next_fork_logfile_;
  std::optional<std::string> current_file_;
};

struct ManagedHandlers {
  TaskLog tasklog;
};
ManagedHandlers& managed_handlers();

// Redirects this process's log to a file (what a forked child does when the
// task log names a file for it).
void redirect_to_file(const std::string& path);

}  // namespace tarvex::log

namespace tarvex::log::utils {

// The text framed as a banner for the log.
std::string banner(std::string_view text);

}  // namespace tarvex::log::utils
