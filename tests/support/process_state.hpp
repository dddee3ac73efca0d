// Puts the process-wide state of the bring-up classes back to what a fresh
// process has, so that tests do not leak configuration, event loops or
// signal handlers into each other.
#pragma once

#include <csignal>

#include "tarvex/event_loop.hpp"
#include "tarvex/morvane/bases.hpp"
#include "tarvex/signals.hpp"

namespace tarvex::testing {

inline void reset_bringup_process_state() {
  using morvane::bases::BringUpBase;
  using morvane::bases::BringUpWorkerBase;
  BringUpBase::clean_config = Value();
  BringUpBase::bringup_clean_config = Value();
  BringUpBase::logical_devices = List{};
  BringUpWorkerBase::static_testbed_config = Map{};
  BringUpWorkerBase::logical_testbed_config = Map{};
  BringUpWorkerBase::logical_virtual_devices = List{};
  BringUpWorkerBase::logical_physical_devices = List{};
  event_loop::discard_policy();
  morvane::bases::logger().set_level(log::WARNING);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) {
    if (signals::is_captured(s)) signals::release(s);
  }
  signals::set_policy(nullptr);
}

}  // namespace tarvex::testing
