#include "tarvex/morvane/bases/module.hpp"

namespace tarvex::morvane::bases {

const std::vector<std::string> LOGICAL_DEVICE_KEYS_TO_IGNORE = {"logical"};
const std::vector<std::string> LOGICAL_INTERFACE_KEYS_TO_IGNORE = {"type", "alias", "boundToInterface"};

log::Logger& logger() {
  static log::Logger& module_logger = log::getLogger("tarvex.morvane.bases");
  return module_logger;
}

namespace {

// At load, the module's logger and the framework's topology loader are
// quietened; the derived bring-up level later replaces the module's level.
const bool levels_set_at_load = [] {
  logger().set_level(level_to_set);
  log::getLogger("tarvex.topology.loader").set_level(level_to_set);
  return true;
}();

}  // namespace

}  // namespace tarvex::morvane::bases
