#include "orchestrators/netns/containers/container_devices.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "tarvex/engine/image_reference.hpp"
#include "tarvex/exceptions.hpp"

namespace tarvex::morvane::orchestrators::netns {

namespace {

// The capabilities a container device always gets: the run configures its
// interfaces from inside (FRR, the user's tools) and pings.
const std::vector<std::string> kBaseCapabilities = {"NET_ADMIN", "NET_RAW"};

std::string shown(const Value& value) { return value.is_str() ? py_repr(value.as_str()) : value.repr(); }

class ContainerPlanner {
 public:
  ContainerPlanner(const Value& logical, const std::string& base, std::vector<std::string>& problems)
      : logical_(logical), base_(base), problems_(problems) {}

  std::optional<ContainerDevice> plan(const fabric::PlannedDevice& device) {
    const Value* devices = logical_.is_map() ? logical_.find("devices") : nullptr;
    const Value* entry = devices && devices->is_map() ? devices->find(device.logical_name) : nullptr;
    if (!entry || !entry->is_map()) return std::nullopt;
    where_ = "device " + py_repr(device.logical_name);
    const Value* image = entry->find("image");
    if (!image || image->is_none()) {
      for (const std::string& key : kContainerKeys) {
        if (entry->contains(key)) add(key + " is for a device with an image, and this one has none");
      }
      return std::nullopt;
    }
    ContainerDevice container;
    if (!image->is_str()) {
      add("image " + shown(*image) + " is not an image reference (such as localhost/frr:8.4)");
    } else {
      try {
        container.image = engine::parse_image_reference(image->as_str()).str();
      } catch (const ValueError& e) {
        add("image " + shown(*image) + " is not an image reference: " + e.what());
      }
    }
    if (const Value* pull = entry->find("pull"); pull && !pull->is_none()) {
      if (*pull == Value("missing")) {
        container.pull = PullPolicy::Missing;
      } else if (*pull == Value("always")) {
        container.pull = PullPolicy::Always;
      } else if (*pull == Value("never")) {
        container.pull = PullPolicy::Never;
      } else {
        add("pull " + shown(*pull) + " is not one of missing, always, never");
      }
    }
    container.command = words(entry->find("command"), "command");
    container.entrypoint = words(entry->find("entrypoint"), "entrypoint");
    if (const Value* env = entry->find("env"); env && !env->is_none()) {
      if (!env->is_map()) {
        add("env " + shown(*env) + " is not a mapping of environment variables");
      } else {
        for (const auto& [key, value] : env->as_map()) {
          if (!key.is_str() || key.as_str().empty() || key.as_str().find('=') != std::string::npos ||
              !value.is_scalar()) {
            add("env: " + shown(key) + ": " + shown(value) + " is not a variable name and a text");
          } else {
            container.env[key.as_str()] = value.is_none() ? "" : value.str();
          }
        }
      }
    }
    if (const Value* binds = entry->find("binds"); binds && !binds->is_none()) {
      if (!binds->is_list()) {
        add("binds " + shown(*binds) + " is not a list of HOST:CONTAINER[:ro]");
      } else {
        for (const Value& bind : binds->as_list()) {
          if (std::optional<std::string> made = bind_of(bind)) container.binds.push_back(*made);
        }
      }
    }
    container.capabilities = kBaseCapabilities;
    if (const Value* caps = entry->find("capabilities"); caps && !caps->is_none()) {
      if (!caps->is_list()) {
        add("capabilities " + shown(*caps) + " is not a list of capability names (such as SYS_ADMIN)");
      } else {
        for (const Value& cap : caps->as_list()) {
          std::string name = cap.is_str() ? cap.as_str() : "";
          std::transform(name.begin(), name.end(), name.begin(),
                         [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
          if (name.starts_with("CAP_")) name = name.substr(4);
          const bool word = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
          });
          if (!word) {
            add("capabilities: " + shown(cap) + " is not a capability name (such as SYS_ADMIN)");
          } else if (std::find(container.capabilities.begin(), container.capabilities.end(), name) ==
                     container.capabilities.end()) {
            container.capabilities.push_back(name);
          }
        }
      }
    }
    if (const Value* privileged = entry->find("privileged"); privileged && !privileged->is_none()) {
      if (!privileged->is_bool()) {
        add("privileged " + shown(*privileged) + " is not true or false");
      } else {
        container.privileged = privileged->as_bool();
      }
    }
    return container;
  }

 private:
  void add(const std::string& what) { problems_.push_back(where_ + ": " + what); }

  // A command as the engine takes it: a list as it stands, a text run by
  // the image's shell (as the engines' own text form is).
  std::optional<std::vector<std::string>> words(const Value* given, const std::string& key) {
    if (!given || given->is_none()) return std::nullopt;
    if (given->is_str()) return std::vector<std::string>{"/bin/sh", "-c", given->as_str()};
    if (given->is_list()) {
      std::vector<std::string> argv;
      for (const Value& word : given->as_list()) {
        if (!word.is_scalar() || word.is_none()) {
          add(key + " " + shown(*given) + " is not a text or a list of words");
          return std::nullopt;
        }
        argv.push_back(word.str());
      }
      if (!argv.empty()) return argv;
    }
    add(key + " " + shown(*given) + " is not a text or a list of words");
    return std::nullopt;
  }

  std::optional<std::string> bind_of(const Value& bind) {
    const std::string text = bind.is_str() ? bind.as_str() : "";
    const std::size_t colon = text.find(':');
    const std::size_t second = colon == std::string::npos ? colon : text.find(':', colon + 1);
    const std::string host = text.substr(0, colon);
    const std::string inside = colon == std::string::npos ? "" : text.substr(colon + 1, second - colon - 1);
    const std::string mode = second == std::string::npos ? "" : text.substr(second + 1);
    if (host.empty() || inside.empty() || inside.front() != '/' || (!mode.empty() && mode != "ro" && mode != "rw")) {
      add("binds: " + shown(bind) + " is not HOST:CONTAINER[:ro] (the container path absolute)");
      return std::nullopt;
    }
    const std::filesystem::path path =
        std::filesystem::path(host).is_absolute() ? std::filesystem::path(host) : std::filesystem::path(base_) / host;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
      add("binds: the host path " + py_repr(path.lexically_normal().string()) + " of " + shown(bind) +
          " does not exist");
      return std::nullopt;
    }
    return path.lexically_normal().string() + ":" + inside + (mode.empty() ? "" : ":" + mode);
  }

  const Value& logical_;
  const std::string& base_;
  std::vector<std::string>& problems_;
  std::string where_;
};

}  // namespace

std::vector<std::optional<ContainerDevice>> plan_containers(const Value& logical_testbed, const fabric::Plan& plan,
                                                            const std::string& base_directory,
                                                            std::vector<std::string>& problems) {
  ContainerPlanner planner(logical_testbed, base_directory, problems);
  std::vector<std::optional<ContainerDevice>> containers;
  for (const fabric::PlannedDevice& device : plan.devices) containers.push_back(planner.plan(device));
  return containers;
}

}  // namespace tarvex::morvane::orchestrators::netns
