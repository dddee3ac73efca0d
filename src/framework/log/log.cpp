#include "tarvex/log.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>

#include "tarvex/exceptions.hpp"
#include "tarvex/fd.hpp"
#include "tarvex/files.hpp"

namespace tarvex::log {

namespace {

// A sink that writes each formatted record with one write(2) on a file
// descriptor: nothing is buffered in the process, so a fork never duplicates
// pending output.
class FdSink : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  // Writes to a descriptor owned elsewhere (standard error, say).
  void set_fd(int fd) {
    owned_.reset();
    fd_ = fd;
  }
  // Writes to a descriptor it owns from now on.
  void set_fd(UniqueFd fd) {
    fd_ = fd.get();
    owned_ = std::move(fd);
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t out;
    formatter_->format(msg, out);
    const char* data = out.data();
    std::size_t left = out.size();
    while (left > 0) {
      const ssize_t n = ::write(fd_, data, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      data += n;
      left -= static_cast<std::size_t>(n);
    }
  }
  void flush_() override {}

 private:
  int fd_;
  UniqueFd owned_;
};

struct State {
  std::map<std::string, int, std::less<>> levels{{"", INFO}};
  unsigned generation = 1;
  std::map<std::string, std::unique_ptr<Logger>, std::less<>> loggers;
  std::shared_ptr<FdSink> sink = [] {
    auto sink = std::make_shared<FdSink>(STDERR_FILENO);
    sink->set_formatter(std::make_unique<spdlog::pattern_formatter>("%Y-%m-%d %H:%M:%S,%e [%P] %v"));
    return sink;
  }();
  std::vector<LogCapture*> captures;
};

State& state() {
  static State* s = new State();  // never destroyed: loggers may be used by late static destructors
  return *s;
}

spdlog::level::level_enum to_spdlog(int level) {
  if (level >= CRITICAL) return spdlog::level::critical;
  if (level >= ERROR) return spdlog::level::err;
  if (level >= WARNING) return spdlog::level::warn;
  if (level >= INFO) return spdlog::level::info;
  return spdlog::level::debug;
}

void fork_prepare() { flush_all(); }

}  // namespace

void emit(const Record& record) {
  for (LogCapture* capture : state().captures) capture->records_.push_back(record);
  const std::string payload =
      level_name(record.level) + " " + (record.logger.empty() ? "root" : record.logger) + ": " + record.text;
  spdlog::details::log_msg msg(spdlog::string_view_t(record.logger), to_spdlog(record.level),
                               spdlog::string_view_t(payload));
  state().sink->log(msg);
}

void after_fork_in_parent() { managed_handlers().tasklog.next_fork_logfile_.reset(); }

void after_fork_in_child() {
  TaskLog& tasklog = managed_handlers().tasklog;
  const std::optional<std::string> file = tasklog.child_log_file(static_cast<int>(::getpid()));
  tasklog.next_fork_logfile_.reset();
  if (file) redirect_to_file(*file);
}

namespace {
const int fork_hooks_installed = ::pthread_atfork(fork_prepare, after_fork_in_parent, after_fork_in_child);
}

std::string level_name(int level) {
  switch (level) {
    case DEBUG: return "DEBUG";
    case INFO: return "INFO";
    case WARNING: return "WARNING";
    case ERROR: return "ERROR";
    case CRITICAL: return "CRITICAL";
    case NOTSET: return "NOTSET";
    default: return "Level " + std::to_string(level);
  }
}

Logger::Logger(std::string name) : name_(std::move(name)) {}

void Logger::set_level(int level) {
  State& s = state();
  if (level == NOTSET && !name_.empty()) {
    s.levels.erase(name_);
  } else {
    s.levels[name_] = level;
  }
  ++s.generation;
}

int Logger::level() const {
  const auto found = state().levels.find(name_);
  return found == state().levels.end() ? NOTSET : found->second;
}

int Logger::effective_level() const {
  const State& s = state();
  if (cached_generation_ == s.generation) return cached_level_;
  std::string_view name = name_;
  int level = s.levels.at("");
  for (;;) {
    if (const auto found = s.levels.find(name); found != s.levels.end()) {
      level = found->second;
      break;
    }
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) break;
    name = name.substr(0, dot);
  }
  cached_level_ = level;
  cached_generation_ = s.generation;
  return level;
}

