#include "tarvex/morvane/fabric/build.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "orchestrators/netns/fabric/fault_injection.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/log.hpp"
#include "tarvex/morvane/bringup_loggers.hpp"
#include "tarvex/morvane/fabric/qdisc.hpp"
#include "tarvex/morvane/fabric/route_socket.hpp"

namespace tarvex::morvane::fabric {

namespace {

constexpr const char* kDefaultAcceptDad = "/proc/sys/net/ipv6/conf/default/accept_dad";

// The sysctls of the calling thread's network namespace.  /proc/sys/net
// finds a name among the entries of every namespace of the host (each open
// costs in proportion to their number: 3 s for 3,000 routers), so they are
// reached through a procfs instance of their own, which holds only this
// namespace's; /proc where one cannot be made.
class Sysctls {
 public:
  Sysctls() {
    UniqueFd context(::fsopen("proc", FSOPEN_CLOEXEC));
    if (context && ::fsconfig(context.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) == 0) {
      root_.reset(::fsmount(context.get(), FSMOUNT_CLOEXEC, 0));
    }
  }
  // Nothing when it does not exist (IPv6 compiled out).
  std::optional<std::string> read(const std::string& path) const {
    UniqueFd fd = open(path, O_RDONLY);
    if (!fd) return std::nullopt;
    char buffer[64];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer - 1);
    if (n <= 0) return std::nullopt;
    std::string value(buffer, static_cast<std::size_t>(n));
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
    return value;
  }
  // A missing one (IPv6 compiled out) is skipped.
  void write(const std::string& path, const std::string& value, const std::string& where) const {
    UniqueFd fd = open(path, O_WRONLY);
    if (!fd && errno == ENOENT) return;
    const bool written = fd && ::write(fd.get(), value.data(), value.size()) == static_cast<ssize_t>(value.size());
    if (!written) {
      const int error = errno;
      throw OSError(error, "Cannot set " + path + " in " + where + ": " + std::strerror(error));
    }
  }

 private:
  // `path` is /proc/sys/...
  UniqueFd open(const std::string& path, int flags) const {
    if (root_ && path.starts_with("/proc/"))
      return UniqueFd(::openat(root_.get(), path.c_str() + 6, flags | O_CLOEXEC));
    return UniqueFd(::open(path.c_str(), flags | O_CLOEXEC));
  }
  UniqueFd root_;
};

std::optional<std::string> read_sysctl(const std::string& path) { return Sysctls().read(path); }
void write_sysctl(const std::string& path, const std::string& value, const std::string& where) {
  Sysctls().write(path, value, where);
}

LinkSettings settings_of(const PlannedInterface& interface, bool up) {
  LinkSettings settings;
  settings.name = interface.name;
  settings.ifindex = interface.ifindex;
  settings.mac = interface.mac;
  settings.mtu = interface.mtu;
  settings.up = up;
  return settings;
}

// The kernel's neighbour tables (ARP, IPv6 neighbour discovery) are shared by
// every network namespace, and refuse new entries past
// net.ipv{4,6}.neigh.default.gc_thresh3 (1024 by default): a topology of a
// thousand routers would see its neighbours go unanswered.  The limits are
// raised (never lowered) to fit what the plan's devices will resolve.
void make_room_in_neighbour_tables(const Plan& plan, const std::string& topology) {
  std::size_t needed[2] = {0, 0};
  for (const PlannedDevice& device : plan.devices) {
    for (const Neighbour& neighbour : device.neighbours) ++needed[neighbour.address.is_ipv4() ? 0 : 1];
  }
  const char* families[2] = {"ipv4", "ipv6"};
  for (int f = 0; f < 2; ++f) {
    if (needed[f] == 0) continue;
    const std::string base = std::string("/proc/sys/net/") + families[f] + "/neigh/default/gc_thresh";
    const auto current = [&](int n) { return std::stoul(read_sysctl(base + std::to_string(n)).value_or("0")); };
    const std::size_t hard = current(3), soft = current(2);
    // Room for the entries, for what else the host resolves, and for entries
    // the garbage collector has not removed yet.
    const std::size_t want_hard = 2 * needed[f] + 1024, want_soft = needed[f] + 512;
    if (hard >= want_hard && soft >= want_soft) continue;
    try {
      if (soft < want_soft) write_sysctl(base + "2", std::to_string(want_soft), "the host");
      if (hard < want_hard) write_sysctl(base + "3", std::to_string(want_hard), "the host");
      log::getLogger("tarvex.morvane.fabric")
          .info(
              "Raised net.{}.neigh.default.gc_thresh3 from {} to {} for the {} neighbour entries of run {} "
              "(the table is shared by every namespace).",
              families[f], hard, std::max(hard, want_hard), needed[f], topology);
    } catch (const std::exception& e) {
      log::getLogger("tarvex.morvane.fabric")
          .warning(
              "Run {} needs {} {} neighbour entries and the kernel keeps at most {} "
              "(net.{}.neigh.default.gc_thresh3), which could not be raised: {}",
              topology, needed[f], families[f], hard, families[f], e.what());
    }
  }
}

}  // namespace

