#include "journal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "tarvex/exceptions.hpp"
#include "tarvex/files.hpp"
#include "tarvex/process.hpp"
#include "tarvex/value.hpp"

namespace tarvex::morvane::orchestrators::netns {

namespace {

constexpr const char* kMagic = "morvane netns journal 1";
constexpr const char* kSuffix = ".journal";
constexpr int kRunIdChars = 5;

[[noreturn]] void raise_errno(const std::string& what) {
  const int error = errno;
  throw OSError(error, what + ": " + std::strerror(error));
}

// Opens the runtime directory, which files::ensure_private_directory has
// checked (or made): the descriptor is checked again, so that a directory
// swapped in between is refused too.
UniqueFd open_private_dir(const std::string& path) {
  files::ensure_private_directory(path);
  UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) raise_errno("Cannot open " + path);
  struct stat st {};
  if (::fstat(dir.get(), &st) != 0) raise_errno("Cannot examine " + path);
  if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw OSError(EPERM, "Refusing to use directory " + py_repr(path) + ": it changed while it was opened");
  }
  return dir;
}

bool write_line(int fd, const std::string& line) { return process::write_fully(fd, line + "\n"); }

std::optional<JournalRecord> parse(const std::string& file, const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line) || line != kMagic) return std::nullopt;
  JournalRecord record;
  record.file = file;
  record.run_id = file.substr(0, file.size() - std::strlen(kSuffix));
  while (std::getline(lines, line)) {
    const std::size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "owner") {
      std::istringstream fields(rest);
      fields >> record.owner.pid >> record.owner.start_time;
    } else if (key == "topology") {
      record.topology = rest;
    } else if (key == "namespace" && !rest.empty() && rest.find('/') == std::string::npos) {
      record.namespaces.push_back(rest);
    } else if (key == "directory" && !rest.empty()) {
      record.directories.push_back(rest);
    } else if (key == "process") {
      std::istringstream fields(rest);
      ProcessIdentity process;
      if (fields >> process.pid >> process.start_time && process.pid > 0) record.processes.push_back(process);
    }
  }
  if (record.owner.pid <= 0) return std::nullopt;
  return record;
}

}  // namespace

// Five characters of [a-z0-9] mixed from the owner's identity and the
// attempt.
std::string run_id_for(const ProcessIdentity& owner, unsigned attempt) {
  std::uint64_t x = (static_cast<std::uint64_t>(owner.pid) << 40) ^ owner.start_time ^
                    (static_cast<std::uint64_t>(attempt) * 0x9e3779b97f4a7c15ull);
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  static const char* alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string id;
  for (int i = 0; i < kRunIdChars; ++i, x /= 36) id += alphabet[x % 36];
  return id;
}

ProcessIdentity ProcessIdentity::self() {
  std::optional<ProcessIdentity> me = of(::getpid());
  if (!me) throw OSError(ENOENT, "Cannot read this process's start time from /proc/self/stat");
  return *me;
}

namespace {

// The identity and state letter ("R", "S", "Z", ...) of the process now
// running as `pid`.
std::optional<std::pair<ProcessIdentity, std::string>> read_stat(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return std::nullopt;
  // "PID (COMM) STATE PPID ..."; COMM may hold spaces and parentheses.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 2));
  std::string state, field;
  fields >> state;
  // After the state (field 3), the start time is field 22.
  for (int index = 4; index < 22 && fields >> field; ++index) {
  }
  ProcessIdentity identity{pid, 0};
  if (!(fields >> identity.start_time)) return std::nullopt;
  return std::make_pair(identity, state);
}

}  // namespace

std::optional<ProcessIdentity> ProcessIdentity::of(pid_t pid) {
  const auto stat = read_stat(pid);
  if (!stat) return std::nullopt;
  return stat->first;
}

bool ProcessIdentity::alive() const {
  // A zombie (killed, not yet reaped by its parent) tears nothing down.
  const auto now = read_stat(pid);
  return now && now->first == *this && now->second != "Z" && now->second != "X";
}

std::string run_dir_path() {
  const char* chosen = std::getenv(kRunDirVariable);
  return chosen && *chosen ? chosen : files::private_runtime_directory("morvane/netns");
}

std::optional<UniqueFd> open_run_dir(bool create) {
  const std::string path = run_dir_path();
  if (!create) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return std::nullopt;
  }
  return open_private_dir(path);
}

