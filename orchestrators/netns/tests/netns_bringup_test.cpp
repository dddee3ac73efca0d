// The netns backend through the real bringup tool (root): the example lab
// is a working network with every address, route and carrier the user asked
// for; it is torn down completely on an interrupt and within 2 s of the
// manager being killed; a killed worker's leftovers are found and removed
// by `bringup -cleanup` while another live run stays untouched; and a bad
// logical testbed stops the tool before anything is created.
#include <gtest/gtest.h>

#include <csignal>
#include <map>

#include "e2e/bringup_runner.hpp"
#include "support/netns.hpp"
#include "tarvex/morvane/fabric/journal.hpp"
#include "tarvex/morvane/leftovers.hpp"

namespace tarvex::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A run whose manager ends (killed, or given up by a failing test) leaves
// its worker tearing down: it may take this long before it counts as left
// behind.
constexpr auto kWorkerTeardown = 10s;

std::string example(const std::string& name) { return std::string(MORVANE_SOURCE_DIR) + "/examples/netns-lab/" + name; }

std::vector<std::string> example_args(const TempDir& dir, std::vector<std::string> more = {}) {
  std::vector<std::string> args{"-clean_files",          example("clean.yaml"), "-logical_testbed_file",
                                example("logical.yaml"), "-interactive",        "-log_dir",
                                dir.file("logs")};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// Waits until the tool reports the topology up, and returns the testbed it
// printed (null when it did not come up).
Value wait_until_up(BringupRun& run, const TempDir& dir) {
  if (!run.wait_for_stderr(" is up.", 60s)) return Value();
  const auto deadline = Clock::now() + 10s;
  while (Clock::now() < deadline) {
    try {
      // The testbed, without the hold's prompt that may follow it.
      std::string out = read_file(dir.path() / "bringup.stdout");
      out = out.substr(0, out.find("*** Press Control-C"));
      const Value testbed = tarvex::utils::yaml::load_string(out, "stdout");
      if (testbed.is_map() && testbed.contains("topology") && testbed.contains("testbed")) return testbed;
    } catch (const std::exception&) {
      // Not all written yet.
    }
    std::this_thread::sleep_for(20ms);
  }
  return Value();
}

// The user's device name to the namespace built for it.
std::map<std::string, std::string> namespaces_of(const Value& testbed) {
  std::map<std::string, std::string> names;
  for (const auto& [actual, entry] : testbed.at("devices").as_map()) {
    names[entry.get("alias").str()] = entry.at("connections").at("netns").get("namespace").str();
  }
  return names;
}

std::vector<std::string> all_of(const std::map<std::string, std::string>& names) {
  std::vector<std::string> all;
  for (const auto& [alias, ns] : names) all.push_back(ns);
  return all;
}

// Those of `names` still under /run/netns.
std::vector<std::string> still_there(const std::vector<std::string>& names) {
  std::vector<std::string> left;
  for (const std::string& name : names) {
    if (std::filesystem::exists("/run/netns/" + name)) left.push_back(name);
  }
  return left;
}

// Every address the user wrote in the logical file is on the interface built
// for it, which is up with carrier and has the MAC address reported.
void expect_every_address(const Value& logical, const Value& testbed) {
  const std::map<std::string, std::string> ns = namespaces_of(testbed);
  for (const auto& [device, entry] : logical.at("topology").as_map()) {
    const Value& actual_interfaces = testbed.at("topology").at(ns.at(device.str())).at("interfaces");
    for (const auto& [name, interface] : entry.at("interfaces").as_map()) {
      std::string actual;
      for (const auto& [actual_name, actual_entry] : actual_interfaces.as_map()) {
        if (actual_entry.get("alias") == name) actual = actual_name.str();
      }
      ASSERT_FALSE(actual.empty()) << device.str() << " " << name.str() << " has no actual interface";
      const Value shown = ip_json("-n " + ns.at(device.str()) + " addr show dev " + actual);
      ASSERT_EQ(shown.size(), 1u) << device.str() << " " << actual;
      const Value& link = shown.as_list()[0];
      const std::string flags = link.get("flags").repr();
      EXPECT_NE(flags.find("'UP'"), std::string::npos) << device.str() << " " << actual << " " << flags;
      EXPECT_NE(flags.find("'LOWER_UP'"), std::string::npos) << device.str() << " " << actual << " " << flags;
      if (actual != "lo") {
        EXPECT_EQ(link.get("address"), actual_interfaces.at(actual).get("mac"));
      }
      for (const char* key : {"ipv4", "ipv6"}) {
        if (!interface.contains(key)) continue;
        const std::string wanted = interface.get(key).str();
        bool found = false;
        const Value addr_info = link.get("addr_info");  // held: the loop must not outlive it
        for (const Value& info : addr_info.as_list()) {
          found = found || info.get("local").str() + "/" + info.get("prefixlen").str() == wanted;
        }
        EXPECT_TRUE(found) << device.str() << " " << actual << " lacks " << wanted << ": " << link.repr();
      }
    }
  }
}

// The next hop of a route, as the kernel has it.
std::string gateway(const std::string& ns, const std::string& route, int family = 4) {
  const Value routes = ip_json("-" + std::to_string(family) + " -n " + ns + " route show " + route);
  return routes.size() == 1 ? routes.as_list()[0].get("gateway").str() : routes.repr();
}

class NetnsBringup : public ::testing::Test {
 protected:
  PrivateRunDir run_dir_;
};

TEST_F(NetnsBringup, TheExampleLabIsARealNetworkAndAnInterruptTearsItAllDown) {
  MORVANE_REQUIRE_ROOT();
  TempDir dir;
  const std::string root_before = root_interfaces();
  BringupRun run(dir, example_args(dir), kWorkerTeardown);
  const Value testbed = wait_until_up(run, dir);
  ASSERT_TRUE(testbed.is_map()) << run.finish(0s).describe();
  const std::map<std::string, std::string> ns = namespaces_of(testbed);
  ASSERT_EQ(ns.size(), 6u);
  EXPECT_EQ(still_there(all_of(ns)).size(), 6u);

  expect_every_address(tarvex::utils::yaml::load_file(example("logical.yaml")), testbed);
  EXPECT_EQ(gateway(ns.at("h1"), "default"), "10.0.1.1");
  EXPECT_EQ(gateway(ns.at("h1"), "default", 6), "2001:db8:1::1");
  EXPECT_EQ(gateway(ns.at("h4"), "10.0.1.0/24"), "10.0.3.1");
  EXPECT_EQ(run_command("ip netns exec " + ns.at("r1") + " sysctl -n net.ipv4.ip_forward"), "1\n");
  EXPECT_EQ(run_command("ip netns exec " + ns.at("h1") + " sysctl -n net.ipv4.ip_forward"), "0\n");
  // Across the router (IPv4 and IPv6), across the switch, and both.
  EXPECT_TRUE(pings(ns.at("h1"), "10.0.2.10"));
  EXPECT_TRUE(pings(ns.at("h1"), "2001:db8:2::10"));
  EXPECT_TRUE(pings(ns.at("h3"), "10.0.3.14"));
  EXPECT_TRUE(pings(ns.at("h3"), "10.0.1.10"));

  // Control-C ends the hold: a full teardown, and the run succeeds.
  process::ChildProcess daemon = start_inside(ns.at("r1"));
  run.send_signal(SIGINT);
  const RunResult result = run.finish(30s);
  ASSERT_TRUE(result.ended && result.exited) << result.describe();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_NE(result.err.find("Ended process " + std::to_string(daemon.pid()) + " (sleep) left inside the topology."),
            std::string::npos)
      << result.describe();
  EXPECT_NE(result.err.find("Topology has been torn down."), std::string::npos) << result.describe();
  EXPECT_EQ(daemon.wait(5.0), std::optional<int>(-SIGTERM));
  EXPECT_TRUE(result.leftovers.empty()) << result.describe();
  EXPECT_TRUE(still_there(all_of(ns)).empty());
  EXPECT_TRUE(run_dir_.journals().empty());
  EXPECT_EQ(root_interfaces(), root_before);
}

TEST_F(NetnsBringup, KillingTheManagerTearsTheTopologyDownWithinTwoSeconds) {
  MORVANE_REQUIRE_ROOT();
  TempDir dir;
  BringupRun run(dir, example_args(dir), kWorkerTeardown);
  const Value testbed = wait_until_up(run, dir);
  ASSERT_TRUE(testbed.is_map()) << run.finish(0s).describe();
  const std::vector<std::string> names = all_of(namespaces_of(testbed));
  process::ChildProcess daemon = start_inside(namespaces_of(testbed).at("h2"));

  const auto killed = Clock::now();
  run.send_signal(SIGKILL);
  while (!still_there(names).empty() && Clock::now() - killed < 10s) std::this_thread::sleep_for(10ms);
  const auto took = Clock::now() - killed;
  EXPECT_TRUE(still_there(names).empty());
  EXPECT_LT(took, 2s) << std::chrono::duration<double>(took).count() << " s";

  const RunResult result = run.finish(15s);
  EXPECT_TRUE(result.ended && !result.exited && result.exit_code == SIGKILL) << result.describe();
  // The worker tore down and ended by itself.
  EXPECT_TRUE(result.leftovers.empty()) << result.describe();
  EXPECT_EQ(daemon.wait(5.0), std::optional<int>(-SIGTERM));
  EXPECT_TRUE(run_dir_.journals().empty());
}

TEST_F(NetnsBringup, AKilledWorkersLeftoversAreRemovedByCleanupWhileALiveRunIsUntouched) {
  MORVANE_REQUIRE_ROOT();
  TempDir dir_a, dir_b, dir_c;
  BringupRun dead(dir_a, example_args(dir_a, {"-topology_name", "doomed"}), kWorkerTeardown);
  BringupRun live(dir_b, example_args(dir_b, {"-topology_name", "alive"}), kWorkerTeardown);
  const Value dead_testbed = wait_until_up(dead, dir_a);
  const Value live_testbed = wait_until_up(live, dir_b);
  ASSERT_TRUE(dead_testbed.is_map()) << dead.finish(0s).describe();
  ASSERT_TRUE(live_testbed.is_map()) << live.finish(0s).describe();
  const std::vector<std::string> dead_names = all_of(namespaces_of(dead_testbed));
  const std::map<std::string, std::string> live_ns = namespaces_of(live_testbed);

  pid_t worker = 0;
  std::string topology;
  for (const morvane::fabric::JournalRecord& record : morvane::fabric::read_journals()) {
    if (record.topology.rfind("doomed_", 0) == 0) {
      worker = record.owner.pid;
      topology = record.topology;
    }
  }
  ASSERT_GT(worker, 0);
  process::ChildProcess daemon = start_inside(namespaces_of(dead_testbed).at("h1"));
  ASSERT_EQ(::kill(worker, SIGKILL), 0);
  const RunResult dead_result = dead.finish(30s);
  EXPECT_TRUE(dead_result.ended) << dead_result.describe();
  EXPECT_EQ(still_there(dead_names).size(), dead_names.size());
  // Its manager names what the dead worker left and how to remove it.
  EXPECT_NE(dead_result.err.find("Left behind:\n  netns: topology " + topology + " of dead worker " +
                                 std::to_string(worker) + ": 6 network namespaces ("),
            std::string::npos)
      << dead_result.describe();
  // (Its control directory too: the port and token the morvane tool used.)
  EXPECT_NE(dead_result.err.find("), 1 process inside, directory "), std::string::npos) << dead_result.describe();
  EXPECT_NE(dead_result.err.find(".control\nRemove them with: bringup -cleanup"), std::string::npos)
      << dead_result.describe();

  // Found: for the dead worker, and among every dead run.
  const std::vector<morvane::leftovers::Leftover> found = morvane::leftovers::find_all(worker);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].backend, "netns");
  EXPECT_EQ(found[0].topology, topology);
  EXPECT_EQ(found[0].owner, worker);
  EXPECT_EQ(found[0].description.rfind("6 network namespaces (", 0), 0u) << found[0].description;
  EXPECT_NE(found[0].description.find("), 1 process inside"), std::string::npos) << found[0].description;
  EXPECT_EQ(morvane::leftovers::find_all().size(), 1u);

  const RunResult cleanup = run_bringup(dir_c, {"-cleanup"});
  EXPECT_EQ(cleanup.exit_code, 0) << cleanup.describe();
  const std::string whose = "of topology " + topology + " (dead worker " + std::to_string(worker) + ")";
  for (const std::string& name : dead_names) {
    EXPECT_NE(cleanup.err.find("Removed netns: network namespace " + name + " " + whose), std::string::npos)
        << cleanup.describe();
  }
  EXPECT_NE(cleanup.err.find("Removed netns: process " + std::to_string(daemon.pid()) + " (sleep) inside"),
            std::string::npos)
      << cleanup.describe();
  EXPECT_EQ(daemon.wait(5.0), std::optional<int>(-SIGTERM));
  EXPECT_TRUE(still_there(dead_names).empty());
  EXPECT_TRUE(morvane::leftovers::find_all().empty());

  // The live run kept everything and still carries traffic.
  EXPECT_EQ(still_there(all_of(live_ns)).size(), live_ns.size());
  EXPECT_TRUE(pings(live_ns.at("h1"), "10.0.2.10"));
  const std::vector<std::string> entries = run_dir_.journals();
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [](const std::string& e) { return e.ends_with(".journal"); }),
            1);
  live.send_signal(SIGINT);
  const RunResult live_result = live.finish(30s);
  EXPECT_TRUE(live_result.ended && live_result.exited && live_result.exit_code == 0) << live_result.describe();
  EXPECT_TRUE(still_there(all_of(live_ns)).empty());
  EXPECT_TRUE(run_dir_.journals().empty());
}