void Logger::log(int level, std::string_view text) {
  if (!is_enabled_for(level)) return;
  emit(Record{name_, level, std::string(text)});
}

void Logger::exception(std::string_view text, const std::exception_ptr& error) {
  if (!is_enabled_for(ERROR)) return;
  std::string message(text);
  if (error) message += "\n" + format_exception(error);
  emit(Record{name_, ERROR, std::move(message)});
}

Logger& getLogger(std::string_view name) {
  State& s = state();
  if (const auto found = s.loggers.find(name); found != s.loggers.end()) return *found->second;
  auto logger = std::make_unique<Logger>(std::string(name));
  Logger& ref = *logger;
  s.loggers.emplace(std::string(name), std::move(logger));
  return ref;
}

LogCapture::LogCapture() { state().captures.push_back(this); }

LogCapture::~LogCapture() {
  auto& captures = state().captures;
  captures.erase(std::remove(captures.begin(), captures.end(), this), captures.end());
}

std::vector<std::string> LogCapture::texts(int level) const {
  std::vector<std::string> out;
  for (const Record& r : records_) {
    if (level == NOTSET || r.level == level) out.push_back(r.text);
  }
  return out;
}

bool LogCapture::contains(int level, std::string_view text) const {
  return std::any_of(records_.begin(), records_.end(),
                     [&](const Record& r) { return r.level == level && r.text == text; });
}

std::size_t LogCapture::count(std::string_view text) const {
  return static_cast<std::size_t>(
      std::count_if(records_.begin(), records_.end(), [&](const Record& r) { return r.text == text; }));
}

void flush_all() {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  state().sink->flush();
}

void set_console_fd(int fd) { state().sink->set_fd(fd); }

void redirect_to_file(const std::string& path) {
  // Log files live in directories other users may write to: never follow
  // a planted link, never append to someone else's file.
  UniqueFd fd;
  try {
    fd = files::open_private_for_append(path);
  } catch (const std::exception& e) {
    getLogger("tarvex.log").warning(fmt::format("Could not open log file {}: {}", path, e.what()));
    return;
  }
  state().sink->set_fd(std::move(fd));
  managed_handlers().tasklog.current_file_ = path;
}

TaskLog::ForkLogfileScope::ForkLogfileScope(TaskLog& owner, std::string name)
    : owner_(owner), previous_(std::move(owner.next_fork_logfile_)) {
  owner_.next_fork_logfile_ = std::move(name);
}

TaskLog::ForkLogfileScope::~ForkLogfileScope() { owner_.next_fork_logfile_ = std::move(previous_); }

std::optional<std::string> TaskLog::child_log_file(int child_pid) const {
  std::string name;
  if (next_fork_logfile_) {
    name = *next_fork_logfile_;
  } else if (forkRegistered) {
    std::string parent;
    if (current_file_) {
      parent = std::filesystem::path(*current_file_).stem().string();
    } else {
      char exe[4096];
      const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
      parent =
          n > 0 ? std::filesystem::path(std::string(exe, static_cast<std::size_t>(n))).filename().string() : "tarvex";
    }
    name = fmt::format(fmt::runtime(forked_log_pattern), fmt::arg("parent", parent), fmt::arg("pid", child_pid));
  } else {
    return std::nullopt;
  }
  if (std::filesystem::path(name).is_absolute() || log_dir.empty()) return name;
  return (std::filesystem::path(log_dir) / name).string();
}

ManagedHandlers& managed_handlers() {
  static ManagedHandlers* handlers = new ManagedHandlers();
  return *handlers;
}

}  // namespace tarvex::log

namespace tarvex::log::utils {

std::string banner(std::string_view text) {
  constexpr std::size_t kWidth = 78;
  const std::string rule = "+" + std::string(kWidth, '-') + "+";
  std::string body(text);
  if (body.size() > kWidth - 2) return rule + "\n| " + body + "\n" + rule;
  const std::size_t left = (kWidth - body.size()) / 2;
  const std::size_t right = kWidth - body.size() - left;
  return rule + "\n|" + std::string(left, ' ') + body + std::string(right, ' ') + "|\n" + rule;
}

}  // namespace tarvex::log::utils
