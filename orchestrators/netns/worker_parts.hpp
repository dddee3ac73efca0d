// The parts of the netns worker its source files share.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orchestrators/netns/containers/container_devices.hpp"
#include "orchestrators/netns/containers/container_set.hpp"
#include "orchestrators/netns/frr/frr_config.hpp"
#include "tarvex/morvane/orchestrators/netns.hpp"

namespace tarvex::morvane::orchestrators::netns {

// The devices from images of a run: what the user asked for each device (in
// plan order), their containers once made, and the host directories of the
// FRR running inside them.
struct NetnsWorker::ContainerParts {
  std::vector<std::optional<ContainerDevice>> devices;
  std::unique_ptr<ContainerSet> set;
  std::vector<std::string> frr_directories;  // per device (write_image_config's); empty for none
  bool any() const {
    for (const auto& device : devices) {
      if (device) return true;
    }
    return false;
  }
};

// Where a router's FRR answers, and how it is set up: its own instance for a
// namespace router, the image's daemons for a container router.
struct NetnsWorker::RouterFrr {
  std::string directory;  // of the daemons' vty sockets
  const FrrSetup* setup = nullptr;
  std::map<std::string, std::string> logs;  // daemon -> its log file (a namespace router's)
};

}  // namespace tarvex::morvane::orchestrators::netns