MORVANE_BRINGUP_LOGGER("tarvex.morvane.fabric");

namespace internal {
std::optional<long>& injected_failure_step() {
  static std::optional<long> step;
  return step;
}
}  // namespace internal

Build::Build(Plan plan, Journal journal)
    : plan_(std::move(plan)),
      journal_(std::move(journal)),
      fail_at_step_(internal::injected_failure_step()),
      home_(current_namespace()),
      namespaces_(plan_.devices.size()) {
  // A new namespace starts with the forwarding settings of the initial one
  // (net.core.devconf_inherit_init_net): where that forwards, the devices
  // that must not (hosts, switches) are told so.
  home_forwards_ = read_sysctl("/proc/sys/net/ipv4/ip_forward").value_or("0") != "0" ||
                   read_sysctl("/proc/sys/net/ipv6/conf/all/forwarding").value_or("0") != "0";
  for (const PlannedDevice& device : plan_.devices) attachments_.emplace_back(device.interfaces.size());
  for (std::size_t p = 0; p < plan_.pairs.size(); ++p) {
    const PlannedPair& pair = plan_.pairs[p];
    attachments_[pair.first.device][pair.first.interface] = {Attachment::PairFirst, p, 0};
    attachments_[pair.second.device][pair.second.interface] = {Attachment::PairSecond, p, 0};
  }
  for (std::size_t l = 0; l < plan_.lans.size(); ++l) {
    for (std::size_t port = 0; port < plan_.lans[l].ports.size(); ++port) {
      const InterfaceRef& end = plan_.lans[l].ports[port].end;
      attachments_[end.device][end.interface] = {Attachment::LanPort, l, port};
    }
  }
}

Build::~Build() = default;

void Build::step(const std::string& what) {
  if (fail_at_step_ && ++steps_ == *fail_at_step_) {
    throw RuntimeError("Injected failure at kernel operation " + std::to_string(steps_) + " (" + what + ")");
  }
}

void Build::create_namespace_of(std::size_t device) {
  if (!run_dir_prepared_) {
    prepare_netns_run_dir();
    make_room_in_neighbour_tables(plan_, plan_.run_id);
    run_dir_prepared_ = true;
  }
  const std::string& name = plan_.devices.at(device).actual_name;
  step("create network namespace " + name);
  namespaces_[device] = NamespaceHandle::create_owned(name, *journal_, home_.get());
}

