#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_addr.h>
#include <linux/if_bridge.h>
#include <net/if.h>
#include <netlink/cache.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/link/bridge.h>
#include <netlink/socket.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "icmp_prober.hpp"
#include "tarvex/morvane/bases/readiness_deadline.hpp"
#include "tarvex/morvane/bringup_loggers.hpp"
#include "tarvex/morvane/cleaners/netns.hpp"
#include "tarvex/registry.hpp"

namespace tarvex::morvane::cleaners::netns {

namespace {

using Clock = std::chrono::steady_clock;

// IFF_LOWER_UP, the carrier, is in <linux/if.h>, which cannot be included
// beside the <net/if.h> that Asio includes.
constexpr unsigned kCarrierFlag = 1u << 16;
constexpr double kDefaultTimeoutSec = 30;
constexpr auto kStatePoll = std::chrono::milliseconds(50);
constexpr auto kPingInterval = std::chrono::milliseconds(200);

log::Logger& logger() {
  static log::Logger& cleaner_logger = log::getLogger("tarvex.morvane.cleaners.netns");
  return cleaner_logger;
}

struct CacheDeleter {
  void operator()(nl_cache* cache) const { nl_cache_free(cache); }
};
using CachePtr = std::unique_ptr<nl_cache, CacheDeleter>;

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : "; ") + item;
  return text;
}

// The interfaces and addresses of the namespace as the kernel reports them
// now, read through one rtnetlink socket.
class NamespaceState {
 public:
  NamespaceState() : sock_(nl_socket_alloc()) {
    if (!sock_ || nl_connect(sock_, NETLINK_ROUTE) < 0) throw RuntimeError("Cannot open an rtnetlink socket");
  }
  ~NamespaceState() { nl_socket_free(sock_); }
  NamespaceState(const NamespaceState&) = delete;
  NamespaceState& operator=(const NamespaceState&) = delete;

  void refresh() {
    nl_cache* links = nullptr;
    nl_cache* addresses = nullptr;
    int error = rtnl_link_alloc_cache(sock_, AF_UNSPEC, &links);
    if (error >= 0) error = rtnl_addr_alloc_cache(sock_, &addresses);
    links_.reset(links);
    addresses_.reset(addresses);
    if (error < 0) throw RuntimeError(std::string("Cannot read the interfaces: ") + nl_geterror(error));
  }

  int ifindex(const std::string& name) const { return rtnl_link_name2i(links_.get(), name.c_str()); }

  // The ports of the bridges that run the spanning tree protocol and have
  // not settled yet: each must forward or block ("eth2 of br0 is
  // learning").
  std::vector<std::string> unsettled_ports(const std::vector<std::string>& bridges) {
    std::vector<std::string> unsettled;
    if (bridges.empty()) return unsettled;
    nl_cache* raw = nullptr;
    if (const int error = rtnl_link_alloc_cache(sock_, AF_BRIDGE, &raw); error < 0) {
      throw RuntimeError(std::string("Cannot read the bridge ports: ") + nl_geterror(error));
    }
    CachePtr ports(raw);
    for (const std::string& bridge : bridges) {
      const int master = ifindex(bridge);
      for (nl_object* object = nl_cache_get_first(ports.get()); object; object = nl_cache_get_next(object)) {
        auto* port = reinterpret_cast<rtnl_link*>(object);
        if (rtnl_link_get_master(port) != master || rtnl_link_get_ifindex(port) == master) continue;
        const int state = rtnl_link_bridge_get_port_state(port);
        if (state == BR_STATE_FORWARDING || state == BR_STATE_BLOCKING) continue;
        char name[32] = {};
        rtnl_link_bridge_portstate2str(state, name, sizeof name);
        unsettled.push_back(std::string(rtnl_link_get_name(port)) + " of " + bridge + " is " + name);
      }
    }
    return unsettled;
  }

