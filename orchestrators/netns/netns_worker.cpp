#include <algorithm>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "orchestrators/netns/containers/container_set.hpp"
#include "orchestrators/netns/frr/frr_image_config.hpp"
#include "orchestrators/netns/frr/frr_routers.hpp"
#include "orchestrators/netns/worker_parts.hpp"
#include "tarvex/engine/engine_socket.hpp"
#include "tarvex/files.hpp"
#include "tarvex/morvane/bases/options.hpp"
#include "tarvex/morvane/bringup_loggers.hpp"
#include "tarvex/morvane/cleaners/frr.hpp"
#include "tarvex/morvane/cleaners/netns.hpp"
#include "tarvex/morvane/fabric/build.hpp"
#include "tarvex/morvane/fabric/journal.hpp"
#include "tarvex/morvane/fabric/namespaces.hpp"
#include "tarvex/morvane/fabric/plan.hpp"
#include "tarvex/morvane/orchestrators/netns.hpp"
#include "tarvex/morvane/schema.hpp"
#include "tarvex/registry.hpp"
#include "tarvex/signals.hpp"

namespace tarvex::morvane::orchestrators::netns {

using fabric::Build;
using fabric::Journal;
using fabric::PlanOptions;
using fabric::TeardownReport;

namespace {

log::Logger& logger() {
  static log::Logger& netns_logger = log::getLogger("tarvex.morvane.orchestrators.netns");
  return netns_logger;
}

// How many devices are built between two looks at the event loop (where a
// termination signal stops the launch).
constexpr std::size_t kDevicesPerTurn = 16;
// How often the start of the FRR daemons is looked at.
constexpr auto kFrrPoll = std::chrono::milliseconds(5);

// A link on which one end runs OSPF and the other does not forms no
// adjacency: likely not what the user meant, so it is said.
void warn_about_one_sided_ospf(fabric::Plan& plan, const std::vector<std::optional<FrrSetup>>& setups) {
  for (const fabric::PlannedPair& pair : plan.pairs) {
    const auto& a = setups.size() > pair.first.device ? setups[pair.first.device] : std::nullopt;
    const auto& b = setups.size() > pair.second.device ? setups[pair.second.device] : std::nullopt;
    if (!a || !b || !a->runs("ospfd") || !b->runs("ospfd")) continue;
    const std::optional<bool> on_a = a->ospf_adjacency_possible(plan.interface(pair.first).name);
    const std::optional<bool> on_b = b->ospf_adjacency_possible(plan.interface(pair.second).name);
    if (!on_a || !on_b || *on_a == *on_b) continue;
    const fabric::InterfaceRef& with = *on_a ? pair.first : pair.second;
    const fabric::InterfaceRef& without = *on_a ? pair.second : pair.first;
    plan.warnings.push_back("device " + py_repr(plan.devices[with.device].logical_name) + ", interface " +
                            py_repr(plan.interface(with).logical_name) + ": OSPF runs on this end of link " +
                            py_repr(pair.link) + " only (not on device " +
                            py_repr(plan.devices[without.device].logical_name) + ", interface " +
                            py_repr(plan.interface(without).logical_name) + "): no adjacency forms there");
  }
}

// One address as a text, several as a list.
Value addresses_value(const std::vector<IpAddress>& addresses, int family) {
  List texts;
  for (const IpAddress& address : addresses) {
    if (address.family == family) texts.emplace_back(address.text());
  }
  if (texts.size() == 1) return texts.front();
  return Value(std::move(texts));
}

// The user's content of an interface the base cannot carry over (one
// without a link), with the backend's own keys left to the backend.
Map user_content(const Value* entry) {
  Map content;
  if (!entry || !entry->is_map()) return content;
  for (const auto& [key, value] : entry->as_map()) {
    const std::string name = key.is_str() ? key.as_str() : "";
    if (name == "alias" || name == "boundToInterface" || name == "type" || name == "link") continue;
    content.insert_or_assign(key, value);
  }
  return content;
}

}  // namespace

const bases::WorkerOptions& NetnsWorker::options() {
  static const bases::WorkerOptions table =
      bases::WorkerOptions("Options of the netns orchestrator (network namespaces on this machine; needs root):")
          .add("netns_ready_timeout", &NetnsWorker::netns_ready_timeout,
               {.help = "Seconds each device may take to get ready: interfaces up with carrier, IPv6 addresses "
                        "past duplicate detection, neighbours answering pings (default 30).",
                .metavar = "SECONDS",
                .check = bases::positive})
          .add("container_engine", &NetnsWorker::container_engine,
               {.help = "The container engine of the devices with an image: unix:///PATH of its socket (default: "
                        "DOCKER_HOST or CONTAINER_HOST, else /run/podman/podman.sock, else /var/run/docker.sock).",
                .metavar = "URL",
                .check = [](const std::optional<std::string>& url) -> std::optional<std::string> {
                  if (url && !url->starts_with("unix://")) return "must be unix:///PATH of the engine's socket";
                  return std::nullopt;
                }});
  return table;
}

const ClassInfo& NetnsWorker::class_info() {
  static ClassInfo& info = []() -> ClassInfo& {
    static ClassInfo c("tarvex.morvane.orchestrators.netns.NetnsWorker", &BringUpWorkerBase::class_info(),
                       factory_of<NetnsWorker>());
    options().add_fields(c);
    c.method("exec", &NetnsWorker::exec, {Value(), Value()})
        .method("link_state", &NetnsWorker::link_state)
        .method("impair", &NetnsWorker::impair)
        .method("save", &NetnsWorker::save)
        .method("graph", &NetnsWorker::graph);
    return c;
  }();
  return info;
}

TARVEX_REGISTER_CLASS(worker_classes(), NetnsWorker, "netns");
MORVANE_BRINGUP_LOGGER("tarvex.morvane.orchestrators.netns");
// What network namespaces stand for.
MORVANE_DEVICE_TYPES(NetnsWorker, "host", "linux", "router", "switch");

NetnsWorker::NetnsWorker() : frr_(std::make_unique<FrrRouters>()), containers_(std::make_unique<ContainerParts>()) {}
NetnsWorker::~NetnsWorker() = default;

std::string NetnsWorker::topology_identity() const {
  const Value* testbed = logical_testbed_config.is_map() ? logical_testbed_config.find("testbed") : nullptr;
  const Value name = testbed && testbed->is_map() ? testbed->get("name") : Value();
  if (name.is_scalar() && !name.is_none() && !name.str().empty()) return name.str();
  if (logical_testbed_file && !logical_testbed_file->empty()) {
    return std::filesystem::path(*logical_testbed_file).stem().string();
  }
  return topology_name.value_or("");
}

fabric::Plan NetnsWorker::plan_for(const std::string& run_id) {
  std::vector<std::string> names;
  for (const Value& name : BringUpBase::logical_devices.as_list()) names.push_back(name.str());
  PlanOptions options;
  options.topology_tag = topology_identity();
  options.mac_seed = topology_identity();
  options.device_types = schema::device_types_of(class_info()).names();
  options.run_id = run_id;
  options.extra_checks = [this](fabric::Plan& plan, std::vector<std::string>& problems) {
    frr_->plan(logical_testbed_config, plan, problems);
    warn_about_one_sided_ospf(plan, frr_->setups());
    const std::string base =
        logical_testbed_file ? std::filesystem::absolute(*logical_testbed_file).parent_path().string() : ".";
    containers_->devices = plan_containers(logical_testbed_config, plan, base, problems);
  };
  return fabric::make_plan(logical_testbed_config, names, options);
}

asio::awaitable<void> NetnsWorker::_launch_topology() {
  if (build_) throw RuntimeError("Topology " + *topology_name + " is up already: tear it down before launching again");

  // Everything is checked before anything is created: first what the user
  // wrote, then the privileges, then the container engine and the images.
  const fabric::Plan checked = plan_for("check");
  check_frr_installed();
  if (const std::vector<std::string> missing = fabric::missing_privileges(); !missing.empty()) {
    std::string lacking;
    for (const std::string& cap : missing) lacking += (lacking.empty() ? "" : " and ") + cap;
    throw OSError(EPERM,
                  "The netns orchestrator needs root: creating network namespaces takes CAP_NET_ADMIN and "
                  "CAP_SYS_ADMIN, and this process lacks " +
                      lacking + ". Run bringup as root (for example with sudo). Nothing was created.");
  }
  if (containers_->any()) {
    // A termination signal stops a wait for the engine (a pull, say).
    containers_->set =
        std::make_unique<ContainerSet>(engine::engine_socket(container_engine), [] { signals::raise_if_pending(); });
    containers_->set->check(containers_->devices, checked);
    containers_->set->pull(containers_->devices);
  }

  const auto started = std::chrono::steady_clock::now();
  Journal journal = Journal::create(*topology_name);
  fabric::Plan plan;
  try {
    plan = plan_for(journal.run_id());
  } catch (...) {
    journal.remove();
    throw;
  }
  for (const std::string& warning : plan.warnings) logger().warning("Logical testbed: {}", warning);
  logger().info("Building topology {}: {} device(s) in network namespaces (run {}) ...", *topology_name,
                plan.devices.size(), plan.run_id);
  build_ = std::make_unique<Build>(std::move(plan), std::move(journal));
  const std::size_t devices = build_->plan().devices.size();
  // A look at the loop now and then: a termination signal ends the launch
  // there (and the teardown removes what was built).
  auto look_at_the_loop = [](std::size_t done) -> asio::awaitable<void> {
    if (done % kDevicesPerTurn == kDevicesPerTurn - 1) {
      co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    }
  };
  for (std::size_t d = 0; d < devices; ++d) {
    if (containers_->devices.at(d)) continue;
    build_->create_namespace_of(d);
    co_await look_at_the_loop(d);
  }
  launch_containers();
  build_->create_lans();
  for (std::size_t d = 0; d < devices; ++d) {
    build_->prepare_namespace(d);
    co_await look_at_the_loop(d);
  }
  for (std::size_t d = 0; d < devices; ++d) {
    build_->build_device(d);
    co_await look_at_the_loop(d);
  }
  build_->finish();
  // The routers from images start FRR now, their interfaces all there.
  for (const std::string& directory : containers_->frr_directories) {
    if (!directory.empty()) release_image_frr(directory);
  }
  logger().info("Built {} device(s) in {:.0f} ms.", build_->plan().devices.size(),
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
  co_await start_frr();
  report_build();
  _process_tb_config(false, true);
  write_control_file();
}

void NetnsWorker::check_frr_installed() const {
  std::vector<std::string> daemons, routers;
  bool vtysh = false;
  const std::vector<std::string> names = [] {
    std::vector<std::string> all;
    for (const Value& name : BringUpBase::logical_devices.as_list()) all.push_back(name.str());
    return all;
  }();
  const auto& setups = frr_->setups();
  for (std::size_t d = 0; d < setups.size() && d < names.size(); ++d) {
    // A router from an image runs the FRR of its image.
    if (!setups[d] || is_container(d)) continue;
    routers.push_back(py_repr(names[d]));
    for (const std::string& daemon : setups[d]->daemons) {
      if (std::find(daemons.begin(), daemons.end(), daemon) == daemons.end()) daemons.push_back(daemon);
    }
    vtysh = vtysh || setups[d]->raw_config.has_value();
  }
  if (routers.empty()) return;
  const std::vector<std::string> missing = missing_frr_parts(daemons, vtysh);
  if (missing.empty()) return;
  std::string lacking, asking;
  for (const std::string& part : missing) lacking += (lacking.empty() ? "" : ", ") + part;
  for (const std::string& router : routers) asking += (asking.empty() ? "" : ", ") + router;
  throw OSError(ENOENT, "FRRouting is not installed, and the router(s) " + asking + " run it (missing: " + lacking +
                            "). Install the Debian package frr (apt-get install frr). Nothing was created.");
}

bool NetnsWorker::is_container(std::size_t device) const {
  return device < containers_->devices.size() && containers_->devices[device].has_value();
}

void NetnsWorker::launch_containers() {
  if (!containers_->set) return;
  // The routers among them start FRR from what is rendered here.
  const auto& setups = frr_->setups();
  std::vector<std::vector<std::string>> binds(build_->plan().devices.size());
  containers_->frr_directories.assign(binds.size(), "");
  for (std::size_t d = 0; d < binds.size(); ++d) {
    if (!is_container(d) || d >= setups.size() || !setups[d]) continue;
    const std::string directory = build_->private_directory("frr") + "/" + build_->plan().devices[d].actual_name;
    binds[d] = write_image_config(*setups[d], directory);
    containers_->frr_directories[d] = directory;
    // FRR's daemons keep CAP_SYS_ADMIN (they enter namespaces).
    std::vector<std::string>& capabilities = containers_->devices[d]->capabilities;
    if (std::find(capabilities.begin(), capabilities.end(), "SYS_ADMIN") == capabilities.end()) {
      capabilities.push_back("SYS_ADMIN");
    }
  }
  containers_->set->launch(*build_, containers_->devices, binds, *topology_name);
}

asio::awaitable<void> NetnsWorker::start_frr() {
  bool any = false;
  for (std::size_t d = 0; d < frr_->setups().size(); ++d) any = any || (frr_->setups()[d] && !is_container(d));
  if (!any) co_return;
  const auto started = std::chrono::steady_clock::now();
  // The daemons' logs stay beside the run's other logs (the readiness
  // wait's), when there is a log directory.
  std::string log_directory = log::managed_handlers().tasklog.log_dir;
  if (!log_directory.empty()) {
    log_directory += "/" + *topology_name;
    files::ensure_private_directory(log_directory);
  }
  std::vector<bool> in_images;
  for (std::size_t d = 0; d < build_->plan().devices.size(); ++d) in_images.push_back(is_container(d));
  frr_->start(*build_, log_directory, in_images);
  asio::steady_timer timer(co_await asio::this_coro::executor);
  while (!frr_->advance(build_->journal())) {
    timer.expires_after(kFrrPoll);
    co_await timer.async_wait(asio::use_awaitable);
  }
  logger().info("Started FRRouting on {} router(s) in {:.0f} ms.", frr_->instances().size(),
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
}

void NetnsWorker::report_build() {
  const fabric::Plan& plan = build_->plan();
  const Value* logical_topology = logical_testbed_config.is_map() ? logical_testbed_config.find("topology") : nullptr;
  Map devices, topology, readiness;
  List actual_names, frr_routers;
  for (std::size_t d = 0; d < plan.devices.size(); ++d) {
    const PlannedDevice& device = plan.devices[d];
    const fabric::NamespaceHandle& ns = build_->namespace_of(d);
    const std::string& actual = device.actual_name;
    const Value* device_topology =
        logical_topology && logical_topology->is_map() ? logical_topology->find(device.logical_name) : nullptr;
    const Value* logical_interfaces =
        device_topology && device_topology->is_map() ? device_topology->find("interfaces") : nullptr;

    Map interfaces;
    List ready_interfaces{"lo"};
    List stp_bridges;
    for (const PlannedInterface& interface : device.interfaces) {
      const Value* logical_entry = logical_interfaces && logical_interfaces->is_map()
                                       ? logical_interfaces->find(interface.logical_name)
                                       : nullptr;
      Value& entry = interfaces[interface.name];
      const bool first_here = entry.is_none();
      Map fields;
      // Without a link the base cannot bind the interface to the user's, so
      // the alias and the user's content are written here.
      if (!interface.link && first_here) fields = user_content(logical_entry);
      if (interface.link) fields["link"] = *interface.link;
      fields["type"] = interface.type;
      if (interface.kind != InterfaceKind::Loopback) fields["mac"] = mac_text(interface.mac);
      if (interface.mtu) fields["mtu"] = *interface.mtu;
      std::vector<IpAddress> addresses = interface.addresses;
      if (!first_here) {
        // A second loopback interface: its addresses are on lo as well.
        for (const char* key : {"ipv4", "ipv6"}) {
          const Value held = entry.get(key);
          for (const Value& text : held.is_list() ? held.as_list() : List{held}) {
            if (text.is_str()) addresses.push_back(*IpAddress::parse(text.as_str(), 0, true));
          }
        }
        fields = entry.as_map();
      }
      fields.erase("ipv4");
      fields.erase("ipv6");
      for (int family : {4, 6}) {
        const Value value = addresses_value(addresses, family);
        if (value.truthy()) fields[family == 4 ? "ipv4" : "ipv6"] = value;
      }
      if (first_here) fields["alias"] = interface.logical_name;
      entry = Value(std::move(fields));
      if (interface.up && interface.kind != InterfaceKind::Loopback) ready_interfaces.emplace_back(interface.name);
    }
    for (const PlannedBridge& bridge : device.bridges) {
      Value entry = Value::map({{"type", "bridge"}, {"mac", mac_text(bridge.mac)}});
      if (bridge.vlan) entry["vlan"] = *bridge.vlan;
      if (bridge.stp) {
        entry["stp"] = true;
        stp_bridges.emplace_back(bridge.name);
      }
      List ports;
      for (const PlannedInterface& interface : device.interfaces) {
        if (interface.bridge && device.bridges[*interface.bridge].name == bridge.name)
          ports.emplace_back(interface.name);
      }
      entry["ports"] = Value(std::move(ports));
      interfaces[bridge.name] = entry;
      // A bridge has carrier once one of its ports has.
      if (!entry["ports"].as_list().empty()) ready_interfaces.emplace_back(bridge.name);
    }

    Value connections = Value::map(
        {{"netns", ns.owned() ? Value::map({{"namespace", ns.name()}}) : Value::map({{"path", ns.path()}})}});
    devices[actual] = Value::map({{"type", device.type}, {"os", "linux"}, {"alias", device.logical_name}});
    if (const ContainerSet::Running* container = containers_->set ? containers_->set->of_device(d) : nullptr) {
      const std::string& engine = containers_->set->engine_name();
      connections["container"] = Value::map({{"name", container->name},
                                             {"id", container->id},
                                             {"engine", engine},
                                             {"socket", containers_->set->socket()},
                                             {"exec", List{engine, "exec", "-it", container->name, "sh"}}});
      devices[actual]["image"] = containers_->devices[d]->image;
    }
    const std::optional<RouterFrr> frr = router_frr(device.logical_name);
    if (frr) {
      connections["vtysh"] =
          Value::map({{"command", List{kVtysh, "--vty_socket", frr->directory}}, {"socket_dir", frr->directory}});
      Map logs;
      for (const auto& [daemon, path] : frr->logs) logs[daemon] = path;
      devices[actual]["frr"] = Value::map({{"directory", frr->directory}});
      if (!logs.empty()) devices[actual]["frr"]["logs"] = Value(std::move(logs));
    }
    devices[actual]["connections"] = connections;
    topology[actual] = Value::map({{"interfaces", interfaces}});
    dev_name_xref[actual] = device.logical_name;

    List neighbours;
    for (const Neighbour& neighbour : device.neighbours) {
      neighbours.push_back(Value::map({{"address", neighbour.address.address_text()},
                                       {"interface", neighbour.interface},
                                       {"device", neighbour.owner}}));
    }
    readiness[actual] = Value::map({{"netns_path", ns.path()},
                                    {"where", ns.label()},
                                    {"interfaces", Value(std::move(ready_interfaces))},
                                    {"neighbours", Value(std::move(neighbours))}});
    if (!stp_bridges.empty()) readiness[actual]["stp_bridges"] = Value(std::move(stp_bridges));
    if (frr) {
      readiness[actual]["frr"] = frr_readiness(device, *frr);
      frr_routers.emplace_back(actual);
    }
    actual_names.emplace_back(actual);
  }
  testbed_config =
      Value::map({{"testbed", Value::map({{"name", *topology_name}})}, {"devices", devices}, {"topology", topology}});
  Map cleaners{{"netns", Value::map({{"class", cleaners::netns::NetnsCleaner::class_info().name()},
                                     {"devices", actual_names},
                                     {"timeout", netns_ready_timeout}})}};
  if (!frr_routers.empty()) {
    cleaners["frr"] = Value::map({{"class", cleaners::frr::FrrCleaner::class_info().name()},
                                  {"devices", frr_routers},
                                  {"timeout", netns_ready_timeout}});
  }
  autogenerated_clean_config = Value::map({{"cleaners", Value(std::move(cleaners))}, {"devices", readiness}});
}

std::optional<NetnsWorker::RouterFrr> NetnsWorker::router_frr(const std::string& logical_name) const {
  if (const FrrInstance* instance = frr_->of(logical_name)) {
    return RouterFrr{instance->directory(), &instance->setup(), instance->log_files()};
  }
  const std::optional<std::size_t> d = build_->plan().device_index(logical_name);
  if (d && *d < containers_->frr_directories.size() && !containers_->frr_directories[*d].empty()) {
    return RouterFrr{image_socket_directory(containers_->frr_directories[*d]), &*frr_->setups().at(*d), {}};
  }
  return std::nullopt;
}

Value NetnsWorker::frr_readiness(const PlannedDevice& device, const RouterFrr& router) const {
  List daemons{"zebra"};
  for (const std::string& daemon : router.setup->daemons) daemons.emplace_back(daemon);
  // The OSPF neighbours the topology may imply: the IPv4 neighbours that
  // run ospfd too, unless the declarative keys say that one of the two ends
  // does not run OSPF on the link.  The cleaner keeps those whose interfaces
  // run OSPF on both ends, as the two ospfd report them.
  List ospf;
  if (router.setup->runs("ospfd")) {
    for (const Neighbour& neighbour : device.neighbours) {
      const std::optional<RouterFrr> peer = router_frr(neighbour.owner);
      if (!neighbour.address.is_ipv4() || !peer || !peer->setup->runs("ospfd")) continue;
      if (router.setup->ospf_adjacency_possible(neighbour.interface) == false ||
          peer->setup->ospf_adjacency_possible(neighbour.owner_interface) == false) {
        continue;
      }
      ospf.push_back(Value::map({{"interface", neighbour.interface},
                                 {"address", neighbour.address.address_text()},
                                 {"device", neighbour.owner},
                                 {"peer_interface", neighbour.owner_interface},
                                 {"directory", peer->directory}}));
    }
  }
  return Value::map({{"directory", router.directory},
                     {"daemons", Value(std::move(daemons))},
                     {"ospf_neighbours", Value(std::move(ospf))}});
}

asio::awaitable<void> NetnsWorker::_tear_down_topology() {
  if (!build_) co_return;
  // The daemons first: they are this process's children and hold their
  // namespaces.
  const std::vector<std::string> frr_killed = frr_->stop();
  // Then the containers (their namespaces go with them), keeping the
  // journal when one cannot be removed.
  std::exception_ptr containers_failed;
  std::size_t containers_removed = 0;
  if (containers_->set) {
    try {
      containers_removed = containers_->set->remove_all().size();
    } catch (const std::exception&) {
      containers_failed = std::current_exception();
    }
  }
  const TeardownReport report = build_->tear_down(containers_failed != nullptr);
  build_.reset();
  containers_->set.reset();
  if (containers_removed) logger().info("Removed {} container(s) of topology {}.", containers_removed, *topology_name);
  if (containers_failed) std::rethrow_exception(containers_failed);
  for (const std::string& daemon : frr_killed) {
    logger().warning("FRR daemon {} did not end on SIGTERM within {} ms and was killed.", daemon, kFrrGrace.count());
  }
  for (const std::string& process : report.processes) {
    logger().info("Ended process {} left inside the topology.", process);
  }
  logger().info("Removed {} network namespace(s) of topology {}.", report.namespaces.size(), *topology_name);
}

}  // namespace tarvex::morvane::orchestrators::netns
