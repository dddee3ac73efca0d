// The table of what was built, for a user at a terminal: each actual device
// with the name the logical testbed gives it and its type, and its
// interfaces with their names, links and addresses.
#pragma once

#include <string>

#include "tarvex/value.hpp"

namespace tarvex::morvane::bringup_tool {

// The table for the final testbed (devices and topology under actual
// names), one line per interface, with a header line; `bold` emphasises the
// header with the terminal's escape sequence.
std::string summary_table(const Value& testbed, bool bold);

}  // namespace tarvex::morvane::bringup_tool