  // What keeps the interfaces from being ready ("eth1 has no carrier");
  // `fatal` gets what never gets better (a failed duplicate detection).
  std::vector<std::string> missing(const std::vector<std::string>& interfaces, std::vector<std::string>& fatal) const {
    std::vector<std::string> missing;
    for (const std::string& name : interfaces) {
      rtnl_link* link = rtnl_link_get_by_name(links_.get(), name.c_str());
      if (!link) {
        missing.push_back(name + " does not exist");
        continue;
      }
      const unsigned flags = rtnl_link_get_flags(link);
      rtnl_link_put(link);
      if (!(flags & IFF_UP)) {
        missing.push_back(name + " is down");
      } else if (!(flags & kCarrierFlag)) {
        missing.push_back(name + " has no carrier");
      }
    }
    struct Walk {
      const NamespaceState* self;
      const std::vector<std::string>* interfaces;
      std::vector<std::string>* missing;
      std::vector<std::string>* fatal;
    } walk{this, &interfaces, &missing, &fatal};
    nl_cache_foreach(
        addresses_.get(),
        [](nl_object* object, void* arg) {
          auto* w = static_cast<Walk*>(arg);
          auto* address = reinterpret_cast<rtnl_addr*>(object);
          if (rtnl_addr_get_family(address) != AF_INET6) return;
          const unsigned flags = rtnl_addr_get_flags(address);
          if (!(flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED))) return;
          char name[IFNAMSIZ] = {};
          rtnl_link_i2name(w->self->links_.get(), rtnl_addr_get_ifindex(address), name, sizeof name);
          bool watched = false;
          for (const std::string& interface : *w->interfaces) watched = watched || interface == name;
          if (!watched) return;
          char text[INET6_ADDRSTRLEN + 8] = {};
          nl_addr2str(rtnl_addr_get_local(address), text, sizeof text);
          if (flags & IFA_F_DADFAILED) {
            w->fatal->push_back(std::string(text) + " on " + name + " failed duplicate address detection");
          } else {
            w->missing->push_back(std::string(text) + " on " + name + " is still tentative");
          }
        },
        &walk);
    return missing;
  }

 private:
  nl_sock* sock_;
  CachePtr links_;
  CachePtr addresses_;
};

void enter_namespace(const std::string& path, const std::string& where) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    throw OSError(error, "Cannot enter " + where + " (" + path + "): " + std::strerror(error));
  }
  ::close(fd);
}

}  // namespace

const ClassInfo& NetnsCleaner::class_info() {
  static ClassInfo info("tarvex.morvane.cleaners.netns.NetnsCleaner", &bases::BaseCleaner::class_info(),
                        factory_of<NetnsCleaner>());
  return info;
}

TARVEX_REGISTER_CLASS(cleaner_classes(), NetnsCleaner, "netns");
MORVANE_BRINGUP_LOGGER("tarvex.morvane.cleaners.netns");

void NetnsCleaner::clean(topology::Device& device) {
  const Value& settings = device.clean;
  const std::string path = settings.get("netns_path").str();
  const std::string where = settings.get("where", "network namespace " + device.name).str();
  const bases::ReadinessDeadline wait(*this, device, "Device", kDefaultTimeoutSec);
  const std::string& who = wait.who();
  const auto deadline = wait.deadline();
  auto not_ready = [&](const std::string& what) { return wait.failure("is not ready", what); };
  logger().info("Waiting for {} to be ready ...", who);

  // This runs in a child process of its own: it stays in the namespace.
  enter_namespace(path, where);
  // Held here: a range-for over a member of a temporary would iterate a
  // list already destroyed.
  const Value interface_names = settings.get("interfaces", List{});
  const Value neighbours = settings.get("neighbours", List{});
  const Value stp_bridge_names = settings.get("stp_bridges", List{});
  std::vector<std::string> interfaces, stp_bridges;
  for (const Value& name : interface_names.as_list()) interfaces.push_back(name.str());
  for (const Value& name : stp_bridge_names.as_list()) stp_bridges.push_back(name.str());

  NamespaceState state;
  for (;;) {
    state.refresh();
    std::vector<std::string> fatal;
    std::vector<std::string> missing = state.missing(interfaces, fatal);
    // A switch's spanning tree has settled once every port forwards or
    // blocks.
    if (missing.empty()) missing = state.unsettled_ports(stp_bridges);
    if (!fatal.empty()) throw Exception(who + " cannot get ready: " + joined(fatal));
    if (missing.empty()) break;
    if (Clock::now() >= deadline) throw not_ready(joined(missing));
    std::this_thread::sleep_for(kStatePoll);
  }

  std::vector<IcmpProber::Target> targets;
  for (const Value& neighbour : neighbours.as_list()) {
    IcmpProber::Target target;
    const std::string address = neighbour.get("address").str();
    if (::inet_pton(AF_INET, address.c_str(), target.address.data()) == 1) {
      target.family = 4;
    } else if (::inet_pton(AF_INET6, address.c_str(), target.address.data()) == 1) {
      target.family = 6;
    } else {
      throw ValueError(who + ": neighbour address " + py_repr(address) + " is not an address");
    }
    const std::string interface = neighbour.get("interface").str();
    target.ifindex = state.ifindex(interface);
    target.label = address + " (" + neighbour.get("device").str() + ", via " + interface + ")";
    targets.push_back(std::move(target));
  }
  if (!targets.empty()) {
    IcmpProber prober(std::move(targets));
    while (!prober.all_answered()) {
      if (Clock::now() >= deadline) {
        std::vector<std::string> silent;
        for (const IcmpProber::Target& target : prober.targets()) {
          if (!target.answered) silent.push_back("no answer to a ping of " + target.label);
        }
        throw not_ready(joined(silent));
      }
      prober.send_round();
      prober.receive(std::min(deadline, Clock::now() + kPingInterval));
    }
  }
  logger().info("{} is ready ({:.2f} s).", who, wait.elapsed());
}

}  // namespace tarvex::morvane::cleaners::netns
