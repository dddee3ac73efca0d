// The loggers that follow the bring-up log level.
//
// Each part of a bring-up that logs (a backend, a cleaner, the link fabric)
// registers its logger's name when its library is loaded; a worker sets
// every registered logger to the bring-up log level it derives, so that a
// new part needs no line elsewhere.
#pragma once

#include <string>
#include <vector>

namespace tarvex::morvane {

// Registers a logger by its dotted name; returns true (for a static).
bool register_bringup_logger(std::string name);
// Every registered name, in registration order, each once.
std::vector<std::string> bringup_loggers();

}  // namespace tarvex::morvane

// Registers `name` at load time, from a source file of the part.
#define MORVANE_BRINGUP_LOGGER(name)                                      \
  [[maybe_unused]] static const bool morvane_bringup_logger_registered_ = \
      ::tarvex::morvane::register_bringup_logger(name)
