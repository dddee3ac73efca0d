// Routers running FRRouting, through the netns worker in this process (root,
// frr installed): one triangle, configured declaratively on two routers (with
// BGP between them) and with FRR text under the user's names on the third,
// converges, routes, survives a link going down and leaves nothing behind;
// a configuration FRR refuses, a daemon that fails to start and a missing
// FRR stop the launch cleanly; the daemons of a killed worker are removed
// by the cleanup of dead runs.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "orchestrators/netns/frr/frr_daemons.hpp"
#include "support/netns.hpp"
#include "support/process_state.hpp"
#include "tarvex/morvane/orchestrators/netns.hpp"

namespace tarvex::testing {
namespace {

using namespace std::chrono_literals;
using morvane::orchestrators::netns::NetnsWorker;
namespace netns = morvane::orchestrators::netns;

// Fast OSPF timers in the user's own text, as the lab profile writes them.
const char* const kFastLink =
    "         ip ospf network point-to-point\n"
    "         ip ospf hello-interval 1\n"
    "         ip ospf dead-interval minimal hello-multiplier 4\n";

std::string triangle(const std::string& tag) {
  return "testbed: {name: " + tag +
         "}\n"
         "devices:\n"
         "  r1:\n"
         "    type: router\n"
         "    logical: true\n"
         "    frr:\n"
         "      ospf: {router_id: 1.1.1.1}\n"
         "      bgp: {asn: 65001, neighbors: [{address: 10.0.12.2, remote_as: 65002}], networks: [10.0.1.0/24]}\n"
         "  r2:\n"
         "    type: router\n"
         "    logical: true\n"
         "    frr:\n"
         "      daemons: [bgpd]\n"
         "      ospf: {router_id: 2.2.2.2}\n"
         "      bgp: {asn: 65002, router_id: 2.2.2.2, neighbors: [{address: 10.0.12.1, remote_as: 65001}]}\n"
         "  r3:\n"
         "    type: router\n"
         "    logical: true\n"
         "    frr:\n"
         "      config: |\n"
         "        interface west\n"
         "         ip ospf area 0\n" +
         kFastLink +
         "        exit\n"
         "        interface east\n"
         "         ip ospf area 0\n" +
         kFastLink +
         "        exit\n"
         "        interface lan\n"
         "         ip ospf area 0\n"
         "         ip ospf passive\n"
         "        exit\n"
         "        interface lo0\n"
         "         ip ospf area 0\n"
         "        exit\n"
         "        router ospf\n"
         "         ospf router-id 3.3.3.3\n"
         "         timers throttle spf 0 50 200\n"
         "         timers throttle lsa all 0\n"
         "         timers lsa min-arrival 0\n"
         "        exit\n"
         "  h1: {type: host, logical: true, gateway: 10.0.1.1}\n"
         "  h2: {type: host, logical: true, gateway: 10.0.3.1}\n"
         "topology:\n"
         "  r1:\n"
         "    interfaces:\n"
         "      to-r2: {link: r1-r2, ipv4: 10.0.12.1/30, ospf: {area: 0}}\n"
         "      to-r3: {link: r1-r3, ipv4: 10.0.13.1/30, ospf: {area: 0}}\n"
         "      to-h1: {link: r1-h1, ipv4: 10.0.1.1/24, ospf: {area: 0, passive: true}}\n"
         "      lo0: {type: loopback, ipv4: 1.1.1.1/32, ospf: {area: 0}}\n"
         "  r2:\n"
         "    interfaces:\n"
         "      to-r1: {link: r1-r2, ipv4: 10.0.12.2/30, ospf: {area: 0}}\n"
         "      to-r3: {link: r2-r3, ipv4: 10.0.23.1/30, ospf: {area: 0}}\n"
         "      lo0: {type: loopback, ipv4: 2.2.2.2/32, ospf: {area: 0}}\n"
         "  r3:\n"
         "    interfaces:\n"
         "      west: {link: r1-r3, ipv4: 10.0.13.2/30}\n"
         "      east: {link: r2-r3, ipv4: 10.0.23.2/30}\n"
         "      lan: {link: r3-h2, ipv4: 10.0.3.1/24}\n"
         "      lo0: {type: loopback, ipv4: 3.3.3.3/32}\n"
         "  h1: {interfaces: {e0: {link: r1-h1, ipv4: 10.0.1.10/24}}}\n"
         "  h2: {interfaces: {e0: {link: r3-h2, ipv4: 10.0.3.10/24}}}\n";
}

// One router alone, with what the case gives it.
std::string lone_router(const std::string& tag, const std::string& frr) {
  return "testbed: {name: " + tag + "}\ndevices:\n  r1: {type: router, logical: true, frr: " + frr +
         "}\ntopology:\n  r1: {interfaces: {lo0: {type: loopback, ipv4: 1.1.1.1/32, ospf: {area: 0}}}}\n";
}

// The FRR processes (by command name) whose parent is this process.
std::vector<pid_t> our_frr_children() {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    std::getline(in, stat);
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    const std::string command = stat.substr(stat.find('(') + 1, close - stat.find('(') - 1);
    char state = 0;
    pid_t parent = 0;
    std::istringstream(stat.substr(close + 2)) >> state >> parent;
    const bool frr =
        command == "zebra" || command == "ospfd" || command == "bgpd" || command == "vtysh" || command == "staticd";
    if (frr && parent == ::getpid() && state != 'Z') found.push_back(std::stoi(name));
  }
  return found;
}

std::vector<std::string> listing(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) names.push_back(entry.path());
  std::sort(names.begin(), names.end());
  return names;
}

class NetnsFrrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_bringup_process_state();
    saved_log_dir_ = log::managed_handlers().tasklog.log_dir;
    log::managed_handlers().tasklog.log_dir = dir_.path();
  }
  void TearDown() override {
    ::unsetenv(netns::kFrrDaemonDirVariable);
    log::managed_handlers().tasklog.log_dir = saved_log_dir_;
    reset_bringup_process_state();
  }

  std::unique_ptr<NetnsWorker> make(const std::string& yaml, double ready_timeout = 20) {
    const std::string path = dir_.file("logical.yaml");
    std::ofstream(path) << yaml;
    return create<NetnsWorker>(
        {}, {{"logical_testbed_file", path}, {"topology_name", tag_}, {"netns_ready_timeout", ready_timeout}});
  }

  // The launch's error (empty when it did not fail); it must leave nothing.
  std::string failed_launch(const std::string& yaml, double ready_timeout = 20) {
    auto worker = make(yaml, ready_timeout);
    std::string message;
    try {
      worker->launch_topology();
    } catch (const std::exception& e) {
      message = e.what();
    }
    worker->tear_down_topology();
    EXPECT_TRUE(namespaces_named(tag_).empty());
    EXPECT_TRUE(run_dir_.journals().empty()) << "journals or FRR directories left in " << run_dir_.path();
    EXPECT_TRUE(our_frr_children().empty());
    return message;
  }

  static std::string actual(const NetnsWorker& worker, const std::string& logical) {
    for (const auto& [name, value] : worker.dev_name_xref.as_map()) {
      if (value == Value(logical)) return name.str();
    }
    return "";
  }

  TempDir dir_;
  PrivateRunDir run_dir_;
  std::string saved_log_dir_;
  const std::string tag_ = unique_tag("fr");
};

TEST_F(NetnsFrrTest, OspfOnOneEndOfALinkOnlyIsWarnedOfAndNotWaitedFor) {
  MORVANE_REQUIRE_ROOT();
  // r2 runs OSPF, but not on its end of the link to r1: no adjacency can
  // form, and the readiness wait must not wait for one.
  auto worker = make("testbed: {name: " + tag_ +
                         "}\n"
                         "devices:\n"
                         "  r1: {type: router, logical: true, frr: {ospf: {router_id: 1.1.1.1}}}\n"
                         "  r2: {type: router, logical: true, frr: {ospf: {router_id: 2.2.2.2}}}\n"
                         "topology:\n"
                         "  r1: {interfaces: {e1: {link: l, ipv4: 10.0.12.1/30, ospf: {area: 0}}}}\n"
                         "  r2:\n"
                         "    interfaces:\n"
                         "      e1: {link: l, ipv4: 10.0.12.2/30}\n"
                         "      lo0: {type: loopback, ipv4: 2.2.2.2/32, ospf: {area: 0}}\n",
                     8);
  AtScopeExit tear_down([&] { worker->tear_down_topology(); });
  log::LogCapture capture;
  const auto started = std::chrono::steady_clock::now();
  worker->launch_topology();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
  EXPECT_TRUE(capture.contains(log::WARNING,
                               "Logical testbed: device 'r1', interface 'e1': OSPF runs on this end of link 'l' only "
                               "(not on device 'r2', interface 'e1'): no adjacency forms there"));
}

