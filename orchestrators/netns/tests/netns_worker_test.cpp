// The netns worker in this process, on real namespaces (root): a topology
// with awkward names, a LAN and a lone link comes up, carries traffic and
// goes away with the processes started inside it; a launch that fails
// half-way, a name already in use and missing privileges leave nothing.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <fstream>

#include "support/netns.hpp"
#include "support/process_state.hpp"
#include "tarvex/morvane/orchestrators/netns.hpp"
#include "testing/hooks.hpp"

namespace tarvex::testing {
namespace {

using morvane::orchestrators::netns::NetnsWorker;

const std::string kForty = "a-device-name-of-forty-characters-long-x";

class NetnsWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_bringup_process_state();
    // The readiness wait's per-device logs go to the test's directory.
    saved_log_dir_ = log::managed_handlers().tasklog.log_dir;
    log::managed_handlers().tasklog.log_dir = dir_.path();
  }
  void TearDown() override {
    fail_fabric_build_at(std::nullopt);
    log::managed_handlers().tasklog.log_dir = saved_log_dir_;
    reset_bringup_process_state();
  }

  std::unique_ptr<NetnsWorker> make(const std::string& yaml) {
    const std::string path = dir_.file("logical.yaml");
    std::ofstream(path) << yaml;
    return create<NetnsWorker>({},
                               {{"logical_testbed_file", path}, {"topology_name", tag_}, {"netns_ready_timeout", 20}});
  }

  // The actual device that stands for a logical one.
  static std::string actual(const NetnsWorker& worker, const std::string& logical) {
    for (const auto& [name, value] : worker.dev_name_xref.as_map()) {
      if (value == Value(logical)) return name.str();
    }
    return "";
  }

  TempDir dir_;
  PrivateRunDir run_dir_;
  std::string saved_log_dir_;
  const std::string tag_ = unique_tag("nw");
};

std::string lan_testbed(const std::string& tag) {
  return "testbed: {name: " + tag + "}\ndevices:\n" +
         "  core/1: {type: router, logical: true}\n"
         "  edge host 7: {type: host, logical: true, gateway: 10.0.9.1}\n"
         "  " +
         kForty + ": {type: host, logical: true, gateway: \"2001:db8:9::1\"}\n" +
         "topology:\n"
         "  core/1:\n"
         "    interfaces:\n"
         "      Gi 0/0 to the LAN: {link: lan, type: ethernet, ipv4: 10.0.9.1/24, ipv6: \"2001:db8:9::1/64\"}\n"
         "      Lo0: {type: loopback, ipv4: 192.0.2.1/32, description: router id}\n"
         "      spare: {link: nowhere, type: ethernet}\n"
         "  edge host 7: {interfaces: {e0: {link: lan, type: ethernet, ipv4: 10.0.9.7/24, mtu: 1400}}}\n"
         "  " +
         kForty + ": {interfaces: {e0: {link: lan, type: ethernet, ipv6: \"2001:db8:9::40/64\"}}}\n";
}

