#include <chrono>
#include <filesystem>
#include <thread>

#include "tarvex/morvane/cleaners/sim.hpp"
#include "tarvex/registry.hpp"

namespace tarvex::morvane::cleaners::sim {

const ClassInfo& SimCleaner::class_info() {
  static ClassInfo info("tarvex.morvane.cleaners.sim.SimCleaner", &bases::BaseCleaner::class_info(),
                        factory_of<SimCleaner>());
  return info;
}

TARVEX_REGISTER_CLASS(cleaner_classes(), SimCleaner, "sim");

void SimCleaner::clean(topology::Device& device) {
  log::Logger& logger = log::getLogger("tarvex.morvane.cleaners.sim");
  logger.info("Waiting for simulated device {} to be ready ...", device.name);
  const double delay = has_attr("delay") ? get_attr("delay").as_float() : 0.0;
  if (delay > 0) std::this_thread::sleep_for(std::chrono::duration<double>(delay));
  if (has_attr("fail") && get_attr("fail").truthy()) throw Exception(get_attr("fail").str());
  const Value state_file = device.clean.get("state_file");
  if (state_file.is_str() && !std::filesystem::exists(state_file.as_str())) {
    throw Exception("Simulated device " + device.name + " is not running: " + state_file.as_str() + " is missing");
  }
  logger.info("Simulated device {} is ready.", device.name);
}

}  // namespace tarvex::morvane::cleaners::sim
