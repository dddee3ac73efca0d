#include "tarvex/morvane/leftovers.hpp"

#include <exception>
#include <map>

#include "tarvex/exceptions.hpp"

namespace tarvex::morvane::leftovers {

namespace {

std::map<std::string, Finder>& finders() {
  static auto* registered = new std::map<std::string, Finder>();
  return *registered;
}

}  // namespace

bool register_finder(std::string backend, Finder finder) {
  finders()[std::move(backend)] = std::move(finder);
  return true;
}

std::vector<Leftover> find_all(std::optional<pid_t> owner) {
  std::vector<Leftover> all;
  for (const auto& [backend, finder] : finders()) {
    try {
      for (Leftover& found : finder.find(owner)) all.push_back(std::move(found));
    } catch (const std::exception& e) {
      all.push_back({backend, "", owner.value_or(0), std::string("could not be searched: ") + e.what()});
    }
  }
  return all;
}

void Cleanup::add(Cleanup other) {
  for (std::string& line : other.removed) removed.push_back(std::move(line));
  for (std::string& line : other.skipped) skipped.push_back(std::move(line));
  for (std::string& line : other.kept) kept.push_back(std::move(line));
}

Cleanup remove_all(std::optional<pid_t> owner) {
  Cleanup all;
  std::exception_ptr first_failure;
  for (const auto& [backend, finder] : finders()) {
    try {
      all.add(finder.remove(owner));
    } catch (const std::exception&) {
      if (!first_failure) first_failure = std::current_exception();
    }
  }
  if (first_failure) std::rethrow_exception(first_failure);
  return all;
}

std::string describe(const Leftover& leftover) {
  std::string where;
  if (!leftover.topology.empty()) where = "topology " + leftover.topology;
  if (leftover.owner > 0) where += (where.empty() ? "" : " ") + ("of dead worker " + std::to_string(leftover.owner));
  return leftover.backend + ": " + (where.empty() ? "" : where + ": ") + leftover.description;
}

}  // namespace tarvex::morvane::leftovers
