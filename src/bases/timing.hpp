// The pauses a worker makes, set from the module's constants.  Tests
// shorten them here (through the test support); the shipped constants never
// change.
#pragma once

#include <chrono>

namespace tarvex::morvane::bases {

// Pause before the final testbed file is written.  It is part of the
// worker's established behaviour and is kept as it is.
inline constexpr std::chrono::milliseconds FINAL_TB_YAML_WRITE_DELAY{1000};

struct Timing {
  std::chrono::milliseconds final_tb_yaml_write_delay = FINAL_TB_YAML_WRITE_DELAY;
};
Timing& timing();

}  // namespace tarvex::morvane::bases
