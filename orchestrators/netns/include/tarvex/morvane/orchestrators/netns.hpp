// The netns orchestrator: brings a logical testbed up as a real network on
// this Linux machine, with nothing but the kernel.
//
// Each logical device (of type host, linux, router or switch) becomes a
// network namespace; a link with two ends becomes a veth pair, a link with
// more ends a bridge in the topology's link namespace with a veth per end.
// Interfaces are named eth1, eth2, ... in the logical file's order, get
// deterministic MAC addresses and the user's addresses, MTU and VLAN;
// routers forward, switches bridge their linked interfaces, and gateways
// and routes are installed.  A router with an `frr` section runs
// FRRouting (zebra and the daemons its configuration needs), started once
// its interfaces are up, and is waited for by the frr readiness cleaner
// until its OSPF neighbours are Full and its BGP sessions Established.  The
// actual device name is the namespace's name, reachable with `ip netns exec
// NAME ...`.  Every device is then waited for by the netns readiness
// cleaner.  The networking itself is the link fabric's
// (tarvex/morvane/fabric/), which other backends use too.
//
// What a run creates is journaled before it exists; the teardown ends the
// processes left inside the run's namespaces and removes the namespaces,
// also after a launch that failed half-way.  The leftovers of a run whose
// worker was killed are found and removed by `bringup -cleanup`.
//
// Needs CAP_NET_ADMIN and CAP_SYS_ADMIN (root).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "tarvex/morvane/bases.hpp"
#include "tarvex/morvane/bases/options.hpp"

namespace tarvex::morvane::fabric {
class Build;
struct Plan;
struct PlannedDevice;
struct InterfaceRef;
}  // namespace tarvex::morvane::fabric

namespace tarvex::morvane::orchestrators::netns {

class FrrInstance;
class FrrRouters;

// The control file's name in `<runtime directory>/<run id>.control/`.
inline constexpr const char* kControlFileName = "access.yaml";

class NetnsWorker : public bases::BringUpWorkerBase {
  TARVEX_OBJECT(NetnsWorker)

 public:
  NetnsWorker();
  ~NetnsWorker() override;

  // The options, keywords and command-line options alike:
  // netns_ready_timeout (-netns_ready_timeout SECONDS, how long each device
  // may take to get ready).
  static const bases::WorkerOptions& options();
  asio::awaitable<void> _launch_topology() override;
  asio::awaitable<void> _tear_down_topology() override;

  // On the running topology, by the user's names or the actual ones (each
  // a remote call): `argv` (a list, or a text run by sh -c) inside the
  // device, fed `input`, killed after `timeout` seconds (30 when null):
  // {returncode, stdout, stderr, timed_out}.  In a namespace the command
  // gets an environment of its own (PATH, HOME, LANG), as in a container.
  Value exec(const Value& device, const Value& argv, const Value& timeout, const Value& input);
  // "up" or "down": the cable of the interface, both of its ends.
  void link_state(const Value& device, const Value& interface, const Value& state);
  // Impairs the interface's egress as `settings` says (a mapping, or
  // "delay=50ms loss=1%"; empty clears); returns what is in effect.
  Value impair(const Value& device, const Value& interface, const Value& settings);
  // Writes each FRR router's running configuration (DEVICE.conf) and the
  // final testbed into `directory`; returns the files written.
  Value save(const Value& directory);
  // Draws the topology as built, with the cables pulled dashed and the
  // impairments on their links, to `path` (.svg, .png or .dot).
  Value graph(const Value& path);

  double netns_ready_timeout = 30;
  // The engine of the devices with an image (unix:///PATH), or the default.
  std::optional<std::string> container_engine;

 private:
  // The topology's name in namespace names and MAC addresses: the logical
  // testbed's name, else the logical file's.
  std::string topology_identity() const;
  // The plan for the run's names, with the backend's own checks (FRR).
  fabric::Plan plan_for(const std::string& run_id);
  // OSError naming the routers and the missing parts when FRR is not
  // installed but a router of the plan runs it.
  void check_frr_installed() const;
  // Starts the FRR daemons of the namespace routers, and waits until they
  // answer.
  asio::awaitable<void> start_frr();
  // Writes how other programs reach this run (the morvane tool): the run
  // and its server's port and token, in the run's private control
  // directory, readable by its owner only.
  void write_control_file();
  // The device or interface of the plan by the user's or the actual name;
  // ValueError naming it and what there is otherwise.
  std::size_t device_named(const Value& name) const;
  fabric::InterfaceRef interface_named(std::size_t device, const Value& name) const;
  // Whether the device of the plan is a container (it has an image).
  bool is_container(std::size_t device) const;
  // Creates and starts the containers and hands their namespaces to the
  // build, the routers' FRR configuration rendered first.
  void launch_containers();
  void report_build();
  struct RouterFrr;
  std::optional<RouterFrr> router_frr(const std::string& logical_name) const;
  Value frr_readiness(const fabric::PlannedDevice& device, const RouterFrr& router) const;

  std::unique_ptr<fabric::Build> build_;
  // The routers' FRR setups (planned with the rest) and instances.
  std::unique_ptr<FrrRouters> frr_;
  struct ContainerParts;
  std::unique_ptr<ContainerParts> containers_;
};

}  // namespace tarvex::morvane::orchestrators::netns
