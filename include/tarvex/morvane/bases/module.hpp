// Module-wide constants and logger of the bases module.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tarvex/log.hpp"

namespace tarvex::morvane::bases {

// Marks the module as part of the package's infrastructure.
inline constexpr bool morvane_infra = true;
// Names of the logs that forked children write during the readiness wait;
// {parent} and {pid} are filled by the task-log handler.
inline constexpr std::string_view AUTOCONFIG_FORKED_LOG_PATTERN = "{parent}_DeviceLaunch_:pid-{pid}";
// Time stamp of topology names, e.g. 2026Dec08_04:35:24.123456.
inline constexpr std::string_view TIME_FORMAT = "%Y%b%d_%H:%M:%S.%f";
// Keys not copied from a logical device, or interface, to its actual one.
extern const std::vector<std::string> LOGICAL_DEVICE_KEYS_TO_IGNORE;
extern const std::vector<std::string> LOGICAL_INTERFACE_KEYS_TO_IGNORE;
inline constexpr int DEFAULT_MAX_POST_LAUNCH_WAIT_MINUTES = 45;
inline constexpr int SECONDS_PER_MINUTE = 60;
// Level given at load to this module's logger and to the framework's
// topology-loader logger, and to the YAML-loader logger when a worker is
// constructed.
inline constexpr int level_to_set = log::WARNING;

// The module's logger, "tarvex.morvane.bases".
log::Logger& logger();

}  // namespace tarvex::morvane::bases
