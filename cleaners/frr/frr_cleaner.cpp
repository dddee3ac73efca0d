#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>

#include "tarvex/morvane/bases/readiness_deadline.hpp"
#include "tarvex/morvane/bringup_loggers.hpp"
#include "tarvex/morvane/cleaners/frr.hpp"
#include "tarvex/registry.hpp"
#include "vty_client.hpp"

namespace tarvex::morvane::cleaners::frr {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

constexpr double kDefaultTimeoutSec = 30;
constexpr auto kPoll = std::chrono::milliseconds(100);
// How long one answer may take, at most (a busy daemon answers late, not
// never).
constexpr auto kAnswerBound = std::chrono::seconds(5);

log::Logger& logger() {
  static log::Logger& cleaner_logger = log::getLogger("tarvex.morvane.cleaners.frr");
  return cleaner_logger;
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : "; ") + item;
  return text;
}

std::string text_of(const Json& json, const char* key) {
  const auto found = json.find(key);
  return found != json.end() && found->is_string() ? found->get<std::string>() : "";
}

bool flag_of(const Json& json, const char* key) {
  const auto found = json.find(key);
  return found != json.end() && found->is_boolean() && found->get<bool>();
}

// A command's JSON output from a daemon of an instance.  Each answer has
// its own bound, so that the last look before the wait's deadline still
// sees the state.
Json ask(const std::string& directory, const std::string& daemon, const std::string& command) {
  VtyClient client(directory + "/" + daemon + ".vty");
  const std::string out = client.run(command, Clock::now() + kAnswerBound);
  try {
    return Json::parse(out);
  } catch (const Json::exception& e) {
    throw RuntimeError(daemon + " answered " + command + " with what is not JSON (" + e.what() + ")");
  }
}

// An interface as ospfd reports it.
struct OspfInterface {
  bool enabled = false;
  bool passive = false;
  std::string address;
  std::string state;  // "Point-To-Point", "DR", "DROther", ...
};

std::map<std::string, OspfInterface> ospf_interfaces(const std::string& directory) {
  std::map<std::string, OspfInterface> interfaces;
  const Json answer = ask(directory, "ospfd", "show ip ospf interface json");
  const auto found = answer.find("interfaces");
  if (found == answer.end() || !found->is_object()) return interfaces;
  for (const auto& [name, entry] : found->items()) {
    interfaces[name] = {flag_of(entry, "ospfEnabled") || entry.contains("area"), flag_of(entry, "timerPassiveIface"),
                        text_of(entry, "ipAddress"), text_of(entry, "state")};
  }
  return interfaces;
}

// A neighbour the topology implies: the two ends run OSPF on the link.
struct Adjacency {
  std::string interface;
  std::string address;
  std::string device;
  std::string peer_interface;
  std::string peer_directory;
  bool decided = false;  // both ends' ospfd know their interfaces
  bool expected = false;

  std::string label() const { return "OSPF neighbour " + device + " (" + address + " via " + interface + ")"; }
};

// What keeps OSPF from having converged: the adjacencies not Full.
std::vector<std::string> ospf_missing(const std::string& directory, std::vector<Adjacency>& adjacencies) {
  std::vector<std::string> missing;
  const std::map<std::string, OspfInterface> own = ospf_interfaces(directory);
  std::map<std::string, std::map<std::string, OspfInterface>> peers;
  for (Adjacency& adjacency : adjacencies) {
    if (adjacency.decided) continue;
    // An ospfd lists an interface once zebra has told it of the interface:
    // until both ends are listed, whether OSPF runs on the link is not known
    // yet, and the adjacency is waited for.
    const auto mine = own.find(adjacency.interface);
    if (mine == own.end()) {
      missing.push_back(adjacency.label() + ": ospfd does not know " + adjacency.interface + " yet");
      continue;
    }
    if (!mine->second.enabled || mine->second.passive) {
      adjacency.decided = true;  // OSPF does not run on our end
      continue;
    }
    try {
      auto [it, fresh] = peers.try_emplace(adjacency.peer_directory);
      if (fresh) it->second = ospf_interfaces(adjacency.peer_directory);
      const auto theirs = it->second.find(adjacency.peer_interface);
      if (theirs == it->second.end()) {
        missing.push_back(adjacency.label() + ": " + adjacency.device + "'s ospfd does not know " +
                          adjacency.peer_interface + " yet");
        continue;
      }
      adjacency.decided = true;
      adjacency.expected = theirs->second.enabled && !theirs->second.passive;
    } catch (const std::exception& e) {
      peers.erase(adjacency.peer_directory);
      missing.push_back("cannot ask " + adjacency.device + "'s ospfd whether " + adjacency.address +
                        " runs OSPF: " + e.what());
    }
  }

  const Json answer = ask(directory, "ospfd", "show ip ospf neighbor json");
  const auto neighbours = answer.find("neighbors");
  for (const Adjacency& adjacency : adjacencies) {
    if (!adjacency.expected) continue;
    std::string state;
    std::string role;
    if (neighbours != answer.end() && neighbours->is_object()) {
      for (const auto& [router_id, entries] : neighbours->items()) {
        for (const Json& entry : entries.is_array() ? entries : Json::array({entries})) {
          const std::string on = text_of(entry, "ifaceName");
          if (text_of(entry, "ifaceAddress") == adjacency.address && on.rfind(adjacency.interface + ":", 0) == 0) {
            state = text_of(entry, "nbrState");
            role = text_of(entry, "role");
          }
        }
      }
    }
    if (state.rfind("Full", 0) == 0) continue;
    // Two routers that are neither DR nor BDR of a LAN stay 2-Way.
    const auto mine = own.find(adjacency.interface);
    if (state.rfind("2-Way", 0) == 0 && role == "DROther" && mine != own.end() && mine->second.state == "DROther") {
      continue;
    }
    missing.push_back(adjacency.label() + (state.empty() ? " has not been seen" : " is " + state));
  }
  return missing;
}

