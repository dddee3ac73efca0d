// A running topology acted on through the morvane tool (root, FRR): the
// OSPF example lab up through bringup, then commands run in its devices by
// the user's names, a cable pulled (both ends lose their carrier, OSPF goes
// round) and put back, the routers' configurations saved, a picture drawn,
// unknown names named, and another user refused without a change.
#include <gtest/gtest.h>

#include <csignal>

#include "e2e/bringup_runner.hpp"
#include "support/engines/engine_harness.hpp"
#include "support/netns.hpp"
#include "support/root.hpp"

namespace tarvex::testing {
namespace {

using namespace std::chrono_literals;

std::string morvane_binary() { return std::string(MORVANE_BINARY_DIR) + "/bin/morvane"; }

engines::ProgramResult morvane(std::vector<std::string> args) {
  args.insert(args.begin(), morvane_binary());
  return engines::run_program(args);
}

// Whether `check` holds within `within`, tried every 50 ms.
template <class Check>
bool eventually(Check check, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (!check()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

TEST(LiveControl, CommandsCablesSavesAndPicturesByTheUsersNames) {
  MORVANE_REQUIRE_ROOT();
  TempDir dir;
  PrivateRunDir run_dir;
  const std::string tag = unique_tag("lc");
  std::string lab = read_file(std::string(MORVANE_SOURCE_DIR) + "/examples/ospf-lab/logical.yaml");
  lab.replace(lab.find("name: ospf-lab"), 14, "name: " + tag);
  // A declared impairment (a rate: this kernel may have no netem).
  const std::string h1_eth0 = "{link: r2-h1, ipv4: 10.0.1.10/24}";
  lab.replace(lab.find(h1_eth0), h1_eth0.size(), "{link: r2-h1, ipv4: 10.0.1.10/24, impair: {rate: 20mbit}}");
  write_file(dir.path() / "logical.yaml", lab);
  BringupRun run(dir,
                 {"-orchestrator", "netns", "-logical_testbed_file", dir.file("logical.yaml"), "-interactive",
                  "-log_dir", dir.file("logs")},
                 10s);
  ASSERT_TRUE(run.wait_for_stdout("Press Control-C", 90s)) << run.finish(0s).describe();

  const engines::ProgramResult listed = morvane({"list", "--json"});
  EXPECT_EQ(listed.status, 0) << listed.output;
  EXPECT_NE(listed.output.find("\"testbed\": \"" + tag + "\""), std::string::npos) << listed.output;
  EXPECT_EQ(listed.output.find("token"), std::string::npos) << "the token stays in the control file";

  // Commands: output, status, a timeout, names unknown.
  const struct {
    std::vector<std::string> args;
    int status;
    const char* output;
  } commands[] = {
      {{"exec", "h1", "--", "ping", "-c1", "-W2", "10.0.3.10"}, 0, "1 received"},
      {{"exec", "r1", "--", "sh", "-c", "echo out; echo err >&2; exit 3"}, 3, "out\nerr"},
      {{"exec", "--timeout", "0.3", "h2", "--", "sleep", "10"}, 124, ""},
      {{"exec", "nowhere", "--", "true"}, 1, "No device 'nowhere'"},
      {{"link", "r1", "to-nowhere", "down"}, 1, "No interface 'to-nowhere' on device 'r1'"},
      {{"link", "r1", "lo0", "down"}, 1, "is a loopback"},
      {{"impair", "r1", "to-r2", "delay=5parsecs"}, 1, "unknown unit"},
  };
  for (const auto& command : commands) {
    SCOPED_TRACE(command.args[0] + " " + command.args[1]);
    const engines::ProgramResult result = morvane(command.args);
    EXPECT_EQ(result.status, command.status) << result.output;
    EXPECT_NE(result.output.find(command.output), std::string::npos) << result.output;
  }

  // Impairments: declared, changed live, cleared.
  auto qdisc_of = [](const char* device, const char* interface) {
    return morvane({"exec", device, "--", "tc", "qdisc", "show", "dev", interface}).output;
  };
  EXPECT_NE(qdisc_of("h1", "eth1").find("tbf 1: root"), std::string::npos) << qdisc_of("h1", "eth1");
  EXPECT_NE(qdisc_of("h1", "eth1").find("rate 20Mbit"), std::string::npos) << qdisc_of("h1", "eth1");
  const engines::ProgramResult shaped = morvane({"impair", "r1", "to-r2", "rate=5mbit"});
  EXPECT_EQ(shaped.status, 0) << shaped.output;
  EXPECT_NE(shaped.output.find("rate: 5mbit"), std::string::npos) << shaped.output;
  EXPECT_NE(qdisc_of("r1", "eth1").find("rate 5Mbit"), std::string::npos) << qdisc_of("r1", "eth1");
  EXPECT_EQ(morvane({"impair", "r1", "to-r2", "clear"}).status, 0);
  EXPECT_EQ(qdisc_of("r1", "eth1").find("tbf"), std::string::npos) << qdisc_of("r1", "eth1");

  // Another user is refused, and the run is as it was.
  const engines::ProgramResult refused =
      engines::run_program({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", morvane_binary(), "link",
                            "r1", "to-r2", "down"});
  EXPECT_EQ(refused.status, 1) << refused.output;
  EXPECT_NE(refused.output.find("only their owner or root may act on them"), std::string::npos) << refused.output;
  // (Read from /sys, as the namespace shows it to a command.)
  auto carrier_of_r2s_to_r1 = [] {
    return morvane({"exec", "r2", "--", "sh", "-c", "cat /sys/class/net/eth1/carrier 2>/dev/null || echo 0"}).output;
  };
  EXPECT_EQ(carrier_of_r2s_to_r1(), "1\n");

  // The cable r1-r2 pulled: r2's end loses its carrier and r1 reaches r2's
  // loopback round through r3; put back, the direct path returns.
  auto route_to_r2 = [] { return morvane({"exec", "r1", "--", "ip", "route", "get", "2.2.2.2"}).output; };
  EXPECT_NE(route_to_r2().find("via 10.0.12.2"), std::string::npos);
  ASSERT_EQ(morvane({"link", "r1", "to-r2", "down"}).status, 0);
  EXPECT_EQ(carrier_of_r2s_to_r1(), "0\n");
  EXPECT_TRUE(eventually([&] { return route_to_r2().find("via 10.0.13.2") != std::string::npos; }, 10s))
      << route_to_r2();
  EXPECT_EQ(morvane({"exec", "h1", "--", "ping", "-c1", "-W2", "2.2.2.2"}).status, 0);
  const std::string picture = dir.file("down.dot");
  ASSERT_EQ(morvane({"graph", "-o", picture}).status, 0);
  const std::string dot = read_file(picture);
  for (const char* shown : {"r1", "to-r2", "10.0.12.1/30", "dashed"})
    EXPECT_NE(dot.find(shown), std::string::npos) << shown;
  ASSERT_EQ(morvane({"link", "r1", "to-r2", "up"}).status, 0);
  EXPECT_TRUE(eventually([&] { return route_to_r2().find("via 10.0.12.2") != std::string::npos; }, 15s))
      << route_to_r2();

  // Each router's running configuration and the testbed.
  const engines::ProgramResult saved = morvane({"save", dir.file("saved")});
  ASSERT_EQ(saved.status, 0) << saved.output;
  EXPECT_NE(read_file(dir.path() / "saved" / "r2.conf").find("ip ospf cost 100"), std::string::npos);
  EXPECT_NE(read_file(dir.path() / "saved" / "testbed.yaml").find("alias: h1"), std::string::npos);

  run.send_signal(SIGINT);
  const RunResult finished = run.finish(60s);
  EXPECT_TRUE(finished.ended && finished.exited) << finished.describe();
  EXPECT_TRUE(namespaces_named(tag + "-").empty());
  EXPECT_NE(morvane({"link", "r1", "to-r2", "down"}).output.find("No live run"), std::string::npos);
}

}  // namespace
}  // namespace tarvex::testing
