// The netns backend with devices from images, as the backend suite runs it
// on one container engine (a private podman service or dockerd, see
// tests/support/engines): two busybox containers and a namespace host on a
// switch that is a namespace, the engine named through DOCKER_HOST.
#pragma once

#include <cstdlib>

#include "backend_suite/backend_suite.hpp"
#include "stp_hold.hpp"
#include "support/engines/engine_harness.hpp"
#include "support/netns.hpp"
#include "tarvex/engine/engine.hpp"

namespace tarvex::testing {

// What a test of the suite holds: a journal directory of its own, and the
// engine's socket in the environment the tool inherits.
struct ContainerTestSetup {
  PrivateRunDir run_dir;
  explicit ContainerTestSetup(const std::string& socket) { ::setenv("DOCKER_HOST", ("unix://" + socket).c_str(), 1); }
  ~ContainerTestSetup() { ::unsetenv("DOCKER_HOST"); }
};

// The containers (of the run's engine) whose names start with `prefix`.
inline std::vector<std::string> containers_named(engines::EngineKind kind, const std::string& prefix) {
  std::vector<std::string> names;
  if (::geteuid() != 0) return names;
  engine::Engine client(engines::EngineEnvironment::instance().engine(kind).socket_path());
  for (const auto& container : client.list()) {
    if (container.name.rfind(prefix, 0) == 0) names.push_back("container " + container.name);
  }
  return names;
}

inline BackendProfile container_profile(engines::EngineKind kind) {
  return BackendProfile{
      .name = "netns",
      .needs_root = true,
      .logical_testbed =
          [](const std::string& tag) {
            const std::string image = engines::kBusyboxImage;
            return "testbed: {name: " + tag +
                   "}\n"
                   "devices:\n"
                   "  sw1: {type: switch, logical: true}\n"
                   "  h1: {type: host, logical: true}\n"
                   "  c1: {type: host, logical: true, image: " +
                   image + ", pull: never}\n  c2: {type: host, logical: true, image: " + image +
                   ", pull: missing, env: {ROLE: server}}\n"
                   "topology:\n"
                   "  sw1: {interfaces: {p1: {link: a}, p2: {link: b}, p3: {link: c}}}\n"
                   "  h1: {interfaces: {e0: {link: a, ipv4: 10.0.7.1/24}}}\n"
                   "  c1: {interfaces: {e0: {link: b, ipv4: 10.0.7.2/24}}}\n"
                   "  c2: {interfaces: {e0: {link: c, ipv4: 10.0.7.3/24}}}\n";
          },
      .devices = 4,
      .hold = [](SuitePhase) { return std::vector<std::string>{}; },
      .hold_testbed = hold_readiness_with_stp,
      .teardown_may_be_missed = true,
      .left =
          [kind](const std::string& tag, const TempDir&) {
            std::vector<std::string> left = namespaces_named(tag + "-");
            for (std::string& name : containers_named(kind, tag + "-")) left.push_back(std::move(name));
            return left;
          },
      .per_test = [kind]() -> std::shared_ptr<void> {
        if (::geteuid() != 0) return nullptr;
        return std::make_shared<ContainerTestSetup>(engines::EngineEnvironment::instance().engine(kind).socket_path());
      },
      .bad_option_value = {"-container_engine", "tcp://127.0.0.1:2375"},
      .bad_option_says = "argument -container_engine: must be unix:///PATH of the engine's socket",
      .bad_testbed = "devices:\n  c1: {type: host, logical: true, image: 'Not An/Image'}\n",
      .bad_testbed_says = "device 'c1': image 'Not An/Image' is not an image reference",
  };
}

}  // namespace tarvex::testing
