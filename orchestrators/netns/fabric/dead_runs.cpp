#include "tarvex/morvane/fabric/dead_runs.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "tarvex/exceptions.hpp"
#include "tarvex/morvane/fabric/build.hpp"
#include "tarvex/morvane/fabric/ip_address.hpp"
#include "tarvex/morvane/fabric/route_socket.hpp"
#include "tarvex/morvane/leftovers.hpp"
#include "tarvex/process.hpp"

namespace tarvex::morvane::fabric {

namespace {

// How long a journaled daemon gets to end after SIGTERM.
constexpr std::chrono::milliseconds kDaemonGrace{1000};

std::map<std::string, EntryHandler>& handlers() {
  static auto* registered = new std::map<std::string, EntryHandler>();
  return *registered;
}

std::string counted(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string joined(const std::vector<std::string>& items, const char* separator = ", ") {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

// A field as a number; nothing when it is not one.
template <class T>
std::optional<T> number(const std::string& text) {
  if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return static_cast<T>(std::stoull(text));
}

std::optional<NamespaceId> id_fields(const JournalEntry& entry, std::size_t at) {
  if (entry.fields.size() < at + 2) return std::nullopt;
  const auto dev = number<dev_t>(entry.fields[at]);
  const auto ino = number<ino_t>(entry.fields[at + 1]);
  if (!dev || !ino) return std::nullopt;
  return NamespaceId{*dev, *ino};
}

// The journal's entries, sorted by what they name.
struct Parsed {
  struct Named {  // a name under /run/netns
    std::optional<NamespaceId> placeholder;
    std::optional<NamespaceId> id;
    std::vector<JournalEntry> entries;
  };
  struct Adopted {
    std::string path;
    std::vector<std::pair<int, std::string>> links;
    std::vector<std::pair<int, std::string>> addresses;
    std::vector<std::pair<std::string, std::string>> sysctls;
    std::vector<JournalEntry> entries;
  };
  struct Process {
    ProcessIdentity identity;
    uid_t uid = 0;
    std::string program;
    JournalEntry entry;
  };
  struct Directory {
    std::string path;
    std::optional<NamespaceId> id;
    std::vector<JournalEntry> entries;
  };
  std::map<std::string, Named> named;  // by name, in name order
  std::vector<std::string> named_order;
  std::map<NamespaceId, Adopted> adopted;
  std::vector<Process> processes;
  std::map<std::string, Directory> directories;
  std::map<std::string, std::vector<JournalEntry>> others;  // by kind
  std::vector<std::string> malformed;
};

Parsed parse(const JournalRecord& record) {
  Parsed parsed;
  for (const JournalEntry& entry : record.entries) {
    const std::vector<std::string>& f = entry.fields;
    const std::string& kind = entry.kind;
    bool ok = false;
    if ((kind == "claim" || kind == "namespace") && f.size() == 3) {
      const std::optional<NamespaceId> id = id_fields(entry, 0);
      if (id) {
        auto [it, fresh] = parsed.named.try_emplace(f[2]);
        if (fresh) parsed.named_order.push_back(f[2]);
        (kind == "claim" ? it->second.placeholder : it->second.id) = id;
        it->second.entries.push_back(entry);
        ok = true;
      }
    } else if (kind == "adopted" && f.size() >= 3) {
      if (const std::optional<NamespaceId> id = id_fields(entry, 0)) {
        Parsed::Adopted& adopted = parsed.adopted[*id];
        adopted.path = f[2];
        adopted.entries.push_back(entry);
        ok = true;
      }
    } else if ((kind == "link" || kind == "address") && f.size() == 4) {
      const std::optional<NamespaceId> id = id_fields(entry, 0);
      const auto ifindex = number<int>(f[2]);
      if (id && ifindex && *ifindex > 0) {
        Parsed::Adopted& adopted = parsed.adopted[*id];
        (kind == "link" ? adopted.links : adopted.addresses).emplace_back(*ifindex, f[3]);
        adopted.entries.push_back(entry);
        ok = true;
      }
    } else if (kind == "sysctl" && f.size() == 4) {
      const std::optional<NamespaceId> id = id_fields(entry, 0);
      if (id && f[2].starts_with("/proc/sys/net/") && f[2].find("..") == std::string::npos) {
        Parsed::Adopted& adopted = parsed.adopted[*id];
        adopted.sysctls.emplace_back(f[2], f[3]);
        adopted.entries.push_back(entry);
        ok = true;
      }
    } else if (kind == "process" && f.size() == 4) {
      const auto pid = number<pid_t>(f[0]);
      const auto start = number<unsigned long long>(f[1]);
      const auto uid = number<uid_t>(f[2]);
      if (pid && start && uid) {
        parsed.processes.push_back({{*pid, *start}, *uid, f[3], entry});
        ok = true;
      }
    } else if (kind == "directory" && f.size() >= 1) {
      std::string path = entry.line.substr(kind.size() + 1);
      Parsed::Directory& directory = parsed.directories[path];
      directory.path = path;
      directory.entries.push_back(entry);
      ok = true;
    } else if (kind == "directory-made" && f.size() >= 3) {
      if (const std::optional<NamespaceId> id = id_fields(entry, 0)) {
        const std::string path = entry.line.substr(entry.line.find(' ', entry.line.find(' ', kind.size() + 1) + 1) + 1);
        Parsed::Directory& directory = parsed.directories[path];
        directory.path = path;
        directory.id = id;
        directory.entries.push_back(entry);
        ok = true;
      }
    } else if (handlers().count(kind)) {
      parsed.others[kind].push_back(entry);
      ok = true;
    }
    if (!ok) parsed.malformed.push_back(entry.line);
  }
  return parsed;
}

// This process and its ancestors.
std::set<pid_t> own_lineage() {
  std::set<pid_t> lineage;
  for (pid_t pid = ::getpid(); pid > 0 && lineage.insert(pid).second;) {
    const std::optional<process::ProcessStat> stat = process::read_stat(pid);
    if (!stat) break;
    pid = stat->parent;
  }
  return lineage;
}

std::string command_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string command;
  std::getline(in, command);
  return command;
}

std::optional<std::set<uid_t>> uids_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("Uid:")) continue;
    std::istringstream fields(line.substr(4));
    std::set<uid_t> uids;
    for (uid_t uid; fields >> uid;) uids.insert(uid);
    return uids;
  }
  return std::nullopt;
}

