// The frr readiness cleaner: waits until a router the netns orchestrator
// runs FRRouting on has converged.
#pragma once

#include "tarvex/morvane/bases.hpp"

namespace tarvex::morvane::cleaners::frr {

// Talks to the router's daemons through their vty sockets (no shell, no
// network namespace needed).  The device's clean settings hold `namespace`
// and `frr`: the instance's `directory`, its `daemons`, and the
// `ospf_neighbours` the topology may imply ({interface, address, device,
// directory}: an IPv4 neighbour on a link that runs ospfd too).  The wait
// succeeds once every daemon answers, every OSPF neighbour whose interfaces
// run OSPF (not passive) on both ends, as both ospfd report it, is Full
// (or 2-Way between two DROthers of a LAN), and every configured BGP
// session that is not shut down is Established.  The cleaner's `timeout`
// (seconds, default 30) bounds the wait; a router that has not converged
// by then fails with a message naming it and what is missing.
class FrrCleaner : public bases::BaseCleaner {
  TARVEX_OBJECT(FrrCleaner)

 public:
  void clean(topology::Device& device) override;
};

}  // namespace tarvex::morvane::cleaners::frr
