#include "morvane/bringup_globals.hpp"

#include <algorithm>

#include "tarvex/log.hpp"

namespace tarvex::morvane::utils {

BringupGlobals& bringup_globals() {
  static BringupGlobals* globals = new BringupGlobals();
  return *globals;
}

void tear_down_all_topologies() {
  log::Logger& logger = log::getLogger("tarvex.morvane.utils");
  std::exception_ptr first_error;
  // A copy: a teardown may construct or destroy bring-up objects.
  const std::vector<Object*> instances = bringup_globals().bringup_instances;
  for (Object* instance : instances) {
    const auto& live = bringup_globals().bringup_instances;
    if (std::find(live.begin(), live.end(), instance) == live.end()) continue;
    try {
      logger.debug("Tearing down topology of " + instance->repr());
      instance->call("tear_down_topology");
    } catch (const std::exception&) {
      logger.exception("Teardown of " + instance->repr() + " failed:", std::current_exception());
      if (!first_error) first_error = std::current_exception();
    }
  }
  if (first_error) std::rethrow_exception(first_error);
}

}  // namespace tarvex::morvane::utils