std::string program_of(pid_t pid) {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
}

// Why a journaled process must not be touched, or nothing when it is still
// the one the run started.  `gone` is set when it no longer runs at all.
std::optional<std::string> process_mismatch(const Parsed::Process& process, const std::set<pid_t>& lineage,
                                            bool& gone) {
  const pid_t pid = process.identity.pid;
  gone = false;
  if (pid <= 1) return "pid " + std::to_string(pid) + " is never signalled";
  if (lineage.count(pid)) return "process " + std::to_string(pid) + " is this cleanup or one of its callers";
  if (!process.identity.alive()) {
    gone = true;
    return std::nullopt;
  }
  const std::string program = program_of(pid);
  if (program != process.program) {
    return "process " + std::to_string(pid) + " runs " + (program.empty() ? "another program" : program) + ", not " +
           process.program;
  }
  const std::optional<std::set<uid_t>> uids = uids_of(pid);
  if (!uids || !uids->count(process.uid)) {
    return "process " + std::to_string(pid) + " does not run as user " + std::to_string(process.uid);
  }
  return std::nullopt;
}

// Ends the processes (SIGTERM, the grace, SIGKILL), each held by a pidfd
// opened before it was checked again; returns "PID (COMMAND)" of each.
std::vector<std::string> end_verified(const std::vector<const Parsed::Process*>& processes,
                                      const std::set<pid_t>& lineage) {
  struct Target {
    UniqueFd pidfd;
    std::string name;
  };
  std::vector<Target> targets;
  for (const Parsed::Process* process : processes) {
    UniqueFd pidfd = process::open_pidfd(process->identity.pid);
    bool gone = false;
    // Checked with the pidfd held, so that the pid cannot be reused between
    // the check and the signal.
    if (!pidfd || process_mismatch(*process, lineage, gone) || gone) continue;
    const std::string name = std::to_string(process->identity.pid) + " (" + command_of(process->identity.pid) + ")";
    if (!process::signal_pidfd(pidfd.get(), SIGTERM)) continue;
    targets.push_back({std::move(pidfd), name});
  }
  auto wait_all = [&](std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (Target& target : targets) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd pfd{target.pidfd.get(), POLLIN, 0};
      ::poll(&pfd, 1, static_cast<int>(std::max<long>(0, left.count())));
    }
  };
  wait_all(kDaemonGrace);
  for (Target& target : targets) {
    pollfd pfd{target.pidfd.get(), POLLIN, 0};
    if (::poll(&pfd, 1, 0) == 0) process::signal_pidfd(target.pidfd.get(), SIGKILL);
  }
  wait_all(std::chrono::seconds(2));
  std::vector<std::string> ended;
  for (const Target& target : targets) ended.push_back(target.name);
  return ended;
}

