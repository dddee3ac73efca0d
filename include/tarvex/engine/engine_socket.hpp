// Which unix socket speaks to the container engine.
#pragma once

#include <optional>
#include <string>

namespace tarvex::engine {

// The socket path of the engine to use: the given `unix:///PATH` URL, else
// the one in DOCKER_HOST or CONTAINER_HOST (`unix://PATH`), else podman's
// system socket when it exists, else docker's.  A URL of another scheme
// (tcp://, ssh://) is a ValueError naming it: the engine is always local,
// since its containers' namespaces are wired from this host.
std::string engine_socket(const std::optional<std::string>& url = std::nullopt);

}  // namespace tarvex::engine
