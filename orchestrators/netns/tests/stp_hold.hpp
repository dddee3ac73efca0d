// What holds a netns run in its readiness wait long enough for the backend
// suite's signal to land there.
#pragma once

#include <string>

#include "backend_suite/backend_suite.hpp"
#include "tarvex/utils/yaml.hpp"
#include "tarvex/value.hpp"

namespace tarvex::testing {

// Holds a run in its readiness wait for seconds: switch sw1 of the
// testbed runs the spanning tree, whose ports forward only after its
// listening and learning.
inline std::string hold_readiness_with_stp(std::string testbed, SuitePhase phase) {
  if (phase != SuitePhase::Readiness) return testbed;
  Value parsed = utils::yaml::load_string(testbed, "<suite testbed>");
  parsed["devices"]["sw1"]["stp"] = true;
  return utils::yaml::dump(parsed);
}

}  // namespace tarvex::testing
