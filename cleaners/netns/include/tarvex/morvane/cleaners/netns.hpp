// The netns readiness cleaner: waits until a device the netns orchestrator
// built is ready to carry traffic.
#pragma once

#include "tarvex/morvane/bases.hpp"

namespace tarvex::morvane::cleaners::netns {

// Runs inside the device's network namespace (the readiness wait runs each
// device in a child process of its own).  The device's clean settings name
// the namespace by its `netns_path` (/run/netns/NAME, /proc/PID/ns/net) and
// `where` (for messages), the `interfaces` that must be up with carrier, the
// `stp_bridges` whose ports must each forward or block (a switch running
// the spanning tree protocol), and the
// `neighbours` ({address, interface, device}) that must answer a ping; the
// cleaner's `timeout` (seconds, default 30) bounds the wait.  IPv6
// addresses must also have left the tentative state.  A device not ready
// in time fails with a message naming it and everything still missing.
class NetnsCleaner : public bases::BaseCleaner {
  TARVEX_OBJECT(NetnsCleaner)

 public:
  void clean(topology::Device& device) override;
};

}  // namespace tarvex::morvane::cleaners::netns
