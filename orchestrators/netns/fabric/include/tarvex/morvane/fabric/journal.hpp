// The journal of a run: what the run creates, written before each object
// exists and removed once the teardown has finished, so that the leftovers
// of a run whose worker died can be found and removed.  Nothing is ever
// removed by name pattern, only what a journal lists, and only while the
// object is still the one the run made: every entry names the object's
// identity (a namespace's device and inode, a process's start time and
// program, a directory's device and inode), checked again before anything
// is done to it.
//
// Journals are files in a private runtime directory, /run/morvane/netns for
// root (MORVANE_NETNS_RUN_DIR names another one, e.g. for tests), one per
// run, named after the run id they claim.  A journal names its owner, the
// worker process, by pid and start time, so that a reused pid is never taken
// for a live run.
//
// The file is one line per entry: a kind, then its fields separated by
// single spaces; only the last field may hold spaces.  Kinds the fabric
// does not know (a container engine's, say) are kept for the handlers that
// registered them (see dead_runs.hpp).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvex/fd.hpp"
#include "tarvex/morvane/fabric/namespaces.hpp"

namespace tarvex::morvane::fabric {

inline constexpr const char* kRunDirVariable = "MORVANE_NETNS_RUN_DIR";

// A process as the kernel identifies it over time.
struct ProcessIdentity {
  pid_t pid = 0;
  unsigned long long start_time = 0;  // clock ticks after boot (/proc/PID/stat)

  static ProcessIdentity self();
  // The process now running as `pid`, or nothing when there is none.
  static std::optional<ProcessIdentity> of(pid_t pid);
  // Running (not a zombie) and still this process.
  bool alive() const;
  bool operator==(const ProcessIdentity&) const = default;
};

// One entry of a journal as read back.
struct JournalEntry {
  std::string kind;
  std::vector<std::string> fields;
  std::string line;  // as written, for messages and for keeping it
};

// A journal as read back.
struct JournalRecord {
  std::string file;  // the journal's file name in the runtime directory
  std::string run_id;
  std::string topology;
  ProcessIdentity owner;
  std::vector<JournalEntry> entries;  // in the order written
};

// The journal of this process's run.
class Journal {
 public:
  // Claims a run id no other journal holds and writes the journal's head.
  static Journal create(const std::string& topology);
  Journal(Journal&&) = default;
  Journal& operator=(Journal&&) = default;

  const std::string& run_id() const { return run_id_; }

  // A name under /run/netns claimed for the run: the empty file's identity.
  void record_claim(const std::string& name, const NamespaceId& placeholder);
  // The namespace created for that name, before it is mounted there.
  void record_namespace(const std::string& name, const NamespaceId& id);
  // A namespace the run adopted, where it is reached.
  void record_adopted(const NamespaceId& id, const std::string& path);
  // An interface the run makes in an adopted namespace, before it exists.
  void record_link(const NamespaceId& ns, int ifindex, const std::string& name);
  // An address the run adds in an adopted namespace to an interface it did
  // not make (the loopback), before it is added.
  void record_address(const NamespaceId& ns, int ifindex, const std::string& address);
  // A setting the run changes in an adopted namespace, with its value before.
  void record_sysctl(const NamespaceId& ns, const std::string& path, const std::string& before);
  // A process right after it is started: `program` is what it runs (its
  // /proc/PID/exe once started), `uid` the user it runs as.
  void record_process(const ProcessIdentity& process, uid_t uid, const std::string& program);
  // A directory of the run's: before it is made (its path), then its
  // identity once made.  Only `<runtime directory>/<run id>.<suffix>`
  // directories (and what is below them) are ever removed.
  void record_directory(const std::string& path);
  void record_directory_made(const std::string& path, const NamespaceId& id);
  // Any other kind of entry (see dead_runs.hpp): its fields, the last of
  // which may hold spaces.
  void record(std::string_view kind, const std::vector<std::string>& fields);

  // A private directory of the run: `<runtime directory>/<run id>.<suffix>`.
  std::string private_directory(const std::string& suffix) const;
  // Removes the journal (once everything it lists is gone).
  void remove();

 private:
  Journal() = default;
  void write(const std::string& line);

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

// Takes the journal for removal: false when another process removes it
// already.  The lock lasts as long as the returned descriptor.
std::optional<UniqueFd> lock_journal(const JournalRecord& record);

// Removes a dead run's journal file, if it is still the one read.
void remove_journal(const JournalRecord& record);

// Replaces a dead run's journal by one that lists only `kept` (what a
// cleanup could not remove), written whole or not at all.
void rewrite_journal(const JournalRecord& record, const std::vector<JournalEntry>& kept);

}  // namespace tarvex::morvane::fabric