Journal Journal::create(const std::string& topology) {
  Journal journal;
  journal.dir_ = std::move(*open_run_dir(true));
  const ProcessIdentity owner = ProcessIdentity::self();
  for (unsigned attempt = 0;; ++attempt) {
    journal.run_id_ = run_id_for(owner, attempt);
    journal.name_ = journal.run_id_ + kSuffix;
    const int fd = ::openat(journal.dir_.get(), journal.name_.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
      journal.file_.reset(fd);
      break;
    }
    if (errno != EEXIST || attempt > 1000) raise_errno("Cannot create a journal in " + run_dir_path());
  }
  std::string name = topology;
  std::replace(name.begin(), name.end(), '\n', ' ');
  std::ostringstream head;
  head << kMagic << "\nowner " << owner.pid << " " << owner.start_time << "\ntopology " << name;
  if (!write_line(journal.file_.get(), head.str())) {
    const int error = errno;
    ::unlinkat(journal.dir_.get(), journal.name_.c_str(), 0);
    throw OSError(error,
                  "Cannot write the journal " + run_dir_path() + "/" + journal.name_ + ": " + std::strerror(error));
  }
  return journal;
}

void Journal::record_namespace(const std::string& name) {
  if (!write_line(file_.get(), "namespace " + name)) {
    raise_errno("Cannot write the journal " + run_dir_path() + "/" + name_);
  }
}

void Journal::record_directory(const std::string& path) {
  if (!write_line(file_.get(), "directory " + path)) {
    raise_errno("Cannot write the journal " + run_dir_path() + "/" + name_);
  }
}

void Journal::record_process(const ProcessIdentity& process) {
  if (!write_line(file_.get(), "process " + std::to_string(process.pid) + " " + std::to_string(process.start_time))) {
    raise_errno("Cannot write the journal " + run_dir_path() + "/" + name_);
  }
}

std::string Journal::frr_directory() const { return frr_directory_of(run_id_); }

std::string frr_directory_of(const std::string& run_id) { return run_dir_path() + "/" + run_id + ".frr"; }

void Journal::remove() {
  if (!dir_) return;
  if (::unlinkat(dir_.get(), name_.c_str(), 0) != 0 && errno != ENOENT) {
    raise_errno("Cannot remove the journal " + run_dir_path() + "/" + name_);
  }
  file_.reset();
  dir_.reset();
}

std::vector<JournalRecord> read_journals() {
  std::vector<JournalRecord> records;
  std::optional<UniqueFd> dir;
  try {
    dir = open_run_dir(false);
  } catch (const OSError& e) {
    // A user who may not read the directory, or whose directory it is not,
    // can neither see nor remove what it lists: nothing to report to them.
    // Root is told why it cannot use the directory.
    if (e.error_number() == EACCES || (e.error_number() == EPERM && ::geteuid() != 0)) return records;
    throw;
  }
  if (!dir) return records;
  const int dup = ::dup(dir->get());
  DIR* listing = dup >= 0 ? ::fdopendir(dup) : nullptr;
  if (!listing) {
    if (dup >= 0) ::close(dup);
    raise_errno("Cannot list " + run_dir_path());
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.size() > std::strlen(kSuffix) && name.ends_with(kSuffix)) names.push_back(name);
  }
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    UniqueFd file(::openat(dir->get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(file.get(), buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(n));
    if (std::optional<JournalRecord> record = parse(name, text)) records.push_back(std::move(*record));
  }
  return records;
}

std::optional<UniqueFd> lock_journal(const JournalRecord& record) {
  std::optional<UniqueFd> dir = open_run_dir(false);
  if (!dir) return std::nullopt;
  UniqueFd file(::openat(dir->get(), record.file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file) return std::nullopt;
  if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) return std::nullopt;
  // Still the journal that was read: linked, and naming the same owner.
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 || st.st_nlink == 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(file.get(), buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  const std::optional<JournalRecord> now = parse(record.file, text);
  if (!now || !(now->owner == record.owner)) return std::nullopt;
  return file;
}

void remove_journal(const JournalRecord& record) {
  std::optional<UniqueFd> dir = open_run_dir(false);
  if (!dir) return;
  if (::unlinkat(dir->get(), record.file.c_str(), 0) != 0 && errno != ENOENT) {
    raise_errno("Cannot remove the journal " + run_dir_path() + "/" + record.file);
  }
}

}  // namespace tarvex::morvane::orchestrators::netns
