// The journal of a run: what the run creates in the kernel, written before
// each object exists and removed once the teardown has finished, so that
// the leftovers of a run whose worker died can be found and removed.
// Nothing is ever removed by name pattern, only what a journal lists.
//
// Journals are files in a private runtime directory, /run/morvane/netns for
// root (MORVANE_NETNS_RUN_DIR names another one, e.g. for tests), one per run,
// named after the run id they claim.  A journal names its owner, the worker
// process, by pid and start time, so that a reused pid is never taken for
// a live run.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "tarvex/fd.hpp"

namespace tarvex::morvane::orchestrators::netns {

inline constexpr const char* kRunDirVariable = "MORVANE_NETNS_RUN_DIR";

// A process as the kernel identifies it over time.
struct ProcessIdentity {
  pid_t pid = 0;
  unsigned long long start_time = 0;  // clock ticks after boot (/proc/PID/stat)

  static ProcessIdentity self();
  // The process now running as `pid`, or nothing when there is none.
  static std::optional<ProcessIdentity> of(pid_t pid);
  bool alive() const;
  bool operator==(const ProcessIdentity&) const = default;
};

// A journal as read back.
struct JournalRecord {
  std::string file;  // the journal's file name in the runtime directory
  std::string run_id;
  std::string topology;
  ProcessIdentity owner;
  std::vector<std::string> namespaces;  // in creation order
  // The run's FRR directory (its routers' private directories are inside).
  std::vector<std::string> directories;
  // The FRR daemons started (and vtysh), as started.
  std::vector<ProcessIdentity> processes;
};

// The journal of this process's run.
class Journal {
 public:
  // Claims a run id no other journal holds and writes the journal's head.
  static Journal create(const std::string& topology);
  Journal(Journal&&) = default;
  Journal& operator=(Journal&&) = default;

  const std::string& run_id() const { return run_id_; }
  // Records a namespace name before the namespace is created.
  void record_namespace(const std::string& name);
  // Records a directory before it is created.
  void record_directory(const std::string& path);
  // Records a process right after it is started.
  void record_process(const ProcessIdentity& process);
  // The run's FRR directory: `<runtime directory>/<run id>.frr`.
  std::string frr_directory() const;
  // Removes the journal (once everything it lists is gone).
  void remove();

 private:
  Journal() = default;
  UniqueFd dir_;
  UniqueFd file_;
  std::string name_;
  std::string run_id_;
};

// The run id a journal of `owner` claims at its `attempt`th try (the first
// one free is taken).
std::string run_id_for(const ProcessIdentity& owner, unsigned attempt);

// The runtime directory, created (0700) when `create` and missing; OSError
// when it is not a directory owned by this user that others cannot write.
// Nothing (for `create` false) when it does not exist.
std::optional<UniqueFd> open_run_dir(bool create);
std::string run_dir_path();

// Every journal of the runtime directory (none when it does not exist).
std::vector<JournalRecord> read_journals();

// The FRR directory a journal of `run_id` may name; a directory the
// journal names elsewhere is never removed.
std::string frr_directory_of(const std::string& run_id);

// Removes a dead run's journal file, if it is still the one read.
void remove_journal(const JournalRecord& record);

// Takes the journal for removal: false when another process removes it
// already.  The lock lasts as long as the returned descriptor.
std::optional<UniqueFd> lock_journal(const JournalRecord& record);

}  // namespace tarvex::morvane::orchestrators::netns
