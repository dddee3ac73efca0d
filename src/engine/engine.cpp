#include "tarvex/engine/engine.hpp"

#include <nlohmann/json.hpp>

#include "engine/container_json.hpp"
#include "engine/requests.hpp"
#include "engine/stream_frames.hpp"
#include "engine/transfer_loop.hpp"
#include "tarvex/engine/engine_error.hpp"
#include "tarvex/engine/image_reference.hpp"
#include "tarvex/exceptions.hpp"

namespace tarvex::engine {

TARVEX_DEFINE_EXCEPTION(EngineError)

using nlohmann::json;

const char* engine_kind_name(EngineVersion::Kind kind) {
  return kind == EngineVersion::Kind::podman ? "podman" : "docker";
}

Engine::Engine(std::string socket_path, EngineOptions options)
    : socket_(std::move(socket_path)), options_(std::move(options)), loop_(std::make_unique<TransferLoop>()) {}

Engine::~Engine() = default;

namespace {

// Reads an answer's JSON into a value, turning a malformed answer into an
// error that names the request.
template <class Reader>
auto read_answer(const Transfer& transfer, const std::string& what, Reader reader) {
  const json parsed = parse_answer(transfer.body(), what);
  try {
    return reader(parsed);
  } catch (const json::exception& e) {
    throw RuntimeError("the engine's answer to " + what + " is not as expected (" + e.what() + ")");
  }
}

}  // namespace

bool Engine::ping() {
  const Requests requests(*loop_, socket_, options_);
  const auto transfer = requests.run("GET", "/_ping");
  return transfer->code() == CURLE_OK && transfer->status() == 200;
}

std::optional<EngineVersion::Kind> Engine::ping_kind() {
  const Requests requests(*loop_, socket_, options_);
  const auto transfer = requests.run("GET", "/_ping");
  if (transfer->code() != CURLE_OK || transfer->status() != 200) return std::nullopt;
  return transfer->header("Libpod-Api-Version") ? EngineVersion::Kind::podman : EngineVersion::Kind::docker;
}

EngineVersion Engine::version() {
  const Requests requests(*loop_, socket_, options_);
  const std::string what = "read the version of the engine";
  const auto transfer = requests.checked(what, "GET", "/version");
  return read_answer(*transfer, what, [](const json& answer) {
    EngineVersion version;
    version.version = answer.value("Version", "");
    version.api_version = answer.value("ApiVersion", "");
    // Podman lists itself among the components; docker calls its own "Engine".
    for (const auto& component : answer.value("Components", json::array())) {
      if (component.value("Name", "").find("Podman") != std::string::npos) version.kind = EngineVersion::Kind::podman;
    }
    return version;
  });
}

bool Engine::image_present(const std::string& reference) {
  const ImageReference parsed = parse_image_reference(reference);
  const Requests requests(*loop_, socket_, options_);
  const auto transfer =
      requests.checked("look up image " + reference, "GET", "/images/" + parsed.str() + "/json", {}, {404});
  return transfer->status() != 404;
}

std::string Engine::create(const ContainerConfig& config) {
  const Requests requests(*loop_, socket_, options_);
  const std::string what = "create container " + config.name;
  const auto transfer =
      requests.checked(what, "POST", "/containers/create?name=" + url_escape(config.name), create_body(config));
  return created_id(*transfer, what);
}

void Engine::start(const std::string& id) {
  const Requests requests(*loop_, socket_, options_);
  // 304: it was running already.
  requests.checked("start container " + id, "POST", "/containers/" + url_escape(id) + "/start", {}, {304});
}

ContainerState Engine::inspect(const std::string& id) {
  const Requests requests(*loop_, socket_, options_);
  const std::string what = "inspect container " + id;
  const auto transfer = requests.checked(what, "GET", "/containers/" + url_escape(id) + "/json");
  return read_answer(*transfer, what, [](const json& answer) { return read_state(answer); });
}

void Engine::remove(const std::string& id) {
  const Requests requests(*loop_, socket_, options_);
  requests.checked("remove container " + id, "DELETE", "/containers/" + url_escape(id) + "?force=1&v=1", {}, {404});
}

std::vector<ContainerSummary> Engine::list(const std::vector<std::string>& labels, bool all) {
  const Requests requests(*loop_, socket_, options_);
  std::string path = all ? "/containers/json?all=1" : "/containers/json?all=0";
  if (!labels.empty()) path += "&filters=" + url_escape(json{{"label", labels}}.dump());
  const std::string what = "list containers";
  const auto transfer = requests.checked(what, "GET", path);
  return read_answer(*transfer, what, [](const json& answer) {
    std::vector<ContainerSummary> summaries;
    for (const auto& entry : answer) summaries.push_back(read_summary(entry));
    return summaries;
  });
}

std::string Engine::logs(const std::string& id, std::optional<int> tail) {
  const Requests requests(*loop_, socket_, options_);
  std::string path = "/containers/" + url_escape(id) + "/logs?stdout=1&stderr=1";
  if (tail) path += "&tail=" + std::to_string(*tail);
  const auto transfer = requests.checked("read the logs of container " + id, "GET", path);
  return unframe_merged(transfer->body());
}

}  // namespace tarvex::engine
