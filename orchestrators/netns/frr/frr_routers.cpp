#include "orchestrators/netns/frr/frr_routers.hpp"

#include <thread>

namespace tarvex::morvane::orchestrators::netns {

void FrrRouters::plan(const Value& logical_testbed, const fabric::Plan& plan, std::vector<std::string>& problems) {
  setups_ = plan_frr(logical_testbed, plan, problems);
}

void FrrRouters::start(fabric::Build& build, const std::string& log_directory, const std::vector<bool>& skip) {
  const fabric::Plan& plan = build.plan();
  const std::vector<std::optional<FrrSetup>>& setups = setups_;
  for (std::size_t d = 0; d < plan.devices.size(); ++d) {
    if (d >= setups.size() || !setups[d] || (d < skip.size() && skip[d])) continue;
    const fabric::NamespaceHandle& ns = build.namespace_of(d);
    const std::string& actual = plan.devices[d].actual_name;
    const std::string directory = build.private_directory("frr") + "/" + actual;
    const std::string log_prefix = log_directory.empty() ? directory + "/" : log_directory + "/" + actual + ".";
    instances_.emplace_back(plan.devices[d].logical_name, ns.path(), ns.label(), directory, log_prefix, *setups[d]);
    instances_.back().start(build.journal());
  }
}

bool FrrRouters::advance(fabric::Journal& journal) {
  bool all = true;
  for (FrrInstance& instance : instances_) all = instance.advance(journal) && all;
  return all;
}

std::vector<std::string> FrrRouters::stop() {
  std::vector<std::string> killed;
  if (instances_.empty()) return killed;
  for (FrrInstance& instance : instances_) instance.terminate();
  const auto deadline = std::chrono::steady_clock::now() + kFrrGrace;
  auto all_ended = [&] {
    bool all = true;
    for (FrrInstance& instance : instances_) all = instance.ended() && all;
    return all;
  };
  while (!all_ended() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (FrrInstance& instance : instances_) {
    for (std::string& name : instance.kill_remaining()) killed.push_back(std::move(name));
  }
  instances_.clear();
  return killed;
}

const FrrInstance* FrrRouters::of(const std::string& logical_name) const {
  for (const FrrInstance& instance : instances_) {
    if (instance.router() == logical_name) return &instance;
  }
  return nullptr;
}

}  // namespace tarvex::morvane::orchestrators::netns