// What keeps BGP from having converged: the sessions not Established.
std::vector<std::string> bgp_missing(const std::string& directory) {
  std::vector<std::string> missing;
  const Json answer = ask(directory, "bgpd", "show bgp neighbors json");
  if (!answer.is_object()) return missing;
  for (const auto& [peer, entry] : answer.items()) {
    if (!entry.is_object() || flag_of(entry, "adminShutDown")) continue;
    const std::string state = text_of(entry, "bgpState");
    if (state == "Established") continue;
    std::string remote;
    if (const auto as = entry.find("remoteAs"); as != entry.end() && as->is_number()) {
      remote = " (AS " + std::to_string(as->get<long long>()) + ")";
    }
    missing.push_back("BGP session with " + peer + remote + " is " + (state.empty() ? "unknown" : state));
  }
  return missing;
}

}  // namespace

const ClassInfo& FrrCleaner::class_info() {
  static ClassInfo info("tarvex.morvane.cleaners.frr.FrrCleaner", &bases::BaseCleaner::class_info(),
                        factory_of<FrrCleaner>());
  return info;
}

TARVEX_REGISTER_CLASS(cleaner_classes(), FrrCleaner, "frr");
MORVANE_BRINGUP_LOGGER("tarvex.morvane.cleaners.frr");

void FrrCleaner::clean(topology::Device& device) {
  const Value& settings = device.clean;
  const bases::ReadinessDeadline wait(*this, device, "Router", kDefaultTimeoutSec);
  const std::string& who = wait.who();
  auto not_converged = [&](const std::string& what) { return wait.failure("has not converged", what); };

  // Held here: a range-for over a member of a temporary would iterate a
  // list already destroyed.
  const Value frr = settings.get("frr", Map{});
  const std::string directory = frr.get("directory").str();
  const Value daemon_names = frr.get("daemons", List{});
  const Value candidates = frr.get("ospf_neighbours", List{});
  std::vector<std::string> daemons;
  for (const Value& name : daemon_names.as_list()) daemons.push_back(name.str());
  auto runs = [&](const char* daemon) { return std::find(daemons.begin(), daemons.end(), daemon) != daemons.end(); };
  logger().info("Waiting for the routing protocols of {} to converge ...", who);

  // Every daemon answers.
  std::map<std::string, std::string> silent;
  for (const std::string& daemon : daemons) silent[daemon] = "not asked yet";
  while (!silent.empty()) {
    for (auto it = silent.begin(); it != silent.end();) {
      try {
        VtyClient(directory + "/" + it->first + ".vty").run("show version", Clock::now() + kAnswerBound);
        it = silent.erase(it);
      } catch (const std::exception& e) {
        it->second = e.what();
        ++it;
      }
    }
    if (silent.empty()) break;
    if (wait.passed()) {
      std::vector<std::string> what;
      for (const auto& [daemon, why] : silent) what.push_back(daemon + " does not answer (" + why + ")");
      throw not_converged(joined(what));
    }
    std::this_thread::sleep_for(kPoll);
  }

  std::vector<Adjacency> adjacencies;
  for (const Value& candidate : candidates.as_list()) {
    adjacencies.push_back({candidate.get("interface").str(), candidate.get("address").str(),
                           candidate.get("device").str(), candidate.get("peer_interface").str(),
                           candidate.get("directory").str()});
  }
  // What was missing at the last complete look: a look that fails (a
  // daemon busy past the answer bound) does not hide it.
  std::vector<std::string> missing{"not looked at yet"};
  for (;;) {
    try {
      std::vector<std::string> now;
      if (runs("ospfd")) now = ospf_missing(directory, adjacencies);
      if (runs("bgpd")) {
        for (std::string& session : bgp_missing(directory)) now.push_back(std::move(session));
      }
      missing = std::move(now);
    } catch (const std::exception& e) {
      logger().debug("{}: cannot look at the routing protocols: {}", who, e.what());
      if (!missing.empty() && missing.front() == "not looked at yet") missing = {e.what()};
    }
    if (missing.empty()) break;
    if (wait.passed()) throw not_converged(joined(missing));
    std::this_thread::sleep_for(kPoll);
  }
  std::size_t full = 0;
  for (const Adjacency& adjacency : adjacencies) full += adjacency.expected ? 1 : 0;
  logger().info("{} has converged ({:.2f} s, {} OSPF neighbour(s) Full).", who, wait.elapsed(), full);
}

}  // namespace tarvex::morvane::cleaners::frr