TEST_F(NetnsFrrTest, ATriangleConvergesRoutesSurvivesALinkDownAndLeavesNothing) {
  MORVANE_REQUIRE_ROOT();
  const std::vector<std::string> frr_run_before = listing(netns::kFrrRunDir);
  const bool var_tmp_frr_before = std::filesystem::exists("/var/tmp/frr");
  auto worker = make(triangle(tag_));
  AtScopeExit tear_down([&] { worker->tear_down_topology(); });
  const auto started = std::chrono::steady_clock::now();
  worker->launch_topology();  // includes the readiness wait: OSPF Full, BGP Established
  EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);

  const Value& devices = worker->testbed_config.at("devices");
  std::map<std::string, std::string> directory, ns;
  for (const char* router : {"r1", "r2", "r3", "h1", "h2"}) ns[router] = actual(*worker, router);
  for (const char* router : {"r1", "r2", "r3"}) {
    SCOPED_TRACE(router);
    const Value& device = devices.at(ns[router]);
    directory[router] = device.at("frr").get("directory").str();
    EXPECT_EQ(device.at("connections").at("vtysh").get("command"),
              Value(List{netns::kVtysh, "--vty_socket", directory[router]}));
    // Each daemon: a log file named in the testbed, a child of this
    // process inside the router's namespace.
    for (const auto& [daemon, log] : device.at("frr").at("logs").as_map()) {
      if (daemon.str() == "vtysh") continue;  // silent when FRR takes the text
      EXPECT_GT(std::filesystem::file_size(log.str()), 0u) << log.str();
      std::ifstream pid_file(directory[router] + "/" + daemon.str() + ".pid");
      pid_t pid = 0;
      ASSERT_TRUE(pid_file >> pid) << daemon.str();
      const std::vector<pid_t> ours = our_frr_children();
      EXPECT_NE(std::find(ours.begin(), ours.end(), pid), ours.end()) << daemon.str() << " is not our child";
      struct stat inside {
      }, router_ns{};
      EXPECT_EQ(::stat(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), &inside), 0);
      EXPECT_EQ(::stat(("/run/netns/" + ns[router]).c_str(), &router_ns), 0);
      EXPECT_EQ(inside.st_ino, router_ns.st_ino) << daemon.str() << " is not inside " << ns[router];
    }
  }
  EXPECT_EQ(devices.at(ns["r2"]).at("frr").at("logs").size(), 3u);  // zebra, ospfd and bgpd (listed and implied)

  // What the routers say, through the testbed's vtysh command.
  auto vtysh = [&](const std::string& router, const std::string& command) {
    std::string line;
    for (const Value& word : devices.at(ns[router]).at("connections").at("vtysh").at("command").as_list()) {
      line += word.str() + " ";
    }
    return run_command(line + "-c '" + command + "'");
  };
  const nlohmann::json neighbours = nlohmann::json::parse(vtysh("r1", "show ip ospf neighbor json"));
  ASSERT_EQ(neighbours.at("neighbors").size(), 2u) << neighbours.dump();
  for (const auto& [id, entries] : neighbours.at("neighbors").items()) {
    EXPECT_EQ(entries.at(0).at("nbrState").get<std::string>().substr(0, 4), "Full") << id;
  }
  const nlohmann::json sessions = nlohmann::json::parse(vtysh("r2", "show bgp neighbors json"));
  EXPECT_EQ(sessions.at("10.0.12.1").at("bgpState"), "Established");
  // r1's network reaches r2 over the session (announced once it is up).
  bool announced = false;
  for (const auto until = std::chrono::steady_clock::now() + 5s; !announced && std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(50ms)) {
    announced = nlohmann::json::parse(vtysh("r2", "show bgp ipv4 unicast json")).at("routes").contains("10.0.1.0/24");
  }
  EXPECT_TRUE(announced) << vtysh("r2", "show bgp ipv4 unicast");
  // The user's text runs with the actual names.
  const std::string r3_config = vtysh("r3", "show running-config");
  EXPECT_NE(r3_config.find("interface eth3\n ip ospf area 0\n ip ospf passive"), std::string::npos) << r3_config;
  EXPECT_EQ(r3_config.find("interface lan"), std::string::npos) << r3_config;

  // Routed across the routers, to the loopbacks OSPF carries, and around a
  // link that goes down.
  EXPECT_TRUE(pings(ns["h1"], "10.0.3.10"));
  EXPECT_TRUE(pings(ns["r2"], "3.3.3.3"));
  run_command("ip netns exec " + ns["r1"] + " ip link set eth2 down");  // r1-r3
  const auto deadline = std::chrono::steady_clock::now() + 8s;
  bool rerouted = false;
  while (!rerouted && std::chrono::steady_clock::now() < deadline) rerouted = pings(ns["h1"], "10.0.3.10");
  EXPECT_TRUE(rerouted) << "no route around the link r1-r3 once it went down";

  // Nothing shared: FRR's own run directory is untouched, the crash
  // buffers stay in the instances' directories.
  EXPECT_EQ(listing(netns::kFrrRunDir), frr_run_before);
  EXPECT_EQ(std::filesystem::exists("/var/tmp/frr"), var_tmp_frr_before);
  EXPECT_TRUE(std::filesystem::exists(directory["r1"] + "/ospfd-gr.json"));

  worker->tear_down_topology();
  EXPECT_TRUE(our_frr_children().empty());
  for (const auto& [router, path] : directory) EXPECT_FALSE(std::filesystem::exists(path)) << path;
  EXPECT_TRUE(run_dir_.journals().empty());
  EXPECT_TRUE(namespaces_named(tag_).empty());
  EXPECT_EQ(listing(netns::kFrrRunDir), frr_run_before);
}

