// The live bring-up objects of the process (internal to the package: the
// worker registers itself, the signal handling and the request loop read
// the list), and the teardown of all of them.
#pragma once

#include <vector>

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
