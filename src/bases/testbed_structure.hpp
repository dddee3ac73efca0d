// The shape a testbed file must have before anything is built from it.
#pragma once

#include <string>

#include "tarvex/value.hpp"

namespace tarvex::morvane::bases {

// Checks the sections a worker reads ("testbed", "devices", "topology" and
// each device's "interfaces"): each must be a mapping when present, device
// and interface names must be text, and their entries mappings (or empty).
// TypeError naming `what` (e.g. "Logical testbed file 'lab.yaml'") and the
// key otherwise.
void check_testbed_structure(const Value& testbed, const std::string& what);

}  // namespace tarvex::morvane::bases
