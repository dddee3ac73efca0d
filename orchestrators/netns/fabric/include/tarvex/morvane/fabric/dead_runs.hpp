// The leftovers of runs whose worker died, found through their journals and
// removed by `bringup -cleanup` (registered as the "netns" leftovers finder).
//
// An entry is acted on only while the object it names is still the one the
// run made: a namespace mounted under its name with the identity journaled,
// a claimed name still the empty file made, a process with the pid, start
// time, program and user journaled (never pid 1, this process or one of
// its ancestors), an interface of an adopted namespace with its journaled
// index and name, a directory of the run's own with its journaled identity.
// An entry that no longer matches is reported and skipped; the rest of the
// journal is still cleaned.  A journal whose entries could not all be
// removed is rewritten with only those, so that a later cleanup looks at
// them again (checked again, never replayed blindly).
//
// Kinds of entries the fabric does not know are handed to the handler a
// backend registered for them (containers, say).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tarvex/morvane/fabric/journal.hpp"

namespace tarvex::morvane::fabric {

// What one dead run's cleanup did.
struct CleanupReport {
  std::vector<std::string> removed;  // "container lab-x-r1", ... (the caller adds whose)
  std::vector<std::string> skipped;  // what was not the run's any more, and why
  std::vector<std::string> failed;   // what could not be removed now (it stays journaled), and why
};

struct EntryHandler {
  // What of `entries` is still there, as phrases for the leftovers report
  // ("2 containers (lab-x-r1, lab-x-r2)"); empty when nothing is.
  std::function<std::vector<std::string>(const JournalRecord& run, const std::vector<JournalEntry>& entries)> describe;
  // Removes what of `entries` is still there and provably the run's,
  // reporting it; returns the entries that could not be removed (they stay
  // journaled).  Runs before the namespaces are looked at.
  std::function<std::vector<JournalEntry>(const JournalRecord& run, const std::vector<JournalEntry>& entries,
                                          CleanupReport& report)>
      remove;
};

// Registers the handler of a kind of entry (at load time); returns true.
bool register_entry_kind(std::string kind, EntryHandler handler);

}  // namespace tarvex::morvane::fabric
