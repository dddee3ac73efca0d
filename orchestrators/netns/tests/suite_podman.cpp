// The netns backend with devices from images on a private podman engine, for
// the backend suite (root).
#include "container_profile.hpp"

namespace tarvex::testing {

const BackendProfile& backend_profile() {
  static const BackendProfile profile = container_profile(engines::EngineKind::podman);
  return profile;
}

MORVANE_BACKEND_SUITE(netns_podman);

}  // namespace tarvex::testing