TEST_F(NetnsFrrTest, ARefusedConfigurationADaemonThatFailsAndAMissingFrrStopTheLaunchCleanly) {
  MORVANE_REQUIRE_ROOT();
  // FRR refuses a line of the user's text.
  std::string message = failed_launch(lone_router(tag_, "{config: \"router ospf\\n bogus command\\n\"}"));
  EXPECT_NE(message.find("Router r1 (network namespace " + tag_), std::string::npos) << message;
  EXPECT_NE(message.find("FRR refused the configuration text (frr.config): vtysh ended with status 2"),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("bogus command"), std::string::npos) << message;

  // A daemon that ends at once: its status and the end of its log.
  const std::string daemons = dir_.file("frr");
  std::filesystem::create_directories(daemons);
  std::filesystem::create_symlink(netns::frr_daemon_dir() + "/zebra", daemons + "/zebra");
  {
    std::ofstream script(daemons + "/ospfd");
    script << "#!/bin/sh\necho 'ospfd: broken on purpose' >&2\nexit 3\n";
  }
  std::filesystem::permissions(daemons + "/ospfd", std::filesystem::perms::owner_all);
  ::setenv(netns::kFrrDaemonDirVariable, daemons.c_str(), 1);
  message = failed_launch(lone_router(tag_, "{}"));
  EXPECT_NE(message.find("Router r1 (network namespace " + tag_), std::string::npos) << message;
  EXPECT_NE(message.find("ospfd ended with status 3 while starting"), std::string::npos) << message;
  EXPECT_NE(message.find("ospfd: broken on purpose"), std::string::npos) << message;

  // FRR not installed: said before anything is created.
  ::setenv(netns::kFrrDaemonDirVariable, dir_.file("nowhere").c_str(), 1);
  message = failed_launch(lone_router(tag_, "{daemons: [bgpd]}"));
  EXPECT_NE(message.find("FRRouting is not installed, and the router(s) 'r1' run it (missing: " + dir_.file("nowhere") +
                         "/zebra, " + dir_.file("nowhere") + "/ospfd, " + dir_.file("nowhere") + "/bgpd)"),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("Install the Debian package frr (apt-get install frr). Nothing was created."),
            std::string::npos)
      << message;
}

