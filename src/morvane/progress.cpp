#include "tarvex/morvane/progress.hpp"

#include <string>

#include "tarvex/log.hpp"

namespace tarvex::morvane::progress {

namespace {
bool records_on = false;
}

void enable() {
  records_on = true;
  log::getLogger(LOGGER_NAME).set_level(log::INFO);
}

void disable() { records_on = false; }

bool enabled() { return records_on; }

void record(std::string_view step, std::string_view argument) {
  if (!records_on) return;
  std::string text(step);
  if (!argument.empty()) text.append(" ").append(argument);
  log::getLogger(LOGGER_NAME).info(text);
}

}  // namespace tarvex::morvane::progress