void Build::adopt_namespace_of(std::size_t device, NamespaceHandle handle) {
  PlannedDevice& planned = plan_.devices.at(device);
  journal_->record_adopted(handle.id(), handle.path());
  // What the namespace holds already: the plan's names must be free there,
  // and its indexes are moved past the highest one in use.
  const std::map<std::string, int> existing = RouteSocket(handle.fd(), home_.get(), handle.label()).links();
  int highest = 0;
  for (const auto& [name, index] : existing) highest = std::max(highest, index);
  std::vector<std::string> taken;
  for (const PlannedInterface& interface : planned.interfaces) {
    if (interface.kind != InterfaceKind::Loopback && existing.count(interface.name)) taken.push_back(interface.name);
  }
  for (const PlannedBridge& bridge : planned.bridges) {
    if (existing.count(bridge.name)) taken.push_back(bridge.name);
  }
  if (!taken.empty()) {
    std::string names;
    for (const std::string& name : taken) names += (names.empty() ? "" : ", ") + name;
    throw OSError(EEXIST, "Cannot build device " + py_repr(planned.logical_name) + " in " + handle.label() +
                              ": it has interfaces named " + names + " already");
  }
  int lowest_planned = 0;
  for (const PlannedInterface& interface : planned.interfaces) {
    if (interface.kind != InterfaceKind::Loopback)
      lowest_planned = lowest_planned ? std::min(lowest_planned, interface.ifindex) : interface.ifindex;
  }
  if (lowest_planned && highest >= lowest_planned) {
    const int shift = highest + 1 - lowest_planned;
    for (PlannedInterface& interface : planned.interfaces) {
      if (interface.kind != InterfaceKind::Loopback) interface.ifindex += shift;
    }
    for (PlannedBridge& bridge : planned.bridges) bridge.ifindex += shift;
  }
  // Everything the run makes there, journaled before it exists.
  for (const PlannedBridge& bridge : planned.bridges) journal_->record_link(handle.id(), bridge.ifindex, bridge.name);
  for (const PlannedInterface& interface : planned.interfaces) {
    if (interface.kind == InterfaceKind::Loopback) {
      for (const IpAddress& address : interface.addresses) journal_->record_address(handle.id(), 1, address.text());
    } else {
      journal_->record_link(handle.id(), interface.ifindex, interface.name);
    }
  }
  namespaces_[device] = std::move(handle);
}

void Build::create_link_namespace() {
  if (link_namespace_) return;
  step("create network namespace " + plan_.link_namespace);
  link_namespace_ = NamespaceHandle::create_owned(plan_.link_namespace, *journal_, home_.get());
  link_socket_ = std::make_unique<RouteSocket>(link_namespace_.fd(), home_.get(), link_namespace_.label());
}

void Build::create_lans() {
  if (plan_.lans.empty()) return;
  create_link_namespace();
  for (const PlannedLan& lan : plan_.lans) {
    step("create bridge " + lan.bridge);
    LinkSettings bridge;
    bridge.name = lan.bridge;
    bridge.ifindex = lan.bridge_ifindex;
    bridge.mac = lan.bridge_mac;
    bridge.up = true;
    link_socket_->add_bridge(bridge);
    if (lan.stp) link_socket_->enable_stp(lan.bridge_ifindex, lan.bridge);
  }
}

void Build::add_stub(const PlannedInterface& interface, RouteSocket& socket) {
  create_link_namespace();
  LinkSettings stub;
  stub.name = "stub" + std::to_string(++stubs_);
  step("create veth " + interface.name + " (for want of a dummy)");
  socket.add_veth(settings_of(interface, interface.up), stub, link_namespace_.fd(), link_namespace_.label());
  if (!interface.up) return;
  stub.up = true;
  step("bring " + stub.name + " up in " + plan_.link_namespace);
  link_socket_->change_link(stub);
}

void Build::set_sysctls(std::size_t device, const std::vector<std::pair<std::string, std::string>>& settings) {
  const NamespaceHandle& ns = namespaces_[device];
  const Sysctls sysctls;
  NamespaceEntry inside(ns.fd(), home_.get());
  for (const auto& [path, value] : settings) {
    if (!ns.owned()) {
      const std::optional<std::string> before = sysctls.read(path);
      if (!before || *before == value) continue;
      journal_->record_sysctl(ns.id(), path, *before);
      changed_.push_back({device, path, *before});
    }
    sysctls.write(path, value, ns.label());
  }
}

void Build::prepare_namespace(std::size_t index) {
  const PlannedDevice& device = plan_.devices[index];
  const NamespaceHandle& ns = namespaces_.at(index);
  std::vector<std::pair<std::string, std::string>> settings;
  if (device.forwarding || home_forwards_ || !ns.owned()) {
    const char* value = device.forwarding ? "1" : "0";
    step(std::string("turn forwarding ") + (device.forwarding ? "on" : "off") + " in " + ns.label());
    settings = {{"/proc/sys/net/ipv4/ip_forward", value}, {"/proc/sys/net/ipv6/conf/all/forwarding", value}};
  }
  // Every address of a topology is planned unique, and every MAC (whence
  // the link-local addresses): duplicate address detection would only hold
  // each IPv6 address tentative for one to two seconds after its link comes
  // up.  The interfaces made from here on (both ends of a pair are made
  // before either comes up) skip it.
  settings.emplace_back(kDefaultAcceptDad, "0");
  set_sysctls(index, settings);
}

