#include "engine/container_json.hpp"

#include "engine/transfer.hpp"
#include "tarvex/exceptions.hpp"

namespace tarvex::engine {

using nlohmann::json;

namespace {

// A field that may be missing or null (podman and docker differ in which).
template <class T>
T field(const json& object, const char* key, T fallback = T{}) {
  if (!object.is_object()) return fallback;
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return fallback;
  return it->get<T>();
}

std::map<std::string, std::string> labels_of(const json& labels) {
  std::map<std::string, std::string> result;
  if (!labels.is_object()) return result;
  for (const auto& [key, value] : labels.items()) {
    if (value.is_string()) result.emplace(key, value.get<std::string>());
  }
  return result;
}

HealthStatus health_of(const std::string& status) {
  if (status == "starting") return HealthStatus::starting;
  if (status == "healthy") return HealthStatus::healthy;
  if (status == "unhealthy") return HealthStatus::unhealthy;
  return HealthStatus::none;
}

std::string without_slash(std::string name) {
  if (!name.empty() && name.front() == '/') name.erase(0, 1);
  return name;
}

}  // namespace

const char* health_status_name(HealthStatus status) {
  switch (status) {
    case HealthStatus::none: return "none";
    case HealthStatus::starting: return "starting";
    case HealthStatus::healthy: return "healthy";
    case HealthStatus::unhealthy: return "unhealthy";
  }
  return "none";
}

std::string create_body(const ContainerConfig& config) {
  json body = {{"Image", config.image}};
  if (config.command) body["Cmd"] = *config.command;
  if (config.entrypoint) body["Entrypoint"] = *config.entrypoint;
  if (!config.env.empty()) {
    json env = json::array();
    for (const auto& [key, value] : config.env) env.push_back(key + "=" + value);
    body["Env"] = std::move(env);
  }
  if (!config.hostname.empty()) body["Hostname"] = config.hostname;
  body["Labels"] = config.labels;
  json host = {{"NetworkMode", config.network_mode}, {"Init", false}, {"Privileged", config.privileged}};
  if (!config.binds.empty()) host["Binds"] = config.binds;
  if (!config.cap_add.empty()) host["CapAdd"] = config.cap_add;
  body["HostConfig"] = std::move(host);
  return body.dump();
}

ContainerState read_state(const json& inspect) {
  ContainerState state;
  state.id = field<std::string>(inspect, "Id");
  state.name = without_slash(field<std::string>(inspect, "Name"));
  const json& s = inspect.contains("State") ? inspect["State"] : json();
  state.running = field<bool>(s, "Running");
  state.pid = field<int>(s, "Pid");
  state.exit_code = field<int>(s, "ExitCode");
  state.error = field<std::string>(s, "Error");
  if (s.is_object() && s.contains("Health")) state.health = health_of(field<std::string>(s["Health"], "Status"));
  if (inspect.contains("Config")) state.labels = labels_of(inspect["Config"].value("Labels", json()));
  return state;
}

ContainerSummary read_summary(const json& entry) {
  ContainerSummary summary;
  summary.id = field<std::string>(entry, "Id");
  const auto names = field<std::vector<std::string>>(entry, "Names");
  if (!names.empty()) summary.name = without_slash(names.front());
  summary.image = field<std::string>(entry, "Image");
  summary.state = field<std::string>(entry, "State");
  summary.labels = labels_of(entry.value("Labels", json()));
  return summary;
}

std::string created_id(const Transfer& transfer, const std::string& what) {
  const auto answer = json::parse(transfer.body(), nullptr, false);
  if (answer.is_object() && answer.contains("Id") && answer["Id"].is_string()) return answer["Id"].get<std::string>();
  throw RuntimeError("cannot " + what + ": the engine's answer has no id: " + transfer.body().substr(0, 200));
}

json parse_answer(const std::string& body, const std::string& what) {
  try {
    return json::parse(body);
  } catch (const json::exception& e) {
    throw RuntimeError("the engine's answer to " + what + " is not JSON (" + e.what() + "): " + body.substr(0, 200));
  }
}

}  // namespace tarvex::engine
