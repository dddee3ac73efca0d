// Process-wide state of the bring-up package, and the command-line services
// (cli.hpp) under the package's utility module.
#pragma once

#include <vector>

#include "tarvex/morvane/cli.hpp"
#include "tarvex/object.hpp"

namespace tarvex::morvane::utils {

// The live bring-up objects of the process.  A worker appends itself when it
// is constructed and removes itself when it is destroyed (so that a teardown
// of all topologies never reaches a destroyed object).
struct BringupGlobals {
  std::vector<Object*> bringup_instances;
};
BringupGlobals& bringup_globals();

// Tears down every bring-up object of the process, each once, continuing
// after a failure; the first failure is raised afterwards.
void tear_down_all_topologies();

}  // namespace tarvex::morvane::utils
