// A client of a container engine (podman's service or dockerd) through the
// Docker Engine API v1.41 on its unix socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tarvex/engine/container_config.hpp"
#include "tarvex/engine/container_state.hpp"
#include "tarvex/engine/item_result.hpp"

namespace tarvex::engine {

class TransferLoop;

// How long requests may take and how waits are interrupted.
struct EngineOptions {
  std::chrono::milliseconds connect_timeout{5'000};
  // Any request but pulls and execs, from its start to its last byte.
  std::chrono::milliseconds request_timeout{120'000};
  // One pull, which downloads layers.
  std::chrono::milliseconds pull_timeout{1'800'000};
  // Requests of a batch that run at once.
  std::size_t max_parallel = 10;
  // Called at least every 100 ms while a call waits for the engine; it may
  // throw to abort the call: the transfers in flight are dropped and the
  // exception propagates.  What the engine did before it saw the connection
  // close stays done (label containers to find them again).
  std::function<void()> interrupt;
};

// Which engine answers, and the API version it serves.
struct EngineVersion {
  enum class Kind { podman, docker };
  Kind kind = Kind::docker;
  std::string version;      // the engine's own ("4.3.1", "20.10.24")
  std::string api_version;  // the highest Engine API version ("1.41")
};

// What a command run inside a container did.
struct ExecResult {
  int exit_code = -1;      // -1 when the engine reported none
  std::string out;         // its standard output
  std::string err;         // its standard error
  bool timed_out = false;  // it was killed when its time was up
};

// A step of a pull, as the engine streams it.
struct PullProgress {
  std::string image;
  std::string layer;   // empty for steps about the whole image
  std::string status;  // "Downloading", "Pull complete", ...
  std::int64_t current = 0;
  std::int64_t total = 0;
};

// One connection pool to one engine.  Every call blocks the calling thread
// (there are no threads: the process forks children) while polling the
// interrupt callback; the batch calls run their requests concurrently on
// that one thread.  An Engine is not shared with a forked child: the child
// makes its own.
class Engine {
 public:
  explicit Engine(std::string socket_path, EngineOptions options = {});
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  const std::string& socket_path() const { return socket_; }
  EngineOptions& options() { return options_; }

  // Whether the engine answers its _ping (false when nothing listens).
  bool ping();
  // Which engine answers its _ping, from the answer's header (podman names
  // its API there): nothing when none answers.  As cheap as ping(), where
  // version() costs podman a quarter of a second.
  std::optional<EngineVersion::Kind> ping_kind();
  EngineVersion version();

  bool image_present(const std::string& reference);
  // The new container's id.
  std::string create(const ContainerConfig& config);
  void start(const std::string& id);
  ContainerState inspect(const std::string& id);
  // Forcibly, with its anonymous volumes; a container that does not exist is
  // no error.
  void remove(const std::string& id);
  // Containers having every label of `labels` ("KEY" or "KEY=VALUE");
  // stopped ones too with `all`.
  std::vector<ContainerSummary> list(const std::vector<std::string>& labels = {}, bool all = true);
  // Runs `argv` in the running container `id`, feeding it `input` on its
  // standard input when given (then closed); at `timeout` the command is
  // killed and the result says so.
  ExecResult exec(const std::string& id, const std::vector<std::string>& argv,
                  const std::optional<std::string>& input = std::nullopt,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // The last `tail` lines of its standard output and error as they came
  // (all of them without `tail`).
  std::string logs(const std::string& id, std::optional<int> tail = std::nullopt);

  // Batches: one result per item, in the order given.
  using ProgressCallback = std::function<void(const PullProgress&)>;
  std::vector<ItemResult> pull_all(const std::vector<std::string>& references, const ProgressCallback& progress = {});
  std::vector<ItemResult> create_all(const std::vector<ContainerConfig>& configs);
  std::vector<ItemResult> start_all(const std::vector<std::string>& ids);
  std::vector<ItemResult> remove_all(const std::vector<std::string>& ids);

 private:
  std::string socket_;
  EngineOptions options_;
  std::unique_ptr<TransferLoop> loop_;
};

const char* engine_kind_name(EngineVersion::Kind kind);

}  // namespace tarvex::engine
