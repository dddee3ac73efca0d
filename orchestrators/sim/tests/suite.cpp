// The sim backend's profile for the backend suite: the example lab, held in
// each phase by the backend's simulated delays.
#include "backend_suite/backend_suite.hpp"
#include "e2e/bringup_runner.hpp"

namespace tarvex::testing {

const BackendProfile& backend_profile() {
  static const BackendProfile profile{
      .name = "sim",
      .logical_testbed =
          [](const std::string& tag) {
            std::string lab = read_file(lab_file("logical.yaml"));
            std::string name = "name: ";
            name += tag;
            return lab.replace(lab.find("name: ospf-lab"), 14, name);
          },
      .devices = 3,
      .hold = [](SuitePhase phase) -> std::vector<std::string> {
        switch (phase) {
          case SuitePhase::Launch: return {"-sim_launch_delay", "30"};
          case SuitePhase::Readiness: return {"-sim_ready_delay", "30"};
          case SuitePhase::Up: return {};
          case SuitePhase::Teardown: return {"-sim_teardown_delay", "1"};
        }
        return {};
      },
      .left = [](const std::string&, const TempDir& dir) { return sim_topologies_left(dir); },
      .bad_option_value = {"-sim_launch_delay", "-1"},
      .bad_option_says = "argument -sim_launch_delay: must be a number of seconds, not negative",
      .bad_testbed = "devices: [R1, R2]\n",
      .bad_testbed_says = "'devices' must be a mapping, not a list",
  };
  return profile;
}

MORVANE_BACKEND_SUITE(sim);

}  // namespace tarvex::testing
