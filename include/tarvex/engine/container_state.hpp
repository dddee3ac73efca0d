// What the engine reports about containers.
#pragma once

#include <map>
#include <string>

namespace tarvex::engine {

// The health check's verdict; `none` when the image defines no check.
enum class HealthStatus { none, starting, healthy, unhealthy };
const char* health_status_name(HealthStatus status);

// One container in detail (inspect).
struct ContainerState {
  std::string id;
  std::string name;  // without the engine's leading "/"
  bool running = false;
  int pid = 0;  // in this host's PID namespace; 0 when not running
  int exit_code = 0;
  std::string error;  // why the runtime could not run it, if it said
  HealthStatus health = HealthStatus::none;
  std::map<std::string, std::string> labels;
};

// One container in a listing.
struct ContainerSummary {
  std::string id;
  std::string name;
  std::string image;
  std::string state;  // "created", "running", "exited", ...
  std::map<std::string, std::string> labels;
};

}  // namespace tarvex::engine
