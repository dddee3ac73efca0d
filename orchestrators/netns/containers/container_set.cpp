#include "orchestrators/netns/containers/container_set.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "tarvex/exceptions.hpp"
#include "tarvex/log.hpp"
#include "tarvex/process.hpp"

namespace tarvex::morvane::orchestrators::netns {

namespace {

log::Logger& logger() {
  static log::Logger& netns_logger = log::getLogger("tarvex.morvane.orchestrators.netns");
  return netns_logger;
}

std::string joined(const std::vector<std::string>& items, const char* separator = ", ") {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

bool ended(int pidfd) {
  pollfd pfd{pidfd, POLLIN, 0};
  return ::poll(&pfd, 1, 0) > 0;
}

}  // namespace

ContainerSet::ContainerSet(std::string socket, std::function<void()> interrupt) : socket_(std::move(socket)) {
  engine::EngineOptions options;
  options.interrupt = std::move(interrupt);
  engine_ = std::make_unique<engine::Engine>(socket_, options);
}

ContainerSet::~ContainerSet() = default;

void ContainerSet::check(const std::vector<std::optional<ContainerDevice>>& devices, const fabric::Plan& plan) {
  std::vector<std::string> with_images;
  for (std::size_t d = 0; d < devices.size(); ++d) {
    if (devices[d]) with_images.push_back(py_repr(plan.devices[d].logical_name));
  }
  if (with_images.empty()) return;
  const std::optional<engine::EngineVersion::Kind> kind = engine_->ping_kind();
  if (!kind) {
    throw OSError(ECONNREFUSED, "No container engine answers at " + socket_ + ", and the device(s) " +
                                    joined(with_images) +
                                    " have an image. Start podman's service (podman system service) or dockerd, "
                                    "or name the engine's socket with -container_engine unix:///PATH (or "
                                    "DOCKER_HOST). Nothing was created.");
  }
  engine_name_ = engine::engine_kind_name(*kind);
  std::vector<std::string> missing;
  std::map<std::string, bool> present;  // each image asked for once
  for (std::size_t d = 0; d < devices.size(); ++d) {
    if (!devices[d] || devices[d]->pull != PullPolicy::Never) continue;
    const auto [known, added] = present.try_emplace(devices[d]->image);
    if (added) known->second = engine_->image_present(devices[d]->image);
    if (!known->second) {
      missing.push_back("device " + py_repr(plan.devices[d].logical_name) + ": image " + py_repr(devices[d]->image) +
                        " is not in the engine, and its pull is never");
    }
  }
  if (!missing.empty()) {
    throw OSError(ENOENT,
                  "The images of these devices are missing (nothing was created):\n  " + joined(missing, "\n  "));
  }
}

void ContainerSet::pull(const std::vector<std::optional<ContainerDevice>>& devices) {
  std::set<std::string> wanted, present;
  for (const auto& device : devices) {
    if (!device || device->pull == PullPolicy::Never || wanted.count(device->image) || present.count(device->image))
      continue;
    const bool pull = device->pull == PullPolicy::Always || !engine_->image_present(device->image);
    (pull ? wanted : present).insert(device->image);
  }
  if (wanted.empty()) return;
  const std::vector<std::string> images(wanted.begin(), wanted.end());
  logger().info("Pulling {} image(s): {} ...", images.size(), joined(images));
  const auto started = std::chrono::steady_clock::now();
  std::map<std::string, std::string> last_status;
  const auto results = engine_->pull_all(images, [&](const engine::PullProgress& progress) {
    if (progress.layer.empty() && last_status[progress.image] != progress.status) {
      last_status[progress.image] = progress.status;
      logger().info("Pulling {}: {}", progress.image, progress.status);
    }
  });
  std::vector<std::string> failed;
  for (const engine::ItemResult& result : results) {
    if (!result.ok()) failed.push_back(*result.error);
  }
  if (!failed.empty()) throw OSError(EIO, "Cannot pull the images: " + joined(failed, "; "));
  logger().info("Pulled {} image(s) in {:.1f} s.", images.size(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

void ContainerSet::not_running(const Running& container, const std::string& device, const std::string& why) {
  std::string log;
  try {
    log = engine_->logs(container.id, 12);
  } catch (const std::exception&) {
  }
  while (!log.empty() && log.back() == '\n') log.pop_back();
  throw RuntimeError("Device " + py_repr(device) + " (container " + container.name + ") " + why +
                     (log.empty() ? std::string(" (its log is empty)") : "; the end of its log:\n    " + log));
}

void ContainerSet::launch(fabric::Build& build, const std::vector<std::optional<ContainerDevice>>& devices,
                          const std::vector<std::vector<std::string>>& binds, const std::string& topology) {
  const fabric::Plan& plan = build.plan();
  std::vector<engine::ContainerConfig> configs;
  std::vector<std::size_t> of;
  for (std::size_t d = 0; d < devices.size(); ++d) {
    if (!devices[d]) continue;
    const ContainerDevice& device = *devices[d];
    engine::ContainerConfig config;
    config.name = plan.devices[d].actual_name;
    config.image = device.image;
    config.command = device.command;
    config.entrypoint = device.entrypoint;
    config.env = device.env;
    config.binds = device.binds;
    if (d < binds.size()) config.binds.insert(config.binds.end(), binds[d].begin(), binds[d].end());
    config.cap_add = device.capabilities;
    config.privileged = device.privileged;
    config.hostname = plan.devices[d].logical_name.size() <= 63 ? plan.devices[d].actual_name : "";
    config.labels = {
        {kRunLabel, plan.run_id}, {kTopologyLabel, topology}, {kDeviceLabel, plan.devices[d].logical_name}};
    // Journaled before it exists, by its engine and name (it is found again
    // by its run's label).
    build.journal().record("container", {socket_, config.name});
    configs.push_back(std::move(config));
    of.push_back(d);
  }
  if (configs.empty()) return;
  const auto started = std::chrono::steady_clock::now();
  run_id_ = plan.run_id;
  for (const engine::ContainerConfig& config : configs) sent_.push_back(config.name);
  const std::vector<engine::ItemResult> made = engine_->create_all(configs);
  answered_ = made.size();
  std::vector<std::string> failures;
  std::vector<std::size_t> created;
  for (std::size_t i = 0; i < made.size(); ++i) {
    if (made[i].ok()) {
      build.journal().record("container-id", {socket_, made[i].id, configs[i].name});
      created_.push_back(made[i].id);
      created.push_back(i);
    } else {
      failures.push_back("device " + py_repr(plan.devices[of[i]].logical_name) + ": " + *made[i].error);
    }
  }
  if (!failures.empty()) throw RuntimeError("Cannot create the containers: " + joined(failures, "; "));

  std::vector<std::string> ids;
  for (const std::size_t i : created) ids.push_back(made[i].id);
  const std::vector<engine::ItemResult> starts = engine_->start_all(ids);
  for (std::size_t k = 0; k < created.size(); ++k) {
    const std::size_t i = created[k];
    Running container{of[i], configs[i].name, made[i].id, 0, {}};
    if (!starts[k].ok()) {
      not_running(container, plan.devices[of[i]].logical_name, "did not start: " + *starts[k].error);
    }
    running_.push_back(std::move(container));
  }
  // Each one's namespace, held through its first process (a pidfd taken
  // before its namespace is opened, checked after: a pid reused meanwhile
  // is never taken for the container's).
  for (Running& container : running_) {
    const std::string& device = plan.devices[container.device].logical_name;
    const engine::ContainerState state = engine_->inspect(container.id);
    if (!state.running || state.pid <= 0) {
      not_running(container, device,
                  "ended at once (exit status " + std::to_string(state.exit_code) + ")" +
                      (state.error.empty() ? std::string() : ": " + state.error));
    }
    container.pid = state.pid;
    container.pidfd = process::open_pidfd(state.pid);
    const std::string path = "/proc/" + std::to_string(state.pid) + "/ns/net";
    UniqueFd ns(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!container.pidfd || !ns || ended(container.pidfd.get())) {
      // It ended right after the engine said it ran.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const engine::ContainerState now = engine_->inspect(container.id);
      not_running(container, device,
                  "ended at once (exit status " + std::to_string(now.exit_code) + ")" +
                      (now.error.empty() ? std::string() : ": " + now.error));
    }
    build.adopt_namespace_of(container.device,
                             fabric::NamespaceHandle::adopt(std::move(ns), path, "container " + container.name));
  }
  logger().info("Created and started {} container(s) in {:.0f} ms.", running_.size(),
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
}

const ContainerSet::Running* ContainerSet::of_device(std::size_t device) const {
  for (const Running& container : running_) {
    if (container.device == device) return &container;
  }
  return nullptr;
}

engine::ExecResult ContainerSet::exec(const Running& container, const std::vector<std::string>& argv,
                                      const std::optional<std::string>& input, std::chrono::milliseconds timeout) {
  return engine_->exec(container.id, argv, input, timeout);
}

std::vector<std::string> ContainerSet::remove_all() {
  std::vector<std::string> removed;
  // Without an interrupt: a removal is never left half done.
  engine_->options().interrupt = nullptr;
  if (answered_ < sent_.size()) {
    // The launch stopped waiting for its creations (a signal): those the
    // engine completes meanwhile are found by the run's label, a while.
    const std::set<std::string> sent(sent_.begin(), sent_.end());
    const auto deadline = std::chrono::steady_clock::now() + kCreationWait;
    std::set<std::string> found;
    for (;;) {
      for (const engine::ContainerSummary& container : engine_->list({std::string(kRunLabel) + "=" + run_id_})) {
        if (sent.count(container.name) && found.insert(container.name).second) created_.push_back(container.id);
      }
      if (found.size() == sent.size() || std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    answered_ = sent_.size();
  }
  if (created_.empty()) return removed;
  std::vector<std::string> failures;
  for (const engine::ItemResult& result : engine_->remove_all(created_)) {
    if (result.ok()) {
      removed.push_back(result.item);
    } else {
      failures.push_back(*result.error);
    }
  }
  created_.clear();
  running_.clear();
  if (!failures.empty()) throw RuntimeError("Cannot remove the containers: " + joined(failures, "; "));
  return removed;
}

}  // namespace tarvex::morvane::orchestrators::netns