TEST_F(NetnsBringup, ABadLogicalTestbedStopsTheToolBeforeAnythingIsCreated) {
  // Needs no root: the logical testbed is checked first.
  TempDir dir;
  const std::string tag = unique_tag("bad");
  write_file(dir.path() / "bad.yaml", "testbed: {name: " + tag +
                                          "}\ndevices:\n  h1: {type: host, logical: true, gateway: 10.9.9.1}\n"
                                          "  fw: {type: firewall, logical: true}\n"
                                          "topology:\n  h1: {interfaces: {e0: {link: x, ipv4: 10.0.0.300/24}}}\n");
  const RunResult result = run_bringup(
      dir, {"-orchestrator", "netns", "-logical_testbed_file", dir.file("bad.yaml"), "-log_dir", dir.file("logs")});
  ASSERT_TRUE(result.ended && result.exited) << result.describe();
  EXPECT_EQ(result.exit_code, 1) << result.describe();
  EXPECT_NE(result.err.find("The logical testbed cannot be built by the netns orchestrator:"), std::string::npos)
      << result.describe();
  EXPECT_NE(result.err.find("device 'h1', interface 'e0': ipv4 '10.0.0.300/24' is not an IPv4 address"),
            std::string::npos)
      << result.describe();
  EXPECT_NE(result.err.find("device 'fw': type 'firewall' is not one the netns orchestrator builds (it builds host, "
                            "linux, router, switch)"),
            std::string::npos)
      << result.describe();
  EXPECT_NE(result.err.find("device 'h1': gateway '10.9.9.1' is outside every connected subnet"), std::string::npos)
      << result.describe();
  EXPECT_TRUE(namespaces_named(tag).empty());
  EXPECT_TRUE(run_dir_.journals().empty());
  EXPECT_TRUE(result.leftovers.empty()) << result.describe();
}

}  // namespace
}  // namespace tarvex::testing
