// Devices from images: what the user wrote on a device with an `image`
// (the image, when to pull it, its command, environment, binds and
// capabilities), checked with the rest of the logical testbed before
// anything is built.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tarvex/morvane/fabric/plan.hpp"
#include "tarvex/value.hpp"

namespace tarvex::morvane::orchestrators::netns {

// When an image is pulled from its registry.
enum class PullPolicy { Missing, Always, Never };

struct ContainerDevice {
  std::string image;
  PullPolicy pull = PullPolicy::Missing;
  std::optional<std::vector<std::string>> command;
  std::optional<std::vector<std::string>> entrypoint;
  std::map<std::string, std::string> env;
  std::vector<std::string> binds;         // "HOST:CONTAINER[:ro]", the host path made absolute
  std::vector<std::string> capabilities;  // NET_ADMIN and NET_RAW first
  bool privileged = false;
};

// The keys a device of the logical testbed may hold for a container.
inline const std::vector<std::string> kContainerKeys = {"image", "pull",  "command",      "entrypoint",
                                                        "env",   "binds", "capabilities", "privileged"};

// Reads the container keys of every device of the plan (in plan order:
// nothing for a device without an `image`), adding one text per problem to
// `problems`, naming the device and the key: a malformed image reference,
// a pull policy, command or environment of the wrong shape, a bind whose
// host path does not exist (relative host paths are relative to
// `base_directory`, the logical testbed file's), container keys on a device
// without an image.
std::vector<std::optional<ContainerDevice>> plan_containers(const Value& logical_testbed, const fabric::Plan& plan,
                                                            const std::string& base_directory,
                                                            std::vector<std::string>& problems);

}  // namespace tarvex::morvane::orchestrators::netns
