// The leftovers of runs whose worker died: found through the journals whose
// owner is gone, and removed by ending the processes inside their
// namespaces and removing the namespaces, then the journal.
#include <filesystem>
#include <map>
#include <set>

#include "builder.hpp"
#include "journal.hpp"
#include "namespaces.hpp"
#include "orchestrators/netns/frr/frr_daemons.hpp"
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

// The run's FRR directory, if its journal names it and it still exists.
// Only the place a journal of this run id can name is ever removed.
std::optional<std::string> frr_directory(const JournalRecord& record) {
  const std::string expected = frr_directory_of(record.run_id);
  for (const std::string& directory : record.directories) {
    std::error_code ec;
    if (directory == expected && std::filesystem::is_directory(std::filesystem::symlink_status(directory, ec))) {
      return directory;
    }
  }
  return std::nullopt;
}

std::size_t live_processes(const JournalRecord& record) {
  std::size_t alive = 0;
  for (const ProcessIdentity& process : record.processes) alive += process.alive() ? 1 : 0;
  return alive;
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
    const std::optional<std::string> frr = frr_directory(dead[r]);
    const std::size_t daemons = live_processes(dead[r]);
    std::vector<std::string> parts;
    if (!existing[r].empty()) {
      std::string names;
      for (const std::string& name : existing[r]) names += (names.empty() ? "" : ", ") + name;
      parts.push_back(counted(existing[r].size(), "network namespace", "network namespaces") + " (" + names + ")");
    }
    if (processes[r] > 0) parts.push_back(counted(processes[r], "process", "processes") + " inside");
    if (daemons > 0) parts.push_back(counted(daemons, "FRR process", "FRR processes"));
    if (frr) parts.push_back("FRR directory " + *frr);
    std::string description;
    for (const std::string& part : parts) description += (description.empty() ? "" : ", ") + part;
    if (parts.empty())
      description = "its journal " + run_dir_path() + "/" + dead[r].file + " (its namespaces are gone)";
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
      for (const std::string& process : end_processes(record.processes, kFrrGrace)) {
        removed.push_back("netns: FRR process " + process + " " + whose);
      }
      const TeardownReport report = tear_down_namespaces(record.namespaces);
      for (const std::string& process : report.processes) {
        removed.push_back("netns: process " + process + " inside the network namespaces " + whose);
      }
      for (const std::string& name : report.namespaces) {
        removed.push_back("netns: network namespace " + name + " " + whose);
      }
      if (const std::optional<std::string> directory = frr_directory(record)) {
        std::filesystem::remove_all(*directory);
        removed.push_back("netns: FRR directory " + *directory + " " + whose);
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
