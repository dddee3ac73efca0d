// The netns backend's profile for the backend suite (root): the example
// lab of namespaces, a switched LAN and a router, journaled in a directory
// of the test's own.
#include "backend_suite/backend_suite.hpp"
#include "e2e/bringup_runner.hpp"
#include "stp_hold.hpp"
#include "support/netns.hpp"

namespace tarvex::testing {

const BackendProfile& backend_profile() {
  static const BackendProfile profile{
      .name = "netns",
      .needs_root = true,
      .logical_testbed =
          [](const std::string& tag) {
            std::string path = MORVANE_SOURCE_DIR;
            path += "/examples/netns-lab/logical.yaml";
            std::string lab = read_file(path);
            std::string name = "name: ";
            name += tag;
            return lab.replace(lab.find("name: netns-lab"), 15, name);
          },
      .devices = 6,
      .hold = [](SuitePhase) { return std::vector<std::string>{}; },
      .hold_testbed = hold_readiness_with_stp,
      .teardown_may_be_missed = true,
      .left = [](const std::string& tag, const TempDir&) { return namespaces_named(tag + "-"); },
      .per_test = [] { return std::static_pointer_cast<void>(std::make_shared<PrivateRunDir>()); },
      .bad_option_value = {"-netns_ready_timeout", "0"},
      .bad_option_says = "argument -netns_ready_timeout: must be a positive number of seconds",
      .bad_testbed =
          "devices:\n  h1: {type: host, logical: true}\n"
          "topology:\n  h1: {interfaces: {e0: {link: x, ipv4: 10.0.1.300/24}}}\n",
      .bad_testbed_says = "device 'h1', interface 'e0': ipv4 '10.0.1.300/24' is not an IPv4 address",
  };
  return profile;
}

MORVANE_BACKEND_SUITE(netns);

}  // namespace tarvex::testing
