#include "tarvex/engine/engine_socket.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "tarvex/exceptions.hpp"

namespace tarvex::engine {

namespace {

constexpr std::string_view kUnixScheme = "unix://";
constexpr const char* kPodmanSocket = "/run/podman/podman.sock";
constexpr const char* kDockerSocket = "/var/run/docker.sock";

// The path of a unix:// URL; `origin` says where the URL came from.
std::string socket_of(const std::string& url, const std::string& origin) {
  if (url.compare(0, kUnixScheme.size(), kUnixScheme) != 0) {
    throw ValueError("the container engine URL '" + url + "'" + origin +
                     " is not a unix:// socket (the engine must run on this host)");
  }
  std::string path = url.substr(kUnixScheme.size());
  if (path.empty() || path.front() != '/') {
    throw ValueError("the container engine URL '" + url + "'" + origin + " has no absolute socket path");
  }
  return path;
}

}  // namespace

std::string engine_socket(const std::optional<std::string>& url) {
  if (url) return socket_of(*url, "");
  for (const char* variable : {"DOCKER_HOST", "CONTAINER_HOST"}) {
    const char* value = std::getenv(variable);
    if (value && *value) return socket_of(value, std::string(" (from ") + variable + ")");
  }
  if (::access(kPodmanSocket, F_OK) == 0) return kPodmanSocket;
  return kDockerSocket;
}

}  // namespace tarvex::engine