TEST_F(NetnsWorkerTest, AwkwardNamesALanAndALoneLinkComeUpCarryTrafficAndGoAway) {
  MORVANE_REQUIRE_ROOT();
  const std::string root_before = root_interfaces();
  auto worker = make(lan_testbed(tag_));
  AtScopeExit tear_down([&] { worker->tear_down_topology(); });
  worker->launch_topology();  // includes the readiness wait: carrier, IPv6 past DAD, neighbours' pings

  const std::string core = actual(*worker, "core/1");
  const std::string edge = actual(*worker, "edge host 7");
  const std::string forty = actual(*worker, kForty);
  ASSERT_FALSE(core.empty() || edge.empty() || forty.empty()) << worker->dev_name_xref.repr();
  EXPECT_EQ(namespaces_named(tag_).size(), 4u);  // three devices and the LAN's link namespace
  for (const std::string& ns : {core, edge, forty}) {
    EXPECT_EQ(ns.find_first_of("/ "), std::string::npos) << ns;
    EXPECT_EQ(worker->testbed_config.at("devices").at(ns).at("connections").at("netns").get("namespace"), Value(ns));
    EXPECT_EQ(worker->testbed_config.at("devices").at(ns).get("os"), Value("linux"));
  }

  // The user's names and content on the actual interfaces.
  const Value& interfaces = worker->testbed_config.at("topology").at(core).at("interfaces");
  EXPECT_EQ(interfaces.at("eth1").get("alias"), Value("Gi 0/0 to the LAN"));
  EXPECT_EQ(interfaces.at("eth1").get("ipv4"), Value("10.0.9.1/24"));
  EXPECT_EQ(interfaces.at("lo").get("alias"), Value("Lo0"));
  EXPECT_EQ(interfaces.at("lo").get("description"), Value("router id"));
  EXPECT_EQ(interfaces.at("eth2").get("alias"), Value("spare"));

  // Seen from outside: addresses, MTU, the lone link down, traffic across
  // the LAN and through the router to its loopback.
  const Value edge_link = ip_json("-n " + edge + " link show eth1");
  ASSERT_EQ(edge_link.size(), 1u) << edge_link.repr();
  EXPECT_EQ(edge_link.as_list()[0].get("mtu"), Value(1400));
  EXPECT_EQ(Value(edge_link.as_list()[0].get("address")),
            worker->testbed_config.at("topology").at(edge).at("interfaces").at("eth1").get("mac"));
  const Value spare = ip_json("-n " + core + " link show eth2");
  ASSERT_EQ(spare.size(), 1u);
  EXPECT_EQ(spare.as_list()[0].get("operstate"), Value("DOWN"));
  EXPECT_TRUE(pings(edge, "10.0.9.1"));
  EXPECT_TRUE(pings(edge, "192.0.2.1"));
  EXPECT_TRUE(pings(forty, "2001:db8:9::1"));
  EXPECT_TRUE(pings(core, "2001:db8:9::40"));

  // A process left inside is ended by the teardown, which leaves nothing.
  process::ChildProcess daemon = start_inside(edge);
  worker->tear_down_topology();
  EXPECT_EQ(daemon.wait(5.0), std::optional<int>(-SIGTERM));
  EXPECT_TRUE(namespaces_named(tag_).empty());
  EXPECT_TRUE(run_dir_.journals().empty());
  EXPECT_EQ(root_interfaces(), root_before);
}

TEST_F(NetnsWorkerTest, ARingOfSwitchesRunningTheSpanningTreeComesUpWithAPortBlocked) {
  MORVANE_REQUIRE_ROOT();
  // Without stp: true this ring is refused before anything is built (see
  // the plan's tests); with it, the bridges break the loop themselves.
  auto worker = make("testbed: {name: " + tag_ +
                     "}\ndevices:\n"
                     "  s1: {type: switch, logical: true, stp: true}\n"
                     "  s2: {type: switch, logical: true, stp: true}\n"
                     "  s3: {type: switch, logical: true, stp: true}\n"
                     "  h1: {type: host, logical: true}\n  h2: {type: host, logical: true}\n"
                     "topology:\n"
                     "  s1: {interfaces: {a: {link: s1s2}, b: {link: s3s1}, h: {link: h1}}}\n"
                     "  s2: {interfaces: {a: {link: s1s2}, b: {link: s2s3}, h: {link: h2}}}\n"
                     "  s3: {interfaces: {a: {link: s2s3}, b: {link: s3s1}}}\n"
                     "  h1: {interfaces: {e: {link: h1, ipv4: 10.0.5.1/24}}}\n"
                     "  h2: {interfaces: {e: {link: h2, ipv4: 10.0.5.2/24}}}\n");
  AtScopeExit tear_down([&] { worker->tear_down_topology(); });
  worker->launch_topology();  // waits until every port forwards or blocks, and h1 and h2 answer
  std::string states;
  for (const char* name : {"s1", "s2", "s3"}) {
    states += run_command("bridge -n " + actual(*worker, name) + " link show");
    EXPECT_EQ(worker->testbed_config.at("topology").at(actual(*worker, name)).at("interfaces").at("br0").get("stp"),
              Value(true));
  }
  EXPECT_NE(states.find("state blocking"), std::string::npos) << states;
  EXPECT_EQ(states.find("state listening"), std::string::npos) << states;
  EXPECT_TRUE(pings(actual(*worker, "h1"), "10.0.5.2"));
}

