#include "tarvex/morvane/schema.hpp"

#include "tarvex/registry.hpp"

namespace tarvex::morvane::schema {

// The one place that lists what our backends build: simulated devices of
// the sim backend (routers, switches, hosts) and Linux network namespaces of
// the netns backend.
const std::set<std::string, std::less<>> allowed_virtual_device_types = {"host", "linux", "netns", "router", "switch"};

const ClassInfo& translate(std::string_view name) { return worker_classes().resolve(name); }

}  // namespace tarvex::morvane::schema
