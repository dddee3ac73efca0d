#include "tarvex/morvane/fabric/route_socket.hpp"

#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netlink/cache.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/link/veth.h>
#include <netlink/route/route.h>
#include <netlink/socket.h>

#include <memory>
#include <new>

#include "tarvex/exceptions.hpp"
#include "tarvex/morvane/fabric/namespaces.hpp"

namespace tarvex::morvane::fabric {

namespace {

// Owners of libnl objects.
struct LinkDeleter {
  void operator()(rtnl_link* link) const { rtnl_link_put(link); }
};
struct AddrDeleter {
  void operator()(rtnl_addr* addr) const { rtnl_addr_put(addr); }
};
struct RouteDeleter {
  void operator()(rtnl_route* route) const { rtnl_route_put(route); }
};
struct CacheDeleter {
  void operator()(nl_cache* cache) const { nl_cache_free(cache); }
};
struct NlAddrDeleter {
  void operator()(nl_addr* addr) const { nl_addr_put(addr); }
};
using LinkPtr = std::unique_ptr<rtnl_link, LinkDeleter>;
using NlAddrPtr = std::unique_ptr<nl_addr, NlAddrDeleter>;

NlAddrPtr nl_address(const IpAddress& address) {
  NlAddrPtr built(nl_addr_build(address.af(), address.bytes.data(), address.size()));
  if (!built) throw std::bad_alloc();
  nl_addr_set_prefixlen(built.get(), address.prefix_length);
  return built;
}

// Puts the settings on a libnl link object.
void apply(rtnl_link* link, const LinkSettings& settings) {
  rtnl_link_set_name(link, settings.name.c_str());
  rtnl_link_set_ifindex(link, settings.ifindex);
  if (settings.mac) {
    NlAddrPtr mac(nl_addr_build(AF_LLC, settings.mac->data(), settings.mac->size()));
    if (!mac) throw std::bad_alloc();
    rtnl_link_set_addr(link, mac.get());
  }
  if (settings.mtu) rtnl_link_set_mtu(link, static_cast<unsigned>(*settings.mtu));
  if (settings.up) rtnl_link_set_flags(link, IFF_UP);
  if (settings.master) rtnl_link_set_master(link, *settings.master);
}

std::string where(const LinkSettings& link) { return link.name; }

}  // namespace

RouteSocket::RouteSocket(int target_namespace, int home_namespace, std::string label) : label_(std::move(label)) {
  NamespaceEntry inside(target_namespace, home_namespace);
  sock_ = nl_socket_alloc();
  if (!sock_) throw std::bad_alloc();
  if (const int error = nl_connect(sock_, NETLINK_ROUTE); error < 0) {
    nl_socket_free(sock_);
    sock_ = nullptr;
    fail(error, "open an rtnetlink socket");
  }
}

RouteSocket::~RouteSocket() {
  if (sock_) nl_socket_free(sock_);
}

void RouteSocket::fail(int error, const std::string& what) const {
  throw RuntimeError("Cannot " + what + " in " + label_ + ": " + nl_geterror(error));
}

void RouteSocket::add_veth(const LinkSettings& local, const LinkSettings& peer, int peer_namespace,
                           const std::string& peer_label) {
  LinkPtr link(rtnl_link_veth_alloc());
  if (!link) throw std::bad_alloc();
  apply(link.get(), local);
  rtnl_link* peer_link = rtnl_link_veth_get_peer(link.get());
  apply(peer_link, peer);
  if (peer_namespace >= 0) rtnl_link_set_ns_fd(peer_link, peer_namespace);
  rtnl_link_put(peer_link);  // the getter took a reference
  if (const int error = rtnl_link_add(sock_, link.get(), NLM_F_CREATE | NLM_F_EXCL); error < 0) {
    fail(error, "create the veth " + where(local) + " (its peer " + peer.name + " in " + peer_label + ")");
  }
}

bool RouteSocket::add_dummy(const LinkSettings& settings) {
  LinkPtr link(rtnl_link_alloc());
  if (!link) throw std::bad_alloc();
  if (const int error = rtnl_link_set_type(link.get(), "dummy"); error < 0) fail(error, "make a dummy interface");
  apply(link.get(), settings);
  if (const int error = rtnl_link_add(sock_, link.get(), NLM_F_CREATE | NLM_F_EXCL); error < 0) {
    if (error == -NLE_OPNOTSUPP) return false;
    fail(error, "create the dummy interface " + where(settings));
  }
  return true;
}

void RouteSocket::add_bridge(const LinkSettings& settings) {
  LinkPtr link(rtnl_link_alloc());
  if (!link) throw std::bad_alloc();
  if (const int error = rtnl_link_set_type(link.get(), "bridge"); error < 0) fail(error, "make a bridge");
  apply(link.get(), settings);
  if (const int error = rtnl_link_add(sock_, link.get(), NLM_F_CREATE | NLM_F_EXCL); error < 0) {
    fail(error, "create the bridge " + where(settings));
  }
}

void RouteSocket::enable_stp(int ifindex, const std::string& name) {
  // libnl has no setter for a bridge's STP: the message is made here.
  nl_msg* msg = nlmsg_alloc_simple(RTM_NEWLINK, NLM_F_REQUEST | NLM_F_ACK);
  if (!msg) throw std::bad_alloc();
  std::unique_ptr<nl_msg, void (*)(nl_msg*)> owned(msg, nlmsg_free);
  ifinfomsg header{};
  header.ifi_family = AF_UNSPEC;
  header.ifi_index = ifindex;
  nlattr* info = nullptr;
  nlattr* data = nullptr;
  // Times in hundredths of a second, as the kernel takes them.
  const bool built =
      nlmsg_append(msg, &header, sizeof header, NLMSG_ALIGNTO) == 0 &&
      (info = nla_nest_start(msg, IFLA_LINKINFO)) != nullptr && nla_put_string(msg, IFLA_INFO_KIND, "bridge") == 0 &&
      (data = nla_nest_start(msg, IFLA_INFO_DATA)) != nullptr && nla_put_u32(msg, IFLA_BR_HELLO_TIME, 100) == 0 &&
      nla_put_u32(msg, IFLA_BR_FORWARD_DELAY, 200) == 0 && nla_put_u32(msg, IFLA_BR_MAX_AGE, 600) == 0 &&
      nla_put_u32(msg, IFLA_BR_STP_STATE, 1) == 0;
  if (!built) throw std::bad_alloc();
  nla_nest_end(msg, data);
  nla_nest_end(msg, info);
  if (const int error = nl_send_sync(sock_, owned.release()); error < 0) {
    fail(error, "turn the spanning tree protocol on in the bridge " + name);
  }
}

void RouteSocket::change_link(const LinkSettings& settings) {
  LinkPtr link(rtnl_link_alloc());
  if (!link) throw std::bad_alloc();
  if (settings.ifindex > 0) {
    rtnl_link_set_ifindex(link.get(), settings.ifindex);
  } else {
    rtnl_link_set_name(link.get(), settings.name.c_str());
  }
  if (settings.mtu) rtnl_link_set_mtu(link.get(), static_cast<unsigned>(*settings.mtu));
  if (settings.up) rtnl_link_set_flags(link.get(), IFF_UP);
  if (settings.master) rtnl_link_set_master(link.get(), *settings.master);
  if (const int error = rtnl_link_add(sock_, link.get(), 0); error < 0) {
    fail(error, "change the interface " + settings.name);
  }
}

void RouteSocket::set_up(int ifindex, const std::string& name, bool up) {
  LinkPtr link(rtnl_link_alloc());
  if (!link) throw std::bad_alloc();
  rtnl_link_set_ifindex(link.get(), ifindex);
  if (up) {
    rtnl_link_set_flags(link.get(), IFF_UP);
  } else {
    rtnl_link_unset_flags(link.get(), IFF_UP);
  }
  if (const int error = rtnl_link_add(sock_, link.get(), 0); error < 0) {
    fail(error, std::string("take the interface ") + name + (up ? " up" : " down"));
  }
}

void RouteSocket::add_address(const std::string& interface, int ifindex, const IpAddress& address) {
  std::unique_ptr<rtnl_addr, AddrDeleter> addr(rtnl_addr_alloc());
  if (!addr) throw std::bad_alloc();
  rtnl_addr_set_ifindex(addr.get(), ifindex);
  NlAddrPtr local = nl_address(address);
  if (const int error = rtnl_addr_set_local(addr.get(), local.get()); error < 0) {
    fail(error, "use the address " + address.text());
  }
  if (const int error = rtnl_addr_add(sock_, addr.get(), NLM_F_EXCL); error < 0) {
    fail(error, "add the address " + address.text() + " to " + interface);
  }
}

void RouteSocket::add_route(const Route& planned) {
  std::unique_ptr<rtnl_route, RouteDeleter> route(rtnl_route_alloc());
  if (!route) throw std::bad_alloc();
  rtnl_route_set_family(route.get(), static_cast<std::uint8_t>(planned.destination.af()));
  rtnl_route_set_table(route.get(), RT_TABLE_MAIN);
  rtnl_route_set_protocol(route.get(), RTPROT_STATIC);
  rtnl_route_set_scope(route.get(), RT_SCOPE_UNIVERSE);
  rtnl_route_set_type(route.get(), RTN_UNICAST);
  NlAddrPtr destination = nl_address(planned.destination);
  rtnl_route_set_dst(route.get(), destination.get());
  rtnl_nexthop* hop = rtnl_route_nh_alloc();
  if (!hop) throw std::bad_alloc();
  NlAddrPtr via = nl_address(planned.via);
  nl_addr_set_prefixlen(via.get(), planned.via.max_prefix_length());
  rtnl_route_nh_set_gateway(hop, via.get());
  rtnl_route_add_nexthop(route.get(), hop);  // the route owns it now
  if (const int error = rtnl_route_add(sock_, route.get(), NLM_F_EXCL); error < 0) {
    fail(error, "add the route to " + planned.destination.text() + " via " + planned.via.address_text());
  }
}

std::map<std::string, int> RouteSocket::links() {
  nl_cache* raw = nullptr;
  if (const int error = rtnl_link_alloc_cache(sock_, AF_UNSPEC, &raw); error < 0) fail(error, "list the interfaces");
  std::unique_ptr<nl_cache, CacheDeleter> cache(raw);
  std::map<std::string, int> names;
  for (nl_object* object = nl_cache_get_first(cache.get()); object; object = nl_cache_get_next(object)) {
    auto* link = reinterpret_cast<rtnl_link*>(object);
    names[rtnl_link_get_name(link)] = rtnl_link_get_ifindex(link);
  }
  return names;
}

bool RouteSocket::delete_link(int ifindex, const std::string& name) {
  rtnl_link* raw = nullptr;
  if (rtnl_link_get_kernel(sock_, ifindex, nullptr, &raw) < 0) return false;
  LinkPtr found(raw);
  if (name != rtnl_link_get_name(found.get())) return false;
  LinkPtr link(rtnl_link_alloc());
  if (!link) throw std::bad_alloc();
  rtnl_link_set_ifindex(link.get(), ifindex);
  if (const int error = rtnl_link_delete(sock_, link.get()); error < 0) {
    if (error == -NLE_NODEV || error == -NLE_OBJ_NOTFOUND) return false;
    fail(error, "remove the interface " + name);
  }
  return true;
}

bool RouteSocket::delete_address(int ifindex, const IpAddress& address) {
  std::unique_ptr<rtnl_addr, AddrDeleter> addr(rtnl_addr_alloc());
  if (!addr) throw std::bad_alloc();
  rtnl_addr_set_ifindex(addr.get(), ifindex);
  NlAddrPtr local = nl_address(address);
  if (const int error = rtnl_addr_set_local(addr.get(), local.get()); error < 0) {
    fail(error, "use the address " + address.text());
  }
  if (const int error = rtnl_addr_delete(sock_, addr.get(), 0); error < 0) {
    if (error == -NLE_NOADDR || error == -NLE_NODEV || error == -NLE_OBJ_NOTFOUND) return false;
    fail(error, "remove the address " + address.text());
  }
  return true;
}

}  // namespace tarvex::morvane::fabric
