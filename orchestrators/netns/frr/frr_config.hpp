// The FRRouting setup of a router, read from the `frr` section the user
// wrote on a router device of the logical testbed (and the `ospf` keys of
// its interfaces), checked, and rendered as the configuration its daemons
// run with.
//
// Two ways to configure, which may be combined:
// - declarative keys for the common cases (OSPF areas, network types and
//   costs per interface, an OSPF router id, one BGP instance with its
//   neighbours and networks), rendered per daemon and read by each daemon
//   when it starts;
// - FRR configuration text (`config`) written with the user's interface
//   names, run with the actual names through vtysh once the daemons are up.
// The daemons a router runs are those the user lists plus those its
// configuration needs (OSPF keys need ospfd, `router bgp` needs bgpd, ...).
//
// The lab profile (`lab_timers`, on unless the user turns it off) shortens
// the protocol timers of what the declarative keys configure, so that a
// topology converges in about a second instead of tens of seconds.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tarvex/morvane/fabric/plan.hpp"
#include "tarvex/value.hpp"

namespace tarvex::morvane::orchestrators::netns {

// The backend's parts speak of the fabric's plan.
using fabric::InterfaceKind;
using fabric::InterfaceRef;
using fabric::IpAddress;
using fabric::mac_text;
using fabric::Neighbour;
using fabric::Plan;
using fabric::PlannedBridge;
using fabric::PlannedDevice;
using fabric::PlannedInterface;
using fabric::PlannedLan;
using fabric::PlannedPair;

// The daemons a router may run besides zebra, which always runs.
inline const std::vector<std::string> kFrrDaemons = {"staticd", "bfdd", "ospfd", "ospf6d", "isisd", "bgpd"};

struct FrrSetup {
  // The daemons to start after zebra, in kFrrDaemons order.
  std::vector<std::string> daemons;
  bool lab_timers = true;
  // Daemon ("zebra", "ospfd", ...) -> the configuration it reads at start;
  // every daemon that runs has an entry (empty when nothing is declared).
  std::map<std::string, std::string> configs;
  // The user's configuration text with the actual interface names, applied
  // once every daemon answers.
  std::optional<std::string> raw_config;
  // The actual interfaces on which the declarative keys run OSPF, not
  // passive (an adjacency can form there).  Configuration text may run it
  // elsewhere too: then which interfaces run OSPF is known only once ospfd
  // runs.
  std::set<std::string> ospf_active;

  bool runs(const std::string& daemon) const;
  // Whether OSPF may form an adjacency on `interface`: true or false when
  // the declarative keys alone configure OSPF, nothing when configuration
  // text may too.
  std::optional<bool> ospf_adjacency_possible(const std::string& interface) const;
};

// Checks the `frr` sections and the interfaces' `ospf` keys of the plan's
// devices in `logical_testbed`, adding one text per problem to `problems`
// (naming the device, the interface and the key); returns the setup of
// each device (in plan order), for the routers that have a section.  Needs
// the plan's interfaces, so it runs after they are planned.
std::vector<std::optional<FrrSetup>> plan_frr(const Value& logical_testbed, const Plan& plan,
                                              std::vector<std::string>& problems);

}  // namespace tarvex::morvane::orchestrators::netns
