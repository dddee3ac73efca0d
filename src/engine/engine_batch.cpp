// The Engine's batches: many requests at once on the calling thread.
#include <nlohmann/json.hpp>

#include "engine/container_json.hpp"
#include "engine/requests.hpp"
#include "tarvex/engine/engine.hpp"
#include "tarvex/engine/image_reference.hpp"
#include "tarvex/exceptions.hpp"

namespace tarvex::engine {

using nlohmann::json;

namespace {

// The query of a pull: a tag, or a digest, never neither (an engine asked
// for a bare repository pulls every tag of it).
std::string pull_path(const ImageReference& reference) {
  std::string path = "/images/create?fromImage=";
  if (!reference.digest.empty()) return path + url_escape(reference.repository() + "@" + reference.digest);
  return path + url_escape(reference.repository()) + "&tag=" + url_escape(reference.tag_or_latest());
}

// One pull in flight: its transfer, and the first error line it streamed.
struct Pull {
  std::size_t index;
  std::string reference;
  Transfer* transfer;
  std::optional<std::string> error;
};

void read_pull_lines(Pull& pull, const Engine::ProgressCallback& progress) {
  for (const std::string& line : pull.transfer->take_lines()) {
    const auto parsed = json::parse(line, nullptr, false);
    if (!parsed.is_object()) continue;
    if (parsed.contains("error")) {
      const auto& error = parsed["error"];
      if (!pull.error) pull.error = error.is_string() ? error.get<std::string>() : error.dump();
      continue;
    }
    if (!progress) continue;
    PullProgress step;
    step.image = pull.reference;
    step.layer = parsed.value("id", "");
    step.status = parsed.value("status", "");
    if (parsed.contains("progressDetail") && parsed["progressDetail"].is_object()) {
      step.current = parsed["progressDetail"].value("current", std::int64_t{0});
      step.total = parsed["progressDetail"].value("total", std::int64_t{0});
    }
    progress(step);
  }
}

}  // namespace

std::vector<ItemResult> Engine::pull_all(const std::vector<std::string>& references, const ProgressCallback& progress) {
  const Requests requests(*loop_, socket_, options_);
  std::vector<ItemResult> results(references.size());
  std::vector<std::unique_ptr<Transfer>> transfers;
  std::vector<Pull> pulls;
  for (std::size_t i = 0; i < references.size(); ++i) {
    try {
      const ImageReference parsed = parse_image_reference(references[i]);
      transfers.push_back(requests.make("POST", pull_path(parsed), std::nullopt, options_.pull_timeout));
    } catch (const ValueError& e) {
      results[i].item = references[i];
      results[i].error = "cannot pull image " + references[i] + ": " + e.what();
      continue;
    }
    transfers.back()->stream_lines();
    pulls.push_back({i, references[i], transfers.back().get(), {}});
  }
  requests.run_all(transfers, [&] {
    for (Pull& pull : pulls) read_pull_lines(pull, progress);
  });
  for (Pull& pull : pulls) {
    read_pull_lines(pull, progress);
    const std::string what = "pull image " + pull.reference;
    auto failure = failure_of(*pull.transfer, what, socket_);
    if (!failure && pull.error)
      failure = Failure{Failure::Kind::engine, pull.transfer->status(), "cannot " + what + ": " + *pull.error};
    results[pull.index] = item_result(pull.reference, failure);
  }
  return results;
}

std::vector<ItemResult> Engine::create_all(const std::vector<ContainerConfig>& configs) {
  const Requests requests(*loop_, socket_, options_);
  std::vector<std::unique_ptr<Transfer>> transfers;
  for (const ContainerConfig& config : configs) {
    transfers.push_back(
        requests.make("POST", "/containers/create?name=" + url_escape(config.name), create_body(config)));
  }
  requests.run_all(transfers);
  std::vector<ItemResult> results;
  for (std::size_t i = 0; i < configs.size(); ++i) {
    const std::string what = "create container " + configs[i].name;
    ItemResult result = item_result(configs[i].name, failure_of(*transfers[i], what, socket_));
    if (result.ok()) {
      try {
        result.id = created_id(*transfers[i], what);
      } catch (const RuntimeError& e) {
        result.error = e.what();
      }
    }
    results.push_back(std::move(result));
  }
  return results;
}

namespace {

// A batch of one request per container id.
std::vector<ItemResult> for_each_id(const Requests& requests, const std::vector<std::string>& ids, const char* verb,
                                    const char* method, const char* suffix, std::initializer_list<long> accepted) {
  std::vector<std::unique_ptr<Transfer>> transfers;
  for (const std::string& id : ids)
    transfers.push_back(requests.make(method, "/containers/" + url_escape(id) + suffix));
  requests.run_all(transfers);
  std::vector<ItemResult> results;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::string what = std::string(verb) + " container " + ids[i];
    results.push_back(item_result(ids[i], failure_of(*transfers[i], what, requests.socket_path(), accepted)));
    if (results.back().ok()) results.back().id = ids[i];
  }
  return results;
}

}  // namespace

std::vector<ItemResult> Engine::start_all(const std::vector<std::string>& ids) {
  return for_each_id(Requests(*loop_, socket_, options_), ids, "start", "POST", "/start", {304});
}

std::vector<ItemResult> Engine::remove_all(const std::vector<std::string>& ids) {
  return for_each_id(Requests(*loop_, socket_, options_), ids, "remove", "DELETE", "?force=1&v=1", {404});
}

}  // namespace tarvex::engine
