// The containers of runs whose worker died: a journal names each container
// (its engine and name) before it is created; a cleanup removes, on that
// engine, the containers that carry the run's label and a journaled name,
// and never one without the run's label.
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "orchestrators/netns/containers/container_set.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/morvane/fabric/dead_runs.hpp"

namespace tarvex::morvane::orchestrators::netns {

namespace {

// Journaled container names, by engine socket.
std::map<std::string, std::set<std::string>> journaled(const std::vector<fabric::JournalEntry>& entries) {
  std::map<std::string, std::set<std::string>> names;
  for (const fabric::JournalEntry& entry : entries) {
    if (entry.fields.size() == 2) names[entry.fields[0]].insert(entry.fields[1]);
  }
  return names;
}

// The run's containers still on the engine at `socket`: labelled with the
// run's id and journaled by name.
std::vector<engine::ContainerSummary> still_there(engine::Engine& engine, const fabric::JournalRecord& run,
                                                  const std::set<std::string>& names) {
  std::vector<engine::ContainerSummary> found;
  for (engine::ContainerSummary& container : engine.list({std::string(kRunLabel) + "=" + run.run_id})) {
    if (names.count(container.name)) found.push_back(std::move(container));
  }
  return found;
}

engine::EngineOptions quick() {
  engine::EngineOptions options;
  options.connect_timeout = std::chrono::seconds(2);
  return options;
}

std::vector<std::string> describe(const fabric::JournalRecord& run, const std::vector<fabric::JournalEntry>& entries) {
  std::vector<std::string> parts;
  for (const auto& [socket, names] : journaled(entries)) {
    try {
      engine::Engine engine(socket, quick());
      const auto found = still_there(engine, run, names);
      if (found.empty()) continue;
      std::string list;
      for (const auto& container : found) list += (list.empty() ? "" : ", ") + container.name;
      parts.push_back(std::to_string(found.size()) + (found.size() == 1 ? " container" : " containers") + " (" + list +
                      ") on " + socket);
    } catch (const std::exception& e) {
      parts.push_back("containers on " + socket + " that cannot be looked at: " + e.what());
    }
  }
  return parts;
}

std::vector<fabric::JournalEntry> remove(const fabric::JournalRecord& run,
                                         const std::vector<fabric::JournalEntry>& entries,
                                         fabric::CleanupReport& report) {
  std::vector<fabric::JournalEntry> kept;
  for (const auto& [socket, names] : journaled(entries)) {
    std::vector<std::string> ids;
    try {
      engine::Engine engine(socket, quick());
      // A name journaled but not there may be a creation the dead worker
      // sent and the engine still completes: it is waited for, a while.
      const auto created_by = std::chrono::steady_clock::now() + kCreationWait;
      while (still_there(engine, run, names).size() < names.size() && std::chrono::steady_clock::now() < created_by) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      std::map<std::string, std::string> name_of;
      for (const auto& container : still_there(engine, run, names)) {
        ids.push_back(container.id);
        name_of[container.id] = container.name;
      }
      std::map<std::string, std::string> refused;  // id -> why
      for (const engine::ItemResult& result : engine.remove_all(ids)) {
        if (!result.ok()) {
          refused[result.item] = *result.error;
        } else {
          report.removed.push_back("container " + name_of[result.item] + " on " + socket);
        }
      }
      // An engine refuses a removal that is under way already (the dead
      // worker's own): such a container is waited for, a while.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!refused.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::set<std::string> there;
        for (const auto& container : still_there(engine, run, names)) there.insert(container.id);
        for (auto it = refused.begin(); it != refused.end();) {
          if (there.count(it->first)) {
            ++it;
            continue;
          }
          report.removed.push_back("container " + name_of[it->first] + " on " + socket);
          it = refused.erase(it);
        }
      }
      if (!refused.empty()) throw RuntimeError(refused.begin()->second);
    } catch (const std::exception& e) {
      // The engine may be down: the entries stay for a later cleanup.
      report.failed.push_back("containers on " + socket + " could not be removed now (" + e.what() + ")");
      for (const fabric::JournalEntry& entry : entries) {
        if (!entry.fields.empty() && entry.fields[0] == socket) kept.push_back(entry);
      }
    }
  }
  return kept;
}

const bool registered =
    fabric::register_entry_kind("container", {describe, remove}) &&
    // The id of a container created: its name's entry covers it.
    fabric::register_entry_kind("container-id",
                                {[](const fabric::JournalRecord&, const std::vector<fabric::JournalEntry>&) {
                                   return std::vector<std::string>{};
                                 },
                                 [](const fabric::JournalRecord&, const std::vector<fabric::JournalEntry>&,
                                    fabric::CleanupReport&) { return std::vector<fabric::JournalEntry>{}; }});

}  // namespace

}  // namespace tarvex::morvane::orchestrators::netns
