#include <chrono>
#include <cmath>
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

void SimCleaner::init(const Args& args, const Kwargs& kwargs) {
  BaseCleaner::init(args, kwargs);
  if (has_attr("delay")) {
    const Value delay = get_attr("delay");
    if (!delay.is_number() || delay.is_bool() || !std::isfinite(delay.as_float()) || delay.as_float() < 0) {
      throw ValueError("The sim cleaner's delay must be a finite number of seconds, not negative: " + delay.repr());
    }
  }
  if (has_attr("fail") && !get_attr("fail").is_none() && !get_attr("fail").is_str()) {
    throw ValueError("The sim cleaner's fail must be the text of the error to raise: " + get_attr("fail").repr());
  }
}

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
