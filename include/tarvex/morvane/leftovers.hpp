// What runs left behind: objects a backend created for a topology whose
// worker died before it could tear them down (the worker was killed, say).
//
// A backend that creates objects outside its own process (network
// namespaces, daemons) records them in a journal owned by the worker's
// process and registers a finder here.  The manager names the leftovers of
// its worker when the worker dies, a later run warns that leftovers of dead
// runs exist, and `bringup -cleanup` removes them.  Only what a journal
// lists is ever removed, and never what belongs to a live process.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarvex::morvane::leftovers {

// One dead run's leftovers as a backend reports them.
struct Leftover {
  std::string backend;      // e.g. "netns"
  std::string topology;     // the topology name of the run
  pid_t owner = 0;          // the worker process that created them (dead)
  std::string description;  // what is left, e.g. "3 namespaces, 2 processes"
};

// What a removal did, a line per item ("netns: network namespace lab-x-h1
// of topology lab (dead worker 4100)").
struct Cleanup {
  std::vector<std::string> removed;
  // Listed by a journal but not the run's any more (reused, replaced, or
  // never the run's): left alone, and why.
  std::vector<std::string> skipped;
  // Journals kept with what could not be removed, for a later cleanup.
  std::vector<std::string> kept;

  void add(Cleanup other);
};

struct Finder {
  // The leftovers of dead runs, of one owner only when `owner` is given.
  std::function<std::vector<Leftover>(std::optional<pid_t> owner)> find;
  // Removes the leftovers of dead runs (of one owner when given).  Raises
  // when something could not be removed.
  std::function<Cleanup(std::optional<pid_t> owner)> remove;
};

// Registers a backend's finder (at load time); returns true.
bool register_finder(std::string backend, Finder finder);

// Every registered backend's leftovers of dead runs.  A backend whose
// finder fails is reported as a leftover whose description says why.
std::vector<Leftover> find_all(std::optional<pid_t> owner = std::nullopt);
// Removes them.  Goes on after a backend fails and raises the first failure
// at the end.
Cleanup remove_all(std::optional<pid_t> owner = std::nullopt);

// "netns: topology lab_2026Dec09_... of dead worker 4242: 3 namespaces"
std::string describe(const Leftover& leftover);

}  // namespace tarvex::morvane::leftovers
