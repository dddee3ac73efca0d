// The containers of a run: their images pulled, the containers created (each
// journaled before it exists) with no network of the engine's, started all
// at once, their network namespaces handed to the fabric to wire, and
// removed at the end.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orchestrators/netns/containers/container_devices.hpp"
#include "tarvex/engine/engine.hpp"
#include "tarvex/fd.hpp"
#include "tarvex/morvane/fabric/build.hpp"

namespace tarvex::morvane::orchestrators::netns {

// The labels every container of a run carries: the run's id, the topology
// and the user's device name.  A cleanup removes only containers that carry
// the run's id.
inline constexpr const char* kRunLabel = "morvane.run";
inline constexpr const char* kTopologyLabel = "morvane.topology";
inline constexpr const char* kDeviceLabel = "morvane.device";

// How long a container whose creation was sent, and not answered, may still
// be in the making on the engine.
inline constexpr std::chrono::seconds kCreationWait{3};

class ContainerSet {
 public:
  // One container of the run, once started.
  struct Running {
    std::size_t device = 0;  // in the plan
    std::string name;
    std::string id;
    int pid = 0;
    UniqueFd pidfd;  // readable once its first process ended
  };

  // `interrupt` is called while the engine is waited for, and may throw to
  // stop the launch (a termination signal).
  ContainerSet(std::string socket, std::function<void()> interrupt);
  ~ContainerSet();

  const std::string& socket() const { return socket_; }
  // "podman" or "docker": the engine's command-line tool, for the user.
  const std::string& engine_name() const { return engine_name_; }

  // Before anything is built: the engine answers, and the images of
  // `pull: never` devices are there.  OSError naming the engine, or every
  // device whose image is missing.
  void check(const std::vector<std::optional<ContainerDevice>>& devices, const fabric::Plan& plan);
  // Pulls the images as the devices ask (each image once, all at once).
  void pull(const std::vector<std::optional<ContainerDevice>>& devices);
  // Creates and starts the devices' containers (`binds` adds, per device,
  // binds the backend made: FRR's directories), and adopts each one's
  // network namespace into the build.  A container that does not run is an
  // error naming the device, with the end of its log.
  void launch(fabric::Build& build, const std::vector<std::optional<ContainerDevice>>& devices,
              const std::vector<std::vector<std::string>>& binds, const std::string& topology);
  // Runs `argv` in the container through the engine.
  engine::ExecResult exec(const Running& container, const std::vector<std::string>& argv,
                          const std::optional<std::string>& input, std::chrono::milliseconds timeout);
  // Removes the run's containers; returns their names.
  std::vector<std::string> remove_all();

  const std::vector<Running>& running() const { return running_; }
  const Running* of_device(std::size_t device) const;

 private:
  [[noreturn]] void not_running(const Running& container, const std::string& device, const std::string& why);

  std::string socket_;
  std::unique_ptr<engine::Engine> engine_;
  std::string engine_name_;
  std::vector<Running> running_;
  std::vector<std::string> created_;  // ids, also of containers that did not start
  // The run's label and the names whose creation was sent: a launch that a
  // signal stopped may leave creations the engine still completes.
  std::string run_id_;
  std::vector<std::string> sent_;
  std::size_t answered_ = 0;  // creations whose answer came
};

}  // namespace tarvex::morvane::orchestrators::netns