void Build::build_device(std::size_t index) {
  const PlannedDevice& device = plan_.devices[index];
  const NamespaceHandle& ns = namespaces_.at(index);
  if (!ns) throw AssertionError("the namespace of device " + device.logical_name + " is made before its interfaces");
  const std::string& where = ns.label();
  RouteSocket socket(ns.fd(), home_.get(), where);

  LinkSettings loopback;
  loopback.name = "lo";
  loopback.ifindex = 1;
  loopback.up = true;
  for (const PlannedInterface& interface : device.interfaces) {
    if (interface.kind == InterfaceKind::Loopback && interface.mtu) loopback.mtu = interface.mtu;
  }
  step("bring lo up in " + where);
  socket.change_link(loopback);

  for (const PlannedBridge& planned : device.bridges) {
    step("create bridge " + planned.name + " in " + where);
    LinkSettings bridge;
    bridge.name = planned.name;
    bridge.ifindex = planned.ifindex;
    bridge.mac = planned.mac;
    bridge.up = true;
    socket.add_bridge(bridge);
    if (planned.stp) socket.enable_stp(planned.ifindex, planned.name);
  }

  for (std::size_t i = 0; i < device.interfaces.size(); ++i) {
    const PlannedInterface& interface = device.interfaces[i];
    if (interface.kind == InterfaceKind::Dummy) {
      if (dummies_) {
        step("create dummy " + interface.name + " in " + where);
        if (socket.add_dummy(settings_of(interface, interface.up))) continue;
        dummies_ = false;
        log::getLogger("tarvex.morvane.fabric")
            .info(
                "This kernel has no dummy interfaces (CONFIG_DUMMY): an interface without a link is a veth "
                "whose other end waits in the link namespace {}.",
                plan_.link_namespace);
      }
      add_stub(interface, socket);
      continue;
    }
    if (interface.kind != InterfaceKind::Veth) continue;
    const Attachment& attachment = attachments_[index][i];
    LinkSettings local = settings_of(interface, true);
    if (interface.bridge) local.master = device.bridges[*interface.bridge].ifindex;
    if (attachment.kind == Attachment::PairFirst) {
      // This end creates the pair; the other end is made in its own
      // namespace, down, and brought up from there.
      const InterfaceRef& other = plan_.pairs[attachment.index].second;
      const NamespaceHandle& other_ns = namespaces_.at(other.device);
      if (!other_ns) throw AssertionError("every device's namespace is made before the interfaces");
      step("create veth " + interface.name + " in " + where);
      socket.add_veth(local, settings_of(plan_.interface(other), false), other.device == index ? -1 : other_ns.fd(),
                      other_ns.label());
    } else if (attachment.kind == Attachment::PairSecond) {
      local.mtu.reset();  // given at creation
      step("bring " + interface.name + " up in " + where);
      socket.change_link(local);
    } else if (attachment.kind == Attachment::LanPort) {
      const PlannedLan& lan = plan_.lans[attachment.index];
      const PlannedLan::Port& port = lan.ports[attachment.port];
      LinkSettings peer;
      peer.name = port.name;
      peer.ifindex = port.ifindex;
      peer.mac = port.mac;
      step("create veth " + interface.name + " in " + where);
      socket.add_veth(local, peer, link_namespace_.fd(), link_namespace_.label());
    }
  }

  for (const PlannedInterface& interface : device.interfaces) {
    for (const IpAddress& address : interface.addresses) {
      step("add " + address.text() + " to " + interface.name + " in " + where);
      socket.add_address(interface.name, interface.ifindex, address);
    }
  }
}

