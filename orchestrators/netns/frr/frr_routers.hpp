// The FRRouting instances of a run's routers: started once the fabric has
// built their namespaces, moved on until every daemon answers, and stopped
// before the namespaces go.  Every instance has a directory of its own
// inside the run's private FRR directory, which the teardown removes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "orchestrators/netns/frr/frr_daemons.hpp"
#include "tarvex/morvane/fabric/build.hpp"

namespace tarvex::morvane::orchestrators::netns {

class FrrRouters {
 public:
  // The setups of the plan's routers (see plan_frr); problems are added to
  // `problems`.
  void plan(const Value& logical_testbed, const fabric::Plan& plan, std::vector<std::string>& problems);
  // The setup of each device in plan order (nothing for those without one).
  const std::vector<std::optional<FrrSetup>>& setups() const { return setups_; }

  // Starts zebra on every device of the build with a setup, except those
  // `skip` marks (routers from images, which start their own); the
  // daemons' logs go to `log_directory` (as "<actual name>.<daemon>.log"),
  // or into each instance's directory when it is empty.
  void start(fabric::Build& build, const std::string& log_directory, const std::vector<bool>& skip = {});
  // Moves every instance's start on; true once all are up.
  bool advance(fabric::Journal& journal);
  // Ends the daemons (SIGTERM, kFrrGrace, SIGKILL); returns those killed.
  std::vector<std::string> stop();

  const std::vector<FrrInstance>& instances() const { return instances_; }
  // The instance of the router with this logical name, if it runs one.
  const FrrInstance* of(const std::string& logical_name) const;

 private:
  std::vector<std::optional<FrrSetup>> setups_;
  std::vector<FrrInstance> instances_;
};

}  // namespace tarvex::morvane::orchestrators::netns
