#include "testing/hooks.hpp"

#include "bases/timing.hpp"
#include "morvane/server_shutdown_hook.hpp"
#include "orchestrators/netns/fabric/fault_injection.hpp"

namespace tarvex::testing {

void fail_fabric_build_at(std::optional<long> step) { morvane::fabric::internal::injected_failure_step() = step; }

void set_final_tb_yaml_write_delay(std::optional<std::chrono::milliseconds> delay) {
  morvane::bases::timing().final_tb_yaml_write_delay = delay.value_or(morvane::bases::FINAL_TB_YAML_WRITE_DELAY);
}

void set_server_shutdown_hook(std::function<void()> hook) {
  morvane::orvanta::set_server_shutdown_hook(std::move(hook));
}

}  // namespace tarvex::testing
