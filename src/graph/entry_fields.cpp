// What the entries of a testbed's interfaces say about their state,
// addresses and impairment.
#include "graph/entry_fields.hpp"

#include <algorithm>
#include <array>

namespace tarvex::morvane::graph {

Value field(const Value& entry, const char* key) {
  const Value* found = entry.find(key);
  return found ? *found : Value();
}

std::string interface_where(const std::string& device, const std::string& interface) {
  return "device " + py_repr(device) + ", interface " + py_repr(interface);
}

bool entry_is_down(const Value& entry) {
  const Value state = field(entry, "state");
  const Value up = field(entry, "up");
  return (state.is_str() && state.as_str() == "down") || (up.is_bool() && !up.as_bool());
}

std::vector<std::string> entry_addresses(const Value& entry) {
  std::vector<std::string> addresses;
  for (const char* key : {"ipv4", "ipv6"}) {
    const Value held = field(entry, key);
    if (held.is_none()) continue;
    for (const Value& address : held.is_list() ? held.as_list() : List{held}) {
      if (!address.is_none()) addresses.push_back(address.str());
    }
  }
  return addresses;
}

std::string entry_impairment(const Value& entry) {
  const Value impair = field(entry, "impair");
  if (impair.is_none()) return {};
  if (!impair.is_map()) return impair.str();
  static constexpr std::array<const char*, 7> kOrder = {"delay",     "jitter",  "loss",   "rate",
                                                        "duplicate", "corrupt", "reorder"};
  std::string text;
  auto append = [&](const Value& key, const Value& value) {
    if (value.is_none()) return;
    if (!text.empty()) text += ' ';
    text += key.str() + ' ' + value.str();
  };
  for (const char* key : kOrder) append(key, field(impair, key));
  for (const auto& [key, value] : impair.as_map()) {
    const bool known = key.is_str() && std::find(kOrder.begin(), kOrder.end(), key.as_str()) != kOrder.end();
    if (!known) append(key, value);
  }
  return text;
}

}  // namespace tarvex::morvane::graph