TEST_F(NetnsWorkerTest, ALaunchFailingAtAnyStepLeavesNothing) {
  MORVANE_REQUIRE_ROOT();
  // Failures while namespaces, bridges, veths, addresses, LAN ports and
  // routes are made.
  for (const char* step : {"1", "4", "7", "11", "16", "20", "23"}) {
    SCOPED_TRACE(std::string("failing step ") + step);
    reset_bringup_process_state();
    fail_fabric_build_at(std::stol(step));
    auto worker = make(lan_testbed(tag_));
    try {
      worker->launch_topology();
      ADD_FAILURE() << "the launch did not fail";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("Injected failure at kernel operation ") + step),
                std::string::npos)
          << e.what();
    }
    EXPECT_TRUE(namespaces_named(tag_).empty());
    EXPECT_TRUE(run_dir_.journals().empty());
  }
}

TEST_F(NetnsWorkerTest, ANameAlreadyInUseStopsTheLaunchAndIsLeftAlone) {
  MORVANE_REQUIRE_ROOT();
  // The run id this process's run will claim, hence the name of device h2.
  const std::string run_id = morvane::fabric::run_id_for(morvane::fabric::ProcessIdentity::self(), 0);
  const std::string foreign = "/run/netns/" + tag_ + "-" + run_id + "-h2";
  std::filesystem::create_directories("/run/netns");
  { std::ofstream(foreign) << "not the run's"; }
  auto worker = make("testbed: {name: " + tag_ +
                     "}\ndevices:\n  h1: {type: host, logical: true}\n  h2: {type: host, logical: true}\n"
                     "topology:\n  h1: {interfaces: {e0: {link: x}}}\n  h2: {interfaces: {e0: {link: x}}}\n");
  try {
    worker->launch_topology();
    ADD_FAILURE() << "the launch did not fail";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find(foreign + " exists already (it is not this run's; it is left alone)"),
              std::string::npos)
        << e.what();
  }
  std::ifstream still(foreign);
  std::string content;
  std::getline(still, content);
  EXPECT_EQ(content, "not the run's");
  EXPECT_EQ(namespaces_named(tag_), std::vector<std::string>{tag_ + "-" + run_id + "-h2"});
  EXPECT_TRUE(run_dir_.journals().empty());
  std::filesystem::remove(foreign);
}

TEST_F(NetnsWorkerTest, WithoutPrivilegesTheLaunchFailsAtOnceAndCreatesNothing) {
  MORVANE_REQUIRE_ROOT();
  auto worker = make(lan_testbed(tag_));
  Pipe pipe = Pipe::open();
  process::ChildProcess child = process::ChildProcess::fork([&]() -> int {
    // An ordinary user has neither CAP_NET_ADMIN nor CAP_SYS_ADMIN.
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) return 3;
    try {
      worker->launch_topology();
    } catch (const std::exception& e) {
      process::write_fully(pipe.write.get(), e.what());
      return 0;
    }
    return 4;
  });
  pipe.write.reset();
  EXPECT_EQ(child.wait(30.0), std::optional<int>(0));
  std::string message;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe.read.get(), buffer, sizeof buffer)) > 0;) message.append(buffer, n);
  EXPECT_NE(message.find("The netns orchestrator needs root: creating network namespaces takes CAP_NET_ADMIN and "
                         "CAP_SYS_ADMIN, and this process lacks CAP_NET_ADMIN and CAP_SYS_ADMIN."),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("Nothing was created."), std::string::npos) << message;
  EXPECT_TRUE(namespaces_named(tag_).empty());
  EXPECT_TRUE(run_dir_.journals().empty());
}

}  // namespace
}  // namespace tarvex::testing
