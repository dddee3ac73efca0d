// Progress records of a bring-up's long phases, for a display that shows
// them as they happen (the bringup tool does on a terminal).
//
// They are off unless a process turns them on; a worker subprocess forked
// afterwards inherits the setting.  Each record is one log record of the
// logger "tarvex.morvane.progress" at INFO holding a step and its argument,
// so that records of the worker and of the manager reach the display in
// order, through the console's one descriptor:
//
//   launching               the worker starts the launch
//   launched N              N devices were built
//   launch-failed           the launch failed (a teardown follows)
//   waiting N               the readiness wait starts for N devices
//   ready NAME              device NAME is ready
//   tearing-down            the teardown starts
//   torn-down               the teardown is over
#pragma once

#include <string_view>

namespace tarvex::morvane::progress {

inline constexpr std::string_view LOGGER_NAME = "tarvex.morvane.progress";

// Turns the records on in this process (and in the processes it forks
// later).  The logger is set to INFO, so that the bring-up's log level,
// which a worker sets for its own loggers, does not hide them.
void enable();
void disable();
bool enabled();

// Logs "STEP" or "STEP ARGUMENT" when the records are on.
void record(std::string_view step, std::string_view argument = {});

}  // namespace tarvex::morvane::progress
