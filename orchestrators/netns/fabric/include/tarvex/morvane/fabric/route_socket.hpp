// An rtnetlink socket inside one network namespace, through libnl-route:
// the few operations the fabric needs to build a namespace's interfaces,
// addresses and routes and to take back what it made in a namespace it
// adopted, each acknowledged by the kernel before it returns.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "tarvex/morvane/fabric/ip_address.hpp"
#include "tarvex/morvane/fabric/plan.hpp"

struct nl_sock;

namespace tarvex::morvane::fabric {

// What a new or changed interface is given.  The interface index is chosen
// by the plan, so that no lookup is ever needed.
struct LinkSettings {
  std::string name;
  int ifindex = 0;
  std::optional<MacAddress> mac;
  std::optional<int> mtu;
  bool up = false;
  std::optional<int> master;  // the bridge's interface index
};

class RouteSocket {
 public:
  // A socket in the namespace `target`, made from inside it; `label`
  // ("network namespace NAME") names it in errors.
  RouteSocket(int target_namespace, int home_namespace, std::string label);
  ~RouteSocket();
  RouteSocket(const RouteSocket&) = delete;
  RouteSocket& operator=(const RouteSocket&) = delete;

  // A veth pair: `local` in this namespace, `peer` created directly in the
  // namespace `peer_namespace` (-1: this one).  A peer cannot be created up;
  // it is brought up from its own namespace.
  void add_veth(const LinkSettings& local, const LinkSettings& peer, int peer_namespace, const std::string& peer_label);
  // False when the kernel has no dummy interfaces (CONFIG_DUMMY).
  bool add_dummy(const LinkSettings& link);
  void add_bridge(const LinkSettings& link);
  // Has a bridge run the spanning tree protocol, with the shortest timers
  // the kernel takes (hello 1 s, forward delay 2 s, maximum age 6 s), so
  // that a loop settles within seconds.
  void enable_stp(int ifindex, const std::string& name);
  // Changes an existing interface, found by its index (by its name when the
  // index is 0): up, enslaved, MTU.
  void change_link(const LinkSettings& link);
  // Brings an interface up or down (administratively; a veth's peer then
  // loses its carrier).
  void set_up(int ifindex, const std::string& name, bool up);
  void add_address(const std::string& interface, int ifindex, const IpAddress& address);
  void add_route(const Route& route);

  // The interfaces there now: name -> index.
  std::map<std::string, int> links();
  // Removes an interface (by index; checked to still have `name`); false
  // when there is none of that index and name.
  bool delete_link(int ifindex, const std::string& name);
  // Removes an address from an interface; false when it is not there.
  bool delete_address(int ifindex, const IpAddress& address);

  // The libnl socket, for the queueing disciplines (qdisc.hpp).
  nl_sock* raw() const { return sock_; }

 private:
  [[noreturn]] void fail(int error, const std::string& what) const;

  nl_sock* sock_ = nullptr;
  std::string label_;
};

}  // namespace tarvex::morvane::fabric
