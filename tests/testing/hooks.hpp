// The hooks tests have into the libraries: every one of them is here, in a
// library that is never installed, so that the shipped headers and tools
// carry none.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

namespace tarvex::testing {

// Makes kernel operation `step` (counted from 1) of the fabric builds that
// start from now on fail instead of being made, to prove that a half-built
// topology is torn down completely; nothing: none fails.
void fail_fabric_build_at(std::optional<long> step);

// The worker's pause before it writes the final testbed file; nothing
// restores the shipped pause.
void set_final_tb_yaml_write_delay(std::optional<std::chrono::milliseconds> delay);

// What request_bringup_worker_server_shutdown() does in this process.
void set_server_shutdown_hook(std::function<void()> hook);

}  // namespace tarvex::testing
