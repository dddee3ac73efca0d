// The backend suite: what every backend owes, checked through the real
// bringup tool the way a user runs it.  A backend is done when it passes.
//
//   - a launch and teardown: exit 0, the final testbed file with every
//     device under its user's name, nothing left;
//   - a signal in each phase (launching, waiting for readiness, up, tearing
//     down), SIGTERM to the manager and SIGKILL to the worker: the run ends
//     as it must, no process stays, and what a killed worker left is named
//     and removed by `bringup -cleanup`;
//   - a bad option and a bad logical testbed: refused before anything is
//     built, with the option or the problem named.
//
// A backend's tests/suite.cpp defines backend_profile() and instantiates the
// suite with the backend's name, so that every test's name holds it:
//
//   const BackendProfile& backend_profile() { static const BackendProfile p{...}; return p; }
//   MORVANE_BACKEND_SUITE(netns);
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace tarvex::testing {

enum class SuitePhase { Launch, Readiness, Up, Teardown };

struct BackendProfile {
  std::string name;  // the orchestrator's name ("-orchestrator NAME")
  bool needs_root = false;
  // The logical testbed the suite brings up, for a topology whose name is
  // `tag` (unique to the test; the backend's objects are named after it).
  std::function<std::string(const std::string& tag)> logical_testbed;
  std::size_t devices = 0;  // how many devices that testbed has
  // Arguments that hold the run long enough in a phase for a signal to land
  // there (e.g. a simulated delay); none where the phase lasts by itself.
  std::function<std::vector<std::string>(SuitePhase)> hold;
  // The same for what the testbed holds (e.g. a switch running the spanning
  // tree, whose ports forward only after seconds): the testbed changed to
  // hold the run in the phase.  Unset: the testbed as it is.
  std::function<std::string(std::string testbed, SuitePhase)> hold_testbed = {};
  // Whether a teardown may be over before a signal sent at its start
  // lands (a teardown of milliseconds).
  bool teardown_may_be_missed = false;
  // What of the topology `tag` exists now (for messages); empty: nothing.
  std::function<std::vector<std::string>(const std::string& tag, const TempDir& dir)> left;
  // Set up for each test (a private journal directory, say); whatever it
  // returns lives as long as the test.
  std::function<std::shared_ptr<void>()> per_test = [] { return nullptr; };
  // A value of one of the backend's own options that is refused.
  std::vector<std::string> bad_option_value;
  std::string bad_option_says;
  // A logical testbed the backend refuses, and what its error says.
  std::string bad_testbed;
  std::string bad_testbed_says;
};

// Defined by the backend's suite.cpp.
const BackendProfile& backend_profile();

// One case of the suite.
struct SuiteCase {
  std::string name;
  std::function<void(const BackendProfile&)> run;
};
std::vector<SuiteCase> backend_suite_cases();
inline void PrintTo(const SuiteCase& c, std::ostream* os) { *os << c.name; }

class BackendSuite : public ::testing::TestWithParam<SuiteCase> {};

}  // namespace tarvex::testing

#define MORVANE_BACKEND_SUITE(backend)                                                      \
  INSTANTIATE_TEST_SUITE_P(                                                                 \
      backend, BackendSuite, ::testing::ValuesIn(::tarvex::testing::backend_suite_cases()), \
      [](const ::testing::TestParamInfo<::tarvex::testing::SuiteCase>& info) { return info.param.name; })
