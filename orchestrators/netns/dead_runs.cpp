// The leftovers of runs whose worker died: found through the journals whose
// owner is gone, and removed by ending the processes inside their
// namespaces and removing the namespaces, then the journal.
#include <map>
#include <set>

#include "builder.hpp"
#include "journal.hpp"
#include "namespaces.hpp"
#include "tarvex/morvane/leftovers.hpp"

namespace tarvex::morvane::orchestrators::netns {

namespace {

std::vector<JournalRecord> dead_runs(std::optional<pid_t> owner) {
  std::vector<JournalRecord> dead;
  for (JournalRecord& record : read_journals()) {
    if (owner && record.owner.pid != *owner) continue;
    if (record.owner.alive()) continue;
    dead.push_back(std::move(record));
  }
  return dead;
}

std::string counted(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::vector<leftovers::Leftover> find(std::optional<pid_t> owner) {
  std::vector<leftovers::Leftover> found;
  const std::vector<JournalRecord> dead = dead_runs(owner);
  if (dead.empty()) return found;
  // One look at the processes for every dead run together.
  std::map<NamespaceId, std::size_t> run_of;
  std::vector<std::vector<std::string>> existing(dead.size());
  for (std::size_t r = 0; r < dead.size(); ++r) {
    for (const std::string& name : dead[r].namespaces) {
      if (std::optional<NamespaceId> id = named_namespace_id(name)) {
        run_of[*id] = r;
        existing[r].push_back(name);
      }
    }
  }
  std::set<NamespaceId> ids;
  for (const auto& [id, run] : run_of) ids.insert(id);
  std::vector<std::size_t> processes(dead.size(), 0);
  for (const NamespaceProcess& process : processes_in(ids)) ++processes[run_of[process.ns]];
  for (std::size_t r = 0; r < dead.size(); ++r) {
    std::string description;
    if (existing[r].empty()) {
      description = "its journal " + run_dir_path() + "/" + dead[r].file + " (its namespaces are gone)";
    } else {
      description = counted(existing[r].size(), "network namespace", "network namespaces") + " (";
      for (std::size_t i = 0; i < existing[r].size(); ++i) description += (i ? ", " : "") + existing[r][i];
      description += ")";
      if (processes[r] > 0) description += ", " + counted(processes[r], "process", "processes") + " inside";
    }
    found.push_back({"netns", dead[r].topology, dead[r].owner.pid, description});
  }
  return found;
}

std::vector<std::string> remove(std::optional<pid_t> owner) {
  std::vector<std::string> removed;
  std::exception_ptr first_failure;
  for (const JournalRecord& record : dead_runs(owner)) {
    // Another cleanup may be at it already; it then finishes the job.
    std::optional<UniqueFd> lock = lock_journal(record);
    if (!lock) continue;
    const std::string whose =
        "of topology " + record.topology + " (dead worker " + std::to_string(record.owner.pid) + ")";
    try {
      const TeardownReport report = tear_down_namespaces(record.namespaces);
      for (const std::string& process : report.processes) {
        removed.push_back("netns: process " + process + " inside the network namespaces " + whose);
      }
      for (const std::string& name : report.namespaces) {
        removed.push_back("netns: network namespace " + name + " " + whose);
      }
      remove_journal(record);
      removed.push_back("netns: journal " + run_dir_path() + "/" + record.file + " " + whose);
    } catch (const std::exception&) {
      if (!first_failure) first_failure = std::current_exception();
    }
  }
  if (first_failure) std::rethrow_exception(first_failure);
  return removed;
}

const bool registered = leftovers::register_finder("netns", {find, remove});

}  // namespace

}  // namespace tarvex::morvane::orchestrators::netns
