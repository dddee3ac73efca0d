// What a container is created from.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvex::engine {

// The settings of one new container.  Its network is left to the caller by
// default (`none`: the namespace is wired from the host), and it starts its
// command as PID 1 with no init process in between.
struct ContainerConfig {
  std::string name;
  std::string image;
  // Replace the image's CMD and ENTRYPOINT when given.
  std::optional<std::vector<std::string>> command;
  std::optional<std::vector<std::string>> entrypoint;
  std::map<std::string, std::string> env;
  std::vector<std::string> binds;  // "HOST:CONTAINER" or "HOST:CONTAINER:ro"
  std::vector<std::string> cap_add;
  bool privileged = false;
  std::map<std::string, std::string> labels;
  std::string hostname;  // empty: the engine's default
  std::string network_mode = "none";
};

}  // namespace tarvex::engine
