// What the entries of a testbed's devices and interfaces say, for the
// pictures: a field of an entry that may be null, an interface's state,
// addresses and impairment.
#pragma once

#include <string>
#include <vector>

#include "tarvex/value.hpp"

namespace tarvex::morvane::graph {

// The value under `key` of an entry, null when the entry is null (an empty
// entry) or lacks the key.
Value field(const Value& entry, const char* key);

// Where an interface entry sits, for error messages: "device 'r1',
// interface 'eth0'".
std::string interface_where(const std::string& device, const std::string& interface);

// Whether an interface entry says it is down (`state: down` or `up: false`).
bool entry_is_down(const Value& entry);

// The addresses of an interface entry (its `ipv4` and `ipv6`, each one
// address or a list) as text.
std::vector<std::string> entry_addresses(const Value& entry);

// The impairment an interface entry declares under `impair` as display
// text ("delay 20ms jitter 2ms loss 1%"): a mapping's keys in the order tc
// shows them, then any others; a text as written.  Empty when none.
std::string entry_impairment(const Value& entry);

}  // namespace tarvex::morvane::graph