void Build::finish() {
  restore_default_accept_dad();
  for (const PlannedLan& lan : plan_.lans) {
    for (const PlannedLan::Port& port : lan.ports) {
      LinkSettings settings;
      settings.name = port.name;
      settings.ifindex = port.ifindex;
      settings.up = true;
      settings.master = lan.bridge_ifindex;
      step("attach " + port.name + " to " + lan.bridge);
      link_socket_->change_link(settings);
    }
  }
  link_socket_.reset();
  for (std::size_t d = 0; d < plan_.devices.size(); ++d) {
    for (std::size_t i = 0; i < plan_.devices[d].interfaces.size(); ++i) {
      const PlannedInterface& interface = plan_.devices[d].interfaces[i];
      if (interface.impairment.empty()) continue;
      step("impair " + interface.name + " in " + namespaces_[d].label());
      impair({d, i}, interface.impairment);
    }
  }
  for (std::size_t d = 0; d < plan_.devices.size(); ++d) {
    const PlannedDevice& device = plan_.devices[d];
    if (device.routes.empty()) continue;
    RouteSocket socket(namespaces_[d].fd(), home_.get(), namespaces_[d].label());
    for (const Route& route : device.routes) {
      step("add the route to " + route.destination.text() + " in " + namespaces_[d].label());
      socket.add_route(route);
    }
  }
}

void Build::set_link_up(const InterfaceRef& ref, bool up) {
  const PlannedInterface& interface = plan_.interface(ref);
  const NamespaceHandle& ns = namespaces_.at(ref.device);
  const Attachment& attachment = attachments_.at(ref.device).at(ref.interface);
  // The far side first when the cable is pulled, the near side first when
  // it is put back: either way the near side sees the change last.
  auto far_side = [&] {
    if (attachment.kind == Attachment::PairFirst || attachment.kind == Attachment::PairSecond) {
      const PlannedPair& pair = plan_.pairs.at(attachment.index);
      const InterfaceRef& other = attachment.kind == Attachment::PairFirst ? pair.second : pair.first;
      const NamespaceHandle& other_ns = namespaces_.at(other.device);
      RouteSocket(other_ns.fd(), home_.get(), other_ns.label())
          .set_up(plan_.interface(other).ifindex, plan_.interface(other).name, up);
    } else if (attachment.kind == Attachment::LanPort) {
      const PlannedLan::Port& port = plan_.lans.at(attachment.index).ports.at(attachment.port);
      RouteSocket(link_namespace_.fd(), home_.get(), link_namespace_.label()).set_up(port.ifindex, port.name, up);
    }
  };
  if (!up) far_side();
  RouteSocket(ns.fd(), home_.get(), ns.label()).set_up(interface.ifindex, interface.name, up);
  if (up) far_side();
  downs_[{ref.device, ref.interface}] = !up;
}

bool Build::link_up(const InterfaceRef& ref) const {
  const auto found = downs_.find({ref.device, ref.interface});
  return found == downs_.end() || !found->second;
}

void Build::impair(const InterfaceRef& ref, const Impairment& impairment) {
  const PlannedInterface& interface = plan_.interface(ref);
  const NamespaceHandle& ns = namespaces_.at(ref.device);
  RouteSocket socket(ns.fd(), home_.get(), ns.label());
  const std::string where = "interface " + interface.name + " of device " + plan_.devices.at(ref.device).logical_name;
  if (impairment.empty()) {
    clear_impairment(socket.raw(), interface.ifindex, where);
    impairments_.erase({ref.device, ref.interface});
  } else {
    apply_impairment(socket.raw(), interface.ifindex, impairment, where);
    impairments_[{ref.device, ref.interface}] = impairment;
  }
}

Impairment Build::impairment_of(const InterfaceRef& ref) const {
  const auto found = impairments_.find({ref.device, ref.interface});
  return found == impairments_.end() ? Impairment{} : found->second;
}

void Build::build() {
  for (std::size_t d = 0; d < plan_.devices.size(); ++d) create_namespace_of(d);
  create_lans();
  for (std::size_t d = 0; d < plan_.devices.size(); ++d) prepare_namespace(d);
  for (std::size_t d = 0; d < plan_.devices.size(); ++d) build_device(d);
  finish();
}