TEST_F(NetnsFrrTest, ARouterThatDoesNotConvergeFailsTheBringUpNamingWhatIsMissing) {
  MORVANE_REQUIRE_ROOT();
  // The two ends of the link are in different areas (no adjacency ever
  // forms), and r1's BGP neighbour does not exist.
  const std::string message = failed_launch(
      "testbed: {name: " + tag_ +
          "}\ndevices:\n"
          "  r1: {type: router, logical: true, frr: {bgp: {asn: 65001, neighbors: [{address: 10.0.12.9, remote_as: "
          "65009}]}}}\n"
          "  r2: {type: router, logical: true, frr: {}}\n"
          "topology:\n"
          "  r1: {interfaces: {e0: {link: l, ipv4: 10.0.12.1/24, ospf: {area: 0}}}}\n"
          "  r2: {interfaces: {e0: {link: l, ipv4: 10.0.12.2/24, ospf: {area: 1}}}}\n",
      2);
  // Both fail; the bring-up names the first.
  const bool r1 = message.find("Router r1 (network namespace " + tag_ + "-") != std::string::npos &&
                  message.find(
                      "has not converged after 2 s: OSPF neighbour r2 (10.0.12.2 via eth1) has not been seen; BGP "
                      "session with 10.0.12.9 (AS 65009) is ") != std::string::npos;
  const bool r2 = message.find("Router r2 (network namespace " + tag_ + "-") != std::string::npos &&
                  message.find(
                      "has not converged after 2 s: OSPF neighbour r1 (10.0.12.1 via eth1) has not been "
                      "seen") != std::string::npos;
  EXPECT_TRUE(r1 || r2) << message;
}

TEST_F(NetnsFrrTest, TheDaemonsOfAKilledWorkerAreRemovedWithItsOtherLeftovers) {
  MORVANE_REQUIRE_ROOT();
  Pipe up = Pipe::open();
  process::ChildProcess worker_process = process::ChildProcess::fork([&]() -> int {
    auto worker = make(lone_router(tag_, "{bgp: {asn: 65001}}"));
    worker->launch_topology();
    process::write_fully(up.write.get(), "up");
    ::pause();
    return 0;
  });
  up.write.reset();
  char buffer[2] = {};
  ASSERT_EQ(::read(up.read.get(), buffer, sizeof buffer), 2) << "the worker did not come up";
  worker_process.kill();
  worker_process.wait();

  // Its daemons outlive it (they changed user, which clears the parent's
  // death signal): the journal names them and their directory.
  const std::vector<morvane::fabric::JournalRecord> journals = morvane::fabric::read_journals();
  ASSERT_EQ(journals.size(), 1u);
  std::vector<morvane::fabric::ProcessIdentity> daemons;
  std::string directory;
  for (const morvane::fabric::JournalEntry& entry : journals[0].entries) {
    if (entry.kind == "process") daemons.push_back({std::stoi(entry.fields[0]), std::stoull(entry.fields[1])});
    if (entry.kind == "directory") directory = entry.fields[0];
  }
  ASSERT_EQ(daemons.size(), 3u);  // zebra, ospfd, bgpd
  for (const morvane::fabric::ProcessIdentity& daemon : daemons) EXPECT_TRUE(daemon.alive()) << daemon.pid;
  EXPECT_TRUE(std::filesystem::exists(directory));
  const std::vector<morvane::leftovers::Leftover> found = morvane::leftovers::find_all();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].description.find("3 processes started by the run, directory " + directory), std::string::npos)
      << found[0].description;

  std::string removed;
  for (const std::string& line : morvane::leftovers::remove_all().removed) removed += line + "\n";
  EXPECT_NE(removed.find("(zebra) started by the run of topology"), std::string::npos) << removed;
  EXPECT_NE(removed.find("netns: directory " + directory), std::string::npos) << removed;
  for (const morvane::fabric::ProcessIdentity& daemon : daemons) EXPECT_FALSE(daemon.alive()) << daemon.pid;
  EXPECT_FALSE(std::filesystem::exists(directory));
  EXPECT_TRUE(namespaces_named(tag_).empty());
}

}  // namespace
}  // namespace tarvex::testing
