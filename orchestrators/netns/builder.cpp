#include "builder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "namespaces.hpp"
#include "route_socket.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/log.hpp"

namespace tarvex::morvane::orchestrators::netns {

namespace {

// Writes a sysctl of the calling thread's network namespace; a missing one
// (IPv6 compiled out) is skipped.
void write_sysctl(const std::string& path, const char* value, const std::string& namespace_name) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return;
  const bool written = fd >= 0 && ::write(fd, value, std::strlen(value)) == static_cast<ssize_t>(std::strlen(value));
  const int error = errno;
  if (fd >= 0) ::close(fd);
  if (!written) {
    throw OSError(error,
                  "Cannot set " + path + " in network namespace " + namespace_name + ": " + std::strerror(error));
  }
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

}  // namespace

TeardownReport tear_down_namespaces(const std::vector<std::string>& names) {
  TeardownReport report;
  std::set<NamespaceId> ids;
  for (const std::string& name : names) {
    if (std::optional<NamespaceId> id = named_namespace_id(name)) ids.insert(*id);
  }
  report.processes = end_processes_in(ids, kProcessGrace);
  std::exception_ptr first_failure;
  for (const std::string& name : names) {
    try {
      if (delete_named_namespace(name)) report.namespaces.push_back(name);
    } catch (const std::exception&) {
      if (!first_failure) first_failure = std::current_exception();
    }
  }
  if (first_failure) std::rethrow_exception(first_failure);
  return report;
}

Build::Build(Plan plan, Journal journal, std::optional<long> fail_at_step)
    : plan_(std::move(plan)), journal_(std::move(journal)), fail_at_step_(fail_at_step), home_(current_namespace()) {
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

UniqueFd Build::create_namespace(const std::string& name) {
  step("create network namespace " + name);
  claim_namespace_name(name);
  try {
    journal_->record_namespace(name);
  } catch (...) {
    // Not journaled, so removed at once: it is ours, just claimed.
    ::unlink(namespace_path(name).c_str());
    throw;
  }
  created_.push_back(name);
  return create_named_namespace(name, home_.get());
}

void Build::create_link_namespace() {
  if (link_namespace_) return;
  link_namespace_ = create_namespace(plan_.link_namespace);
  link_socket_ = std::make_unique<RouteSocket>(link_namespace_.get(), home_.get(), plan_.link_namespace);
}

void Build::create_namespace_of(std::size_t device) {
  if (namespaces_.empty()) prepare_netns_run_dir();
  if (device != namespaces_.size()) throw AssertionError("device namespaces are created in plan order");
  namespaces_.push_back(create_namespace(plan_.devices[device].namespace_name));
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
  }
}

void Build::add_stub(const PlannedInterface& interface, RouteSocket& socket) {
  create_link_namespace();
  LinkSettings stub;
  stub.name = "stub" + std::to_string(++stubs_);
  step("create veth " + interface.name + " (for want of a dummy)");
  socket.add_veth(settings_of(interface, interface.up), stub, link_namespace_.get(), plan_.link_namespace);
  if (!interface.up) return;
  stub.up = true;
  step("bring " + stub.name + " up in " + plan_.link_namespace);
  link_socket_->change_link(stub);
}

void Build::build_device(std::size_t index) {
  const PlannedDevice& device = plan_.devices[index];
  const std::string& ns = device.namespace_name;
  if (device.forwarding) {
    step("turn forwarding on in " + ns);
    NamespaceEntry inside(namespaces_[index].get(), home_.get());
    write_sysctl("/proc/sys/net/ipv4/ip_forward", "1", ns);
    write_sysctl("/proc/sys/net/ipv6/conf/all/forwarding", "1", ns);
  }
  RouteSocket socket(namespaces_[index].get(), home_.get(), ns);

  LinkSettings loopback;
  loopback.name = "lo";
  loopback.ifindex = 1;
  loopback.up = true;
  for (const PlannedInterface& interface : device.interfaces) {
    if (interface.kind == InterfaceKind::Loopback && interface.mtu) loopback.mtu = interface.mtu;
  }
  step("bring lo up in " + ns);
  socket.change_link(loopback);

  for (const PlannedBridge& planned : device.bridges) {
    step("create bridge " + planned.name + " in " + ns);
    LinkSettings bridge;
    bridge.name = planned.name;
    bridge.ifindex = planned.ifindex;
    bridge.mac = planned.mac;
    bridge.up = true;
    socket.add_bridge(bridge);
  }

  for (std::size_t i = 0; i < device.interfaces.size(); ++i) {
    const PlannedInterface& interface = device.interfaces[i];
    if (interface.kind == InterfaceKind::Dummy) {
      if (dummies_) {
        step("create dummy " + interface.name + " in " + ns);
        if (socket.add_dummy(settings_of(interface, interface.up))) continue;
        dummies_ = false;
        log::getLogger("tarvex.morvane.orchestrators.netns")
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
      step("create veth " + interface.name + " in " + ns);
      socket.add_veth(local, settings_of(plan_.interface(other), false),
                      other.device == index ? -1 : namespaces_[other.device].get(),
                      plan_.devices[other.device].namespace_name);
    } else if (attachment.kind == Attachment::PairSecond) {
      local.mtu.reset();  // given at creation
      step("bring " + interface.name + " up in " + ns);
      socket.change_link(local);
    } else if (attachment.kind == Attachment::LanPort) {
      const PlannedLan& lan = plan_.lans[attachment.index];
      const PlannedLan::Port& port = lan.ports[attachment.port];
      LinkSettings peer;
      peer.name = port.name;
      peer.ifindex = port.ifindex;
      peer.mac = port.mac;
      step("create veth " + interface.name + " in " + ns);
      socket.add_veth(local, peer, link_namespace_.get(), plan_.link_namespace);
    }
  }

  for (const PlannedInterface& interface : device.interfaces) {
    for (const IpAddress& address : interface.addresses) {
      step("add " + address.text() + " to " + interface.name + " in " + ns);
      socket.add_address(interface.name, interface.ifindex, address);
    }
  }
}

void Build::finish() {
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
  link_namespace_.reset();
  for (std::size_t d = 0; d < plan_.devices.size(); ++d) {
    const PlannedDevice& device = plan_.devices[d];
    if (device.routes.empty()) continue;
    RouteSocket socket(namespaces_[d].get(), home_.get(), device.namespace_name);
    for (const Route& route : device.routes) {
      step("add the route to " + route.destination.text() + " in " + device.namespace_name);
      socket.add_route(route);
    }
  }
  // The namespaces are reached through their names from here on.
  namespaces_.clear();
}

void Build::build() {
  for (std::size_t d = 0; d < plan_.devices.size(); ++d) create_namespace_of(d);
  create_lans();
  for (std::size_t d = 0; d < plan_.devices.size(); ++d) build_device(d);
  finish();
}

void Build::start_frr(const std::string& log_directory) {
  for (const PlannedDevice& device : plan_.devices) {
    if (!device.frr) continue;
    if (!frr_directory_) {
      const std::string directory = journal_->frr_directory();
      journal_->record_directory(directory);
      if (::mkdir(directory.c_str(), 0700) != 0) {
        const int error = errno;
        throw OSError(error, "Cannot create the FRR directory " + directory + ": " + std::strerror(error));
      }
      frr_directory_ = directory;
    }
    const std::string ns = device.namespace_name;
    const std::string directory = *frr_directory_ + "/" + ns;
    const std::string log_prefix = log_directory.empty() ? directory + "/" : log_directory + "/" + ns + ".";
    frr_.emplace_back(device.logical_name, ns, directory, log_prefix, *device.frr);
    frr_.back().start(*journal_);
  }
}

bool Build::advance_frr() {
  bool all = true;
  for (FrrInstance& instance : frr_) all = instance.advance(*journal_) && all;
  return all;
}

std::vector<std::string> Build::stop_frr() {
  std::vector<std::string> killed;
  if (frr_.empty()) return killed;
  for (FrrInstance& instance : frr_) instance.terminate();
  const auto deadline = std::chrono::steady_clock::now() + kFrrGrace;
  auto all_ended = [&] {
    bool all = true;
    for (FrrInstance& instance : frr_) all = instance.ended() && all;
    return all;
  };
  while (!all_ended() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (FrrInstance& instance : frr_) {
    for (std::string& name : instance.kill_remaining()) killed.push_back(std::move(name));
  }
  frr_.clear();
  return killed;
}

TeardownReport Build::tear_down() {
  // The daemons first: they are this process's children and hold their
  // namespaces.
  const std::vector<std::string> frr_killed = stop_frr();
  // Our own descriptors would keep the namespaces alive.
  link_socket_.reset();
  link_namespace_.reset();
  namespaces_.clear();
  TeardownReport report = tear_down_namespaces(created_);
  report.frr_killed = frr_killed;
  created_.clear();
  if (frr_directory_) {
    // Never follows a link the daemons may have left inside.
    std::error_code ec;
    std::filesystem::remove_all(*frr_directory_, ec);
    if (ec) throw OSError(ec.value(), "Cannot remove the FRR directory " + *frr_directory_ + ": " + ec.message());
    frr_directory_.reset();
  }
  if (journal_) {
    journal_->remove();
    journal_.reset();
  }
  return report;
}

}  // namespace tarvex::morvane::orchestrators::netns