void Build::restore_default_accept_dad() {
  // What an adopted namespace makes itself later detects duplicates as its
  // owner set it to.
  for (auto change = changed_.begin(); change != changed_.end();) {
    if (change->path != kDefaultAcceptDad) {
      ++change;
      continue;
    }
    const Sysctls sysctls;
    NamespaceEntry inside(namespaces_[change->device].fd(), home_.get());
    sysctls.write(change->path, change->before, namespaces_[change->device].label());
    change = changed_.erase(change);
  }
}

std::string Build::private_directory(const std::string& suffix) {
  const std::string path = journal_->private_directory(suffix);
  if (std::find(directories_.begin(), directories_.end(), path) != directories_.end()) return path;
  journal_->record_directory(path);
  if (::mkdir(path.c_str(), 0700) != 0) {
    const int error = errno;
    throw OSError(error, "Cannot create the directory " + path + ": " + std::strerror(error));
  }
  directories_.push_back(path);
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) journal_->record_directory_made(path, {st.st_dev, st.st_ino});
  return path;
}

void Build::take_back_from_adopted(TeardownReport& report) {
  for (std::size_t d = 0; d < namespaces_.size(); ++d) {
    const NamespaceHandle& ns = namespaces_[d];
    if (!ns || ns.owned()) continue;
    const PlannedDevice& device = plan_.devices[d];
    RouteSocket socket(ns.fd(), home_.get(), ns.label());
    for (auto interface = device.interfaces.rbegin(); interface != device.interfaces.rend(); ++interface) {
      if (interface->kind == InterfaceKind::Loopback) {
        for (const IpAddress& address : interface->addresses) socket.delete_address(1, address);
      } else if (socket.delete_link(interface->ifindex, interface->name)) {
        ++report.adopted_links;
      }
    }
    for (const PlannedBridge& bridge : device.bridges) {
      if (socket.delete_link(bridge.ifindex, bridge.name)) ++report.adopted_links;
    }
  }
  for (const Changed& change : changed_) {
    const Sysctls sysctls;
    NamespaceEntry inside(namespaces_[change.device].fd(), home_.get());
    sysctls.write(change.path, change.before, namespaces_[change.device].label());
  }
  changed_.clear();
}

TeardownReport Build::tear_down(bool keep_journal) {
  TeardownReport report;
  link_socket_.reset();
  std::exception_ptr first_failure;
  auto attempt = [&](auto&& action) {
    try {
      action();
    } catch (const std::exception&) {
      if (!first_failure) first_failure = std::current_exception();
    }
  };
  attempt([&] { take_back_from_adopted(report); });

  // The run's own namespaces: the processes left inside first, then the
  // namespaces (our descriptors would keep them alive: let go of them).
  std::vector<std::string> owned;
  std::set<NamespaceId> ids;
  for (NamespaceHandle* ns : [&] {
         std::vector<NamespaceHandle*> all;
         for (NamespaceHandle& handle : namespaces_) all.push_back(&handle);
         all.push_back(&link_namespace_);
         return all;
       }()) {
    if (*ns && ns->owned()) {
      owned.push_back(ns->name());
      ids.insert(ns->id());
    }
    ns->close();
  }
  attempt([&] { report.processes = end_processes_in(ids, kProcessGrace); });
  for (const std::string& name : owned) {
    attempt([&] {
      if (delete_named_namespace(name)) report.namespaces.push_back(name);
    });
  }
  for (NamespaceHandle& ns : namespaces_) ns = NamespaceHandle();
  link_namespace_ = NamespaceHandle();

  for (const std::string& directory : directories_) {
    attempt([&] {
      // Never follows a link a daemon may have left inside.
      std::error_code ec;
      std::filesystem::remove_all(directory, ec);
      if (ec) throw OSError(ec.value(), "Cannot remove the directory " + directory + ": " + ec.message());
    });
  }
  directories_.clear();
  if (first_failure || keep_journal) {
    // What could not be removed stays journaled, for `bringup -cleanup`.
    journal_.reset();
    if (first_failure) std::rethrow_exception(first_failure);
    return report;
  }
  if (journal_) {
    journal_->remove();
    journal_.reset();
  }
  return report;
}

}  // namespace tarvex::morvane::fabric