// What a journaled name under /run/netns is now.
enum class NameState { Ours, Claimed, Gone, Foreign };

NameState state_of(const std::string& name, const Parsed::Named& named, std::string& why) {
  if (!valid_namespace_name(name)) {
    why = py_repr(name) + " is not a namespace name";
    return NameState::Foreign;
  }
  const std::string path = namespace_path(name);
  if (const std::optional<NamespaceId> mounted = mounted_namespace_id(path)) {
    if (named.id && *mounted == *named.id && mounted != initial_namespace_id()) return NameState::Ours;
    why = "network namespace " + name + " is not the one the run made";
    return NameState::Foreign;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return NameState::Gone;
  if (S_ISREG(st.st_mode) && named.placeholder && NamespaceId{st.st_dev, st.st_ino} == *named.placeholder) {
    return NameState::Claimed;
  }
  why = path + " is not the name the run claimed";
  return NameState::Foreign;
}

// The run's own directory: `<runtime directory>/<run id>.<suffix>`, a real
// directory of this user with the identity journaled (when it was).
bool directory_is_ours(const JournalRecord& record, const Parsed::Directory& directory, std::string& why, bool& gone) {
  gone = false;
  const std::string prefix = run_dir_path() + "/" + record.run_id + ".";
  const std::string suffix =
      directory.path.starts_with(prefix) ? directory.path.substr(prefix.size()) : std::string("/");
  if (suffix.empty() || suffix.find('/') != std::string::npos || suffix == "." || suffix == "..") {
    why = "directory " + directory.path + " is not one of the run's own";
    return false;
  }
  struct stat st {};
  if (::lstat(directory.path.c_str(), &st) != 0) {
    gone = true;
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
      (directory.id && NamespaceId{st.st_dev, st.st_ino} != *directory.id)) {
    why = "directory " + directory.path + " is not the one the run made";
    return false;
  }
  return true;
}

std::vector<JournalRecord> dead_runs(std::optional<pid_t> owner) {
  std::vector<JournalRecord> dead;
  for (JournalRecord& record : read_journals()) {
    if (owner && record.owner.pid != *owner) continue;
    if (record.owner.alive()) continue;
    dead.push_back(std::move(record));
  }
  return dead;
}

std::vector<leftovers::Leftover> find(std::optional<pid_t> owner) {
  std::vector<leftovers::Leftover> found;
  for (const JournalRecord& record : dead_runs(owner)) {
    const Parsed parsed = parse(record);
    std::vector<std::string> parts;
    std::vector<std::string> names;
    std::set<NamespaceId> ids;
    for (const std::string& name : parsed.named_order) {
      std::string why;
      if (state_of(name, parsed.named.at(name), why) == NameState::Ours) {
        names.push_back(name);
        ids.insert(*parsed.named.at(name).id);
      }
    }
    if (!names.empty()) {
      parts.push_back(counted(names.size(), "network namespace", "network namespaces") + " (" + joined(names) + ")");
    }
    if (const std::size_t inside = processes_in(ids).size()) {
      parts.push_back(counted(inside, "process", "processes") + " inside");
    }
    const std::set<pid_t> lineage = own_lineage();
    std::size_t daemons = 0;
    for (const Parsed::Process& process : parsed.processes) {
      bool gone = false;
      if (!process_mismatch(process, lineage, gone) && !gone) ++daemons;
    }
    if (daemons) parts.push_back(counted(daemons, "process started by the run", "processes started by the run"));
    for (const auto& [kind, entries] : parsed.others) {
      for (std::string& part : handlers().at(kind).describe(record, entries)) parts.push_back(std::move(part));
    }
    for (const auto& [path, directory] : parsed.directories) {
      std::string why;
      bool gone = false;
      if (directory_is_ours(record, directory, why, gone)) parts.push_back("directory " + path);
    }
    std::string description = joined(parts);
    if (parts.empty()) description = "its journal " + run_dir_path() + "/" + record.file + " (what it lists is gone)";
    found.push_back({"netns", record.topology, record.owner.pid, description});
  }
  return found;
}

// Removes what a dead run's adopted namespace still holds of the run's:
// its interfaces (by journaled index and name), the addresses it added, the
// settings it changed.  A namespace that is gone, or that the path now
// names another one, holds nothing of the run's.
void take_back(const Parsed::Adopted& adopted, const NamespaceId& id, int home, CleanupReport& report) {
  UniqueFd fd(::open(adopted.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd || identity_of(fd.get()) != std::optional<NamespaceId>(id)) return;
  if (id == initial_namespace_id()) {
    report.skipped.push_back(adopted.path + " is the initial network namespace: it is never changed");
    return;
  }
  RouteSocket socket(fd.get(), home, "adopted network namespace " + adopted.path);
  for (auto link = adopted.links.rbegin(); link != adopted.links.rend(); ++link) {
    if (socket.delete_link(link->first, link->second)) {
      report.removed.push_back("interface " + link->second + " in " + adopted.path);
    }
  }
  for (const auto& [ifindex, text] : adopted.addresses) {
    const std::optional<IpAddress> address = IpAddress::parse(text, 0, true);
    if (address && socket.delete_address(ifindex, *address)) {
      report.removed.push_back("address " + text + " in " + adopted.path);
    }
  }
  if (!adopted.sysctls.empty()) {
    NamespaceEntry inside(fd.get(), home);
    for (const auto& [path, before] : adopted.sysctls) {
      std::ofstream(path) << before;
    }
  }
}

leftovers::Cleanup remove(std::optional<pid_t> owner) {
  leftovers::Cleanup cleanup;
  std::exception_ptr first_failure;
  const std::set<pid_t> lineage = own_lineage();
  for (const JournalRecord& record : dead_runs(owner)) {
    // Another cleanup may be at it already; it then finishes the job.
    std::optional<UniqueFd> lock = lock_journal(record);
    if (!lock) {
      cleanup.kept.push_back("netns: journal " + run_dir_path() + "/" + record.file +
                             ", which another cleanup is at (or which changed meanwhile)");
      continue;
    }
    const std::string whose =
        "of topology " + record.topology + " (dead worker " + std::to_string(record.owner.pid) + ")";
    const Parsed parsed = parse(record);
    CleanupReport report;
    std::vector<JournalEntry> kept;
    auto attempt = [&](const std::vector<JournalEntry>& entries, auto&& action) {
      try {
        action();
      } catch (const std::exception&) {
        if (!first_failure) first_failure = std::current_exception();
        kept.insert(kept.end(), entries.begin(), entries.end());
      }
    };
    for (const std::string& line : parsed.malformed) report.skipped.push_back("a journal line not understood: " + line);

    // The daemons the run started.
    std::vector<const Parsed::Process*> daemons;
    std::vector<JournalEntry> daemon_entries;
    for (const Parsed::Process& process : parsed.processes) {
      bool gone = false;
      if (const std::optional<std::string> why = process_mismatch(process, lineage, gone)) {
        report.skipped.push_back(*why);
      } else if (!gone) {
        daemons.push_back(&process);
        daemon_entries.push_back(process.entry);
      }
    }
    attempt(daemon_entries, [&] {
      for (const std::string& process : end_verified(daemons, lineage)) {
        report.removed.push_back("process " + process + " started by the run");
      }
    });
    // Kinds of entries of other backends (containers, ...).
    for (const auto& [kind, entries] : parsed.others) {
      attempt(entries, [&, &entries = entries, &kind = kind] {
        const std::vector<JournalEntry> left = handlers().at(kind).remove(record, entries, report);
        kept.insert(kept.end(), left.begin(), left.end());
      });
    }
    // What the run made in namespaces it adopted.
    UniqueFd home = current_namespace();
    for (const auto& [id, adopted] : parsed.adopted) {
      attempt(adopted.entries, [&, &id = id, &adopted = adopted] { take_back(adopted, id, home.get(), report); });
    }
    // The run's own namespaces, with what still runs inside.
    std::set<NamespaceId> ours;
    std::vector<std::string> names;
    for (const std::string& name : parsed.named_order) {
      const Parsed::Named& named = parsed.named.at(name);
      std::string why;
      switch (state_of(name, named, why)) {
        case NameState::Ours:
          ours.insert(*named.id);
          names.push_back(name);
          break;
        case NameState::Claimed:
          attempt(named.entries, [&] {
            if (::unlink(namespace_path(name).c_str()) == 0) report.removed.push_back("claimed name " + name);
          });
          break;
        case NameState::Gone: break;
        case NameState::Foreign: report.skipped.push_back(why); break;
      }
    }
    attempt({}, [&] {
      for (const std::string& process : end_processes_in(ours, kProcessGrace)) {
        report.removed.push_back("process " + process + " inside the network namespaces");
      }
    });
    for (const std::string& name : names) {
      attempt(parsed.named.at(name).entries, [&] {
        // Checked once more right before: the name may have been reused.
        std::string why;
        if (state_of(name, parsed.named.at(name), why) != NameState::Ours) return;
        if (delete_named_namespace(name)) report.removed.push_back("network namespace " + name);
      });
    }
    for (const auto& [path, directory] : parsed.directories) {
      std::string why;
      bool gone = false;
      if (!directory_is_ours(record, directory, why, gone)) {
        if (!gone) report.skipped.push_back(why);
        continue;
      }
      attempt(directory.entries, [&, &path = path] {
        std::filesystem::remove_all(path);
        report.removed.push_back("directory " + path);
      });
    }

    for (const std::string& line : report.removed) cleanup.removed.push_back("netns: " + line + " " + whose);
    for (const std::string& why : report.skipped) cleanup.skipped.push_back("netns: " + why + " " + whose);
    for (const std::string& why : report.failed) cleanup.kept.push_back("netns: " + why + " " + whose);
    try {
      if (kept.empty()) {
        remove_journal(record);
        cleanup.removed.push_back("netns: journal " + run_dir_path() + "/" + record.file + " " + whose);
      } else {
        rewrite_journal(record, kept);
        cleanup.kept.push_back("netns: journal " + run_dir_path() + "/" + record.file + " " + whose + ", with the " +
                               counted(kept.size(), "entry", "entries") + " that could not be removed");
      }
    } catch (const std::exception&) {
      if (!first_failure) first_failure = std::current_exception();
    }
  }
  if (first_failure) std::rethrow_exception(first_failure);
  return cleanup;
}

const bool registered = leftovers::register_finder("netns", {find, remove});

}  // namespace

bool register_entry_kind(std::string kind, EntryHandler handler) {
  handlers()[std::move(kind)] = std::move(handler);
  return true;
}

}  // namespace tarvex::morvane::fabric
