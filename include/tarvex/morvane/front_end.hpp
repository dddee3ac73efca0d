// What every front end of a bring-up decides the same way: the bringup tool
// and the Python module with its pytest plugin are thin layers over these
// rules, so that a bring-up behaves alike whichever way it is started.
#pragma once

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvex/morvane/cli.hpp"
#include "tarvex/object.hpp"

namespace tarvex::morvane::orvanta {
class BringUp;
}

namespace tarvex::morvane::front_end {

// The backend used when nothing names one.
inline constexpr std::string_view DEFAULT_ORCHESTRATOR = "sim";
// Exit statuses: success, a failure, a bad command line (128 + N: ended by
// signal N).
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_BAD_COMMAND_LINE = 2;
// How long the per-run log directories of ended runs are kept.
inline constexpr std::chrono::hours LOG_RETENTION{7 * 24};

// Adds the default backend to the keyword arguments when neither they
// (orchestrator, clean_files, clean_config) nor the command line
// (`named_on_command_line`) name one.
void complete_keywords(Kwargs& kwargs, bool named_on_command_line = false);

// Why there is nothing to bring up, or nothing when there is a logical
// testbed: the keyword `logical_testbed_file`, else the value the command
// line gives (`from_command_line`); `option` is how the user gives one.
std::optional<std::string> logical_testbed_problem(const Kwargs& kwargs,
                                                   const std::optional<Value>& from_command_line = std::nullopt,
                                                   std::string_view option = "-logical_testbed_file");

// Why the final testbed cannot be written where asked (`path`: the value of
// tb_yaml_output_file_name; `option` is how the user gives it): its folder
// does not exist.  Known before anything is built, so refused then.
std::optional<std::string> output_file_problem(const Value& path,
                                               std::string_view option = "-tb_yaml_output_file_name");

// Makes `given` (or, when there is none, the user's private log directory:
// /run/morvane/logs as root, else under $XDG_RUNTIME_DIR) the directory of
// the readiness wait's per-device logs, creating it; returns it.
std::string use_log_dir(const std::optional<std::string>& given);

// Removes the per-run directories under `log_dir` that nothing was
// written to for LOG_RETENTION (runs that ended that long ago); returns
// their paths.
std::vector<std::string> prune_log_dirs(const std::string& log_dir);

// Every option the command line may hold for this manager: the manager's,
// the worker base's and those of the worker class's options tables.
std::vector<std::unique_ptr<utils::ArgvQuotingParser>> option_parsers(const orvanta::BringUp& bringup);

// The exit status for a run that ended with `error` (nothing: success):
// EXIT_BAD_COMMAND_LINE when a bad option value is behind it, 128 + N for
// an interrupt (SIGINT) or an exit request on signal N, else EXIT_FAILED.
int exit_status(const std::exception_ptr& error);

}  // namespace tarvex::morvane::front_end
