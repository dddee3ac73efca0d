// Impairments put on an interface's egress as queueing disciplines, over
// rtnetlink through libnl-route: netem for delay, jitter, loss, duplication,
// corruption and reordering; a token bucket filter (tbf) for the rate, as
// the root with netem as its child when both are wanted:
//
//   root tbf (handle 1: or 2:)  --class 1-->  netem (handle 11: or 12:)
//   root netem (handle 1: or 2:)                     (no rate)
//
// Each change is acknowledged by the kernel before the call returns.
#pragma once

#include <string>

#include "tarvex/morvane/fabric/impairment.hpp"

struct nl_sock;

namespace tarvex::morvane::fabric {

// Shapes the egress of the interface `ifindex`, in the network namespace
// `sock` is connected in, as `impairment` declares, in place of whatever
// root qdisc it has; an empty impairment clears it.  A new tree is grafted
// at the root in one step, so that no packet passes unimpaired meanwhile
// (packets queued in the old qdiscs are dropped with them); with both a
// rate and netem settings, netem joins the new tbf a moment later.
// `interface` names the interface in errors ("interface 'eth1' of device
// 'r1'").  When the kernel refuses the new root, the old impairment stays;
// when it refuses netem under the new tbf, the tbf is removed again and the
// interface is left unimpaired.
void apply_impairment(nl_sock* sock, int ifindex, const Impairment& impairment, const std::string& interface);

// Removes the interface's root qdisc, leaving the kernel's default; an
// interface without one is not an error.
void clear_impairment(nl_sock* sock, int ifindex, const std::string& interface);

// The impairment in effect on the interface, read back from the kernel:
// settings at zero are left out, and times come back in whole microseconds
// as the kernel holds them (exact for multiples of 8 us, such as any whole
// number of milliseconds; else up to 1 us less).  Empty when the root qdisc
// is not a tree apply_impairment makes.
Impairment read_impairment(nl_sock* sock, int ifindex, const std::string& interface);

}  // namespace tarvex::morvane::fabric
