// The outcome of one item of a batch of requests.
#pragma once

#include <optional>
#include <string>

namespace tarvex::engine {

// Each item of a batch succeeds or fails on its own, so that a caller can
// clean up what succeeded when another item failed.
struct ItemResult {
  std::string item;                  // the image, container name or id asked about
  std::string id;                    // what the request made (a created container's id)
  std::optional<std::string> error;  // why it failed, naming the item
  long http_status = 0;              // the engine's answer (0: none came)
  bool ok() const { return !error; }
};

}  // namespace tarvex::engine
