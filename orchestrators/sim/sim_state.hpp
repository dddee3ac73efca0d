// Where simulated devices live: a directory per topology holding a state
// file per device and a journal that names the run's process and every file
// it is about to write.  The teardown removes what the journal lists, and
// nothing else; the directories of runs whose worker died are found and
// removed the same way (`bringup -cleanup`).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tarvex/log.hpp"
#include "tarvex/morvane/leftovers.hpp"
#include "tarvex/value.hpp"

namespace tarvex::morvane::orchestrators::sim {

// The backend's logger, "tarvex.morvane.orchestrators.sim".
log::Logger& sim_logger();

class StateDir {
 public:
  // Creates `root`/`name` (refusing one that exists) with its journal.
  void create(const std::string& root, const std::string& name);
  bool created() const { return !dir_.empty(); }
  const std::string& path() const { return dir_; }
  // Records `file_name` in the journal, then writes `content` to it.
  std::string write(const std::string& file_name, const Value& content);
  // Removes the recorded files, the journal and the directory.
  void remove();

 private:
  std::string dir_;
  std::vector<std::string> files_;
};

// The state directories under `root` whose run's worker is dead (of one
// owner when given), and their removal; a line per removed directory.
std::vector<leftovers::Leftover> find_dead_runs(const std::string& root, std::optional<pid_t> owner);
std::vector<std::string> remove_dead_runs(const std::string& root, std::optional<pid_t> owner);

}  // namespace tarvex::morvane::orchestrators::sim
