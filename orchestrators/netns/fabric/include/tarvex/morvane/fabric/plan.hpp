// What the fabric builds for a logical testbed, decided and checked before
// the first kernel object is created.
//
// make_plan() is a pure function of the logical testbed and the run's names:
// it validates everything the user wrote (device types, addresses, MTUs,
// VLANs, gateways, routes) and reports every problem at once, naming the
// device, the interface and the value; a backend adds its own checks to the
// same report.  The plan it returns holds every name, interface index, MAC
// address, address and route the executor applies, the actual name of each
// device and the neighbours each device must reach before it counts as
// ready.  Where each device's namespace comes from (made by the run, or
// adopted from a container) is the executor's business, not the plan's.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tarvex/morvane/fabric/impairment.hpp"
#include "tarvex/morvane/fabric/ip_address.hpp"
#include "tarvex/value.hpp"

namespace tarvex::morvane::fabric {

using MacAddress = std::array<std::uint8_t, 6>;
std::string mac_text(const MacAddress& mac);

enum class InterfaceKind {
  Veth,      // one end of a link: a veth whose peer is another device's end or a LAN port
  Dummy,     // an interface without a link (or whose link has no other end)
  Loopback,  // the user's loopback interface: its addresses go on `lo`
};

struct PlannedInterface {
  std::string logical_name;  // the user's name
  std::string name;          // eth1, eth2, ... or lo
  InterfaceKind kind = InterfaceKind::Veth;
  std::string type;                 // the user's type, "ethernet" when none was given
  std::optional<std::string> link;  // the user's link name
  int ifindex = 0;                  // fixed by the plan, so that no lookup is needed
  MacAddress mac{};
  std::optional<int> mtu;
  std::vector<IpAddress> addresses;
  std::optional<int> vlan;            // access VLAN of a switch port
  std::optional<std::size_t> bridge;  // the switch's bridge this port belongs to
  bool up = true;                     // false for a link with one end only
  Impairment impairment;              // declared on its egress (`impair`)
};

struct Route {
  IpAddress destination;  // a network (0.0.0.0/0 or ::/0 for the default route)
  IpAddress via;
};

// An address on the same segment and in the same subnet as one of the
// device's own addresses: the readiness check pings it.
struct Neighbour {
  std::string interface;  // the device's actual interface facing it
  IpAddress address;
  std::string owner;            // the logical device that holds it
  std::string owner_interface;  // its actual interface holding the address
};

// A Linux bridge inside a switch device: "br0" with every linked interface
// as a port, or, when ports have VLANs, one bridge per VLAN ("vlan10") with
// that VLAN's access ports (a port without a VLAN is in VLAN 1).
struct PlannedBridge {
  std::string name;
  int ifindex = 0;
  MacAddress mac{};
  std::optional<int> vlan;
  // Runs the spanning tree protocol (the switch asked for it with `stp:
  // true`), with the shortest timers the kernel takes.
  bool stp = false;
};

struct PlannedDevice {
  std::string logical_name;
  std::string type;
  // The actual device name: the name of its namespace when the run makes
  // one, of its container when it is one.
  std::string actual_name;
  bool forwarding = false;  // routers forward IPv4 and IPv6
  std::vector<PlannedBridge> bridges;
  std::vector<PlannedInterface> interfaces;
  std::vector<Route> routes;
  std::vector<Neighbour> neighbours;
};

struct Plan;

struct InterfaceRef {
  std::size_t device = 0;
  std::size_t interface = 0;
  bool operator==(const InterfaceRef&) const = default;
};

// A link with exactly two ends: one veth pair, each end created directly in
// its device's namespace.
struct PlannedPair {
  std::string link;
  InterfaceRef first;
  InterfaceRef second;
};

// A link with three or more ends: a bridge in the topology's link namespace
// and, per end, a veth whose peer is a port of that bridge.
struct PlannedLan {
  struct Port {
    InterfaceRef end;
    std::string name;
    int ifindex = 0;
    MacAddress mac{};
  };
  std::string link;
  std::string bridge;
  int bridge_ifindex = 0;
  MacAddress bridge_mac{};
  std::vector<Port> ports;
  // Runs the spanning tree protocol: it lies on a loop of switches that run
  // it, whose messages must cross it.
  bool stp = false;
};

struct PlanOptions {
  // Short text naming the topology in namespace names (the logical
  // testbed's name, or the run's topology name).
  std::string topology_tag;
  // What MAC addresses derive from, with the device and interface names:
  // the same for every run of a topology.
  std::string mac_seed;
  // Unique per live run; part of every namespace name.
  std::string run_id;
  // The device types the backend builds.
  std::vector<std::string> device_types;
  // The backend that builds the plan, as messages name it.
  std::string backend = "netns";
  // The backend's own checks, run on the plan once it is made: each problem
  // found is added to `problems` (naming the device, the interface and the
  // key), and reported with the plan's own.
  std::function<void(Plan& plan, std::vector<std::string>& problems)> extra_checks;
};

struct Plan {
  std::string run_id;
  // The topology's namespace for what belongs to no device: the bridges of
  // links with three or more ends (and, on a kernel without dummy
  // interfaces, the far ends that stand in for them).  Created only when
  // needed.
  std::string link_namespace;
  std::vector<PlannedDevice> devices;
  std::vector<PlannedPair> pairs;
  std::vector<PlannedLan> lans;
  std::vector<std::string> warnings;

  // The index of the device with this logical name, if any.
  std::optional<std::size_t> device_index(const std::string& logical_name) const;
  const PlannedInterface& interface(const InterfaceRef& ref) const {
    return devices[ref.device].interfaces[ref.interface];
  }
};

// The plan for the logical devices `devices` (in order) of `logical_testbed`;
// ValueError listing every problem found.
Plan make_plan(const Value& logical_testbed, const std::vector<std::string>& devices, const PlanOptions& options);

// The part of an actual name that stands for `name`: the name itself when
// it is short and made of [A-Za-z0-9_.-] only, otherwise its first
// characters with those outside the set replaced by '_', plus a hash of the
// whole name.
std::string name_part(const std::string& name, std::size_t max_length);

}  // namespace tarvex::morvane::fabric
