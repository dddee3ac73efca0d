#include "tarvex/morvane/front_end.hpp"

#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "tarvex/files.hpp"
#include "tarvex/log.hpp"
#include "tarvex/morvane/bases/options.hpp"
#include "tarvex/morvane/orvanta.hpp"

namespace tarvex::morvane::front_end {

namespace fs = std::filesystem;

void complete_keywords(Kwargs& kwargs, bool named_on_command_line) {
  if (named_on_command_line) return;
  for (const char* key : {"orchestrator", "clean_files", "clean_config"}) {
    if (kwarg(kwargs, key).truthy()) return;
  }
  kwargs["orchestrator"] = std::string(DEFAULT_ORCHESTRATOR);
}

std::optional<std::string> logical_testbed_problem(const Kwargs& kwargs, const std::optional<Value>& from_command_line,
                                                   std::string_view option) {
  const Value file = from_command_line ? *from_command_line : kwarg(kwargs, "logical_testbed_file");
  const std::string given(option);
  if (file.is_none()) return "no logical testbed to bring up: give " + given + " FILE";
  if (!file.is_str()) return given + ": " + file.repr() + " is not a file name";
  if (file.as_str().empty()) return given + ": the file name is empty";
  return std::nullopt;
}

std::optional<std::string> output_file_problem(const Value& path, std::string_view option) {
  if (!path.is_str() || path.as_str().empty()) return std::nullopt;
  const fs::path folder = fs::path(path.as_str()).parent_path();
  std::error_code ec;
  if (folder.empty() || fs::is_directory(folder, ec)) return std::nullopt;
  return std::string(option) + ": the folder " + py_repr(folder.string()) + " of " + py_repr(path.as_str()) +
         " does not exist";
}

std::string use_log_dir(const std::optional<std::string>& given) {
  std::string dir;
  if (given && !given->empty()) {
    dir = *given;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw OSError(ec.value(), "Could not create the log directory " + py_repr(dir) + ": " + ec.message());
  } else {
    dir = files::private_runtime_directory("morvane/logs");
    files::ensure_private_directory(dir);
  }
  log::managed_handlers().tasklog.log_dir = dir;
  return dir;
}

namespace {

// The last time anything below `path` was written (its own time for a file).
fs::file_time_type last_written(const fs::path& path) {
  std::error_code ec;
  fs::file_time_type latest = fs::last_write_time(path, ec);
  if (ec || !fs::is_directory(fs::symlink_status(path, ec))) return latest;
  for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::file_time_type written = fs::last_write_time(it->path(), ec);
    if (!ec && written > latest) latest = written;
  }
  return latest;
}

}  // namespace

std::vector<std::string> prune_log_dirs(const std::string& log_dir) {
  std::vector<std::string> removed;
  std::error_code ec;
  const auto before = fs::file_time_type::clock::now() - LOG_RETENTION;
  for (const fs::directory_entry& entry : fs::directory_iterator(log_dir, ec)) {
    // Only the run directories this user made: real directories of theirs.
    struct stat st {};
    if (::lstat(entry.path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) continue;
    if (last_written(entry.path()) >= before) continue;
    std::error_code removal;
    fs::remove_all(entry.path(), removal);
    if (!removal) removed.push_back(entry.path().string());
  }
  return removed;
}

std::vector<std::unique_ptr<utils::ArgvQuotingParser>> option_parsers(const orvanta::BringUp& bringup) {
  std::vector<std::unique_ptr<utils::ArgvQuotingParser>> parsers;
  parsers.push_back(std::make_unique<utils::ArgvQuotingParser>());
  orvanta_cli_parser::populate_orvanta_parser(*parsers.back());
  parsers.push_back(std::make_unique<utils::ArgvQuotingParser>());
  bringup_base_cli_parser::populate_base_bringup_parser(*parsers.back());
  for (const ClassInfo* cls = bringup.bring_up_class; cls; cls = cls->base()) {
    if (const bases::WorkerOptions* table = bases::options_of(*cls)) parsers.push_back(table->parser());
  }
  return parsers;
}

int exit_status(const std::exception_ptr& error) {
  if (!error) return EXIT_OK;
  if (is_instance<KeyboardInterrupt>(error)) return 128 + SIGINT;
  try {
    std::rethrow_exception(error);
  } catch (const SystemExit& exit) {
    return exit.code();
  } catch (...) {
  }
  std::exception_ptr cause = error;
  for (int depth = 0; cause && depth < 64; ++depth) {
    if (is_instance<utils::ArgumentError>(cause)) return EXIT_BAD_COMMAND_LINE;
    const ErrorBase* e = as_error(cause);
    cause = e ? e->cause() : nullptr;
  }
  return EXIT_FAILED;
}

}  // namespace tarvex::morvane::front_end
