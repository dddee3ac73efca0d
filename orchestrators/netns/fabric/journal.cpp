#include "tarvex/morvane/fabric/journal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <utility>

#include "tarvex/exceptions.hpp"
#include "tarvex/files.hpp"
#include "tarvex/process.hpp"
#include "tarvex/value.hpp"

namespace tarvex::morvane::fabric {

namespace {

constexpr const char* kMagic = "morvane netns journal 2";
constexpr const char* kSuffix = ".journal";
constexpr int kRunIdChars = 5;
// A journal larger than this was not written by a run (a run of 10,000
// devices writes about 2 MB).
constexpr std::size_t kMaxJournalBytes = 64u << 20;

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

std::string id_text(const NamespaceId& id) { return std::to_string(id.first) + " " + std::to_string(id.second); }

// Splits a line into its kind and fields; the last field takes the rest of
// the line.  `fields` is how many fields the kind has (0: as many as there
// are single-spaced words).
JournalEntry split(const std::string& line) {
  JournalEntry entry;
  entry.line = line;
  std::size_t start = 0;
  std::size_t space = line.find(' ');
  entry.kind = line.substr(0, space);
  while (space != std::string::npos) {
    start = space + 1;
    space = line.find(' ', start);
    entry.fields.push_back(line.substr(start, space == std::string::npos ? std::string::npos : space - start));
  }
  return entry;
}

std::optional<JournalRecord> parse(const std::string& file, const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line) || line != kMagic) return std::nullopt;
  JournalRecord record;
  record.file = file;
  record.run_id = file.substr(0, file.size() - std::strlen(kSuffix));
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    if (line.starts_with("owner ")) {
      std::istringstream fields(line.substr(6));
      fields >> record.owner.pid >> record.owner.start_time;
    } else if (line.starts_with("topology ")) {
      record.topology = line.substr(9);
    } else {
      record.entries.push_back(split(line));
    }
  }
  if (record.owner.pid <= 0) return std::nullopt;
  return record;
}

std::string read_all(int fd) {
  std::string text;
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < kMaxJournalBytes;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

std::string head_of(const JournalRecord& record) {
  std::string topology = record.topology;
  std::replace(topology.begin(), topology.end(), '\n', ' ');
  std::string head = kMagic;
  head += "\nowner " + std::to_string(record.owner.pid) + " " + std::to_string(record.owner.start_time);
  head += "\ntopology " + topology + "\n";
  return head;
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

std::optional<ProcessIdentity> ProcessIdentity::of(pid_t pid) {
  const std::optional<process::ProcessStat> stat = process::read_stat(pid);
  if (!stat) return std::nullopt;
  return ProcessIdentity{pid, stat->start_time};
}

bool ProcessIdentity::alive() const {
  // A zombie (killed, not yet reaped by its parent) tears nothing down.
  const std::optional<process::ProcessStat> now = process::read_stat(pid);
  return now && now->start_time == start_time && now->state != 'Z' && now->state != 'X';
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
  JournalRecord head;
  head.owner = owner;
  head.topology = topology;
  const std::string head_text = head_of(head);
  // The journal appears under its name with its owner written already (a
  // file without a name first, then linked), so that a worker killed at
  // that moment leaves no journal that names nobody.  Where the file system
  // cannot make such a file, it is made under its name and written at once.
  UniqueFd unnamed(::openat(journal.dir_.get(), ".", O_TMPFILE | O_WRONLY | O_APPEND | O_CLOEXEC, 0600));
  if (unnamed && !process::write_fully(unnamed.get(), head_text)) {
    raise_errno("Cannot write a journal in " + run_dir_path());
  }
  for (unsigned attempt = 0;; ++attempt) {
    journal.run_id_ = run_id_for(owner, attempt);
    journal.name_ = journal.run_id_ + kSuffix;
    if (unnamed) {
      const std::string path = "/proc/self/fd/" + std::to_string(unnamed.get());
      if (::linkat(AT_FDCWD, path.c_str(), journal.dir_.get(), journal.name_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        journal.file_ = std::move(unnamed);
        return journal;
      }
    } else {
      const int fd = ::openat(journal.dir_.get(), journal.name_.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC, 0600);
      if (fd >= 0) {
        journal.file_.reset(fd);
        break;
      }
    }
    if (errno != EEXIST || attempt > 1000) raise_errno("Cannot create a journal in " + run_dir_path());
  }
  if (!process::write_fully(journal.file_.get(), head_text)) {
    const int error = errno;
    ::unlinkat(journal.dir_.get(), journal.name_.c_str(), 0);
    throw OSError(error,
                  "Cannot write the journal " + run_dir_path() + "/" + journal.name_ + ": " + std::strerror(error));
  }
  return journal;
}

void Journal::write(const std::string& line) {
  if (line.find('\n') != std::string::npos) throw ValueError("A journal entry cannot hold a line break: " + line);
  if (!process::write_fully(file_.get(), line + "\n")) {
    raise_errno("Cannot write the journal " + run_dir_path() + "/" + name_);
  }
}

void Journal::record_claim(const std::string& name, const NamespaceId& placeholder) {
  write("claim " + id_text(placeholder) + " " + name);
}

void Journal::record_namespace(const std::string& name, const NamespaceId& id) {
  write("namespace " + id_text(id) + " " + name);
}

void Journal::record_adopted(const NamespaceId& id, const std::string& path) {
  write("adopted " + id_text(id) + " " + path);
}

void Journal::record_link(const NamespaceId& ns, int ifindex, const std::string& name) {
  write("link " + id_text(ns) + " " + std::to_string(ifindex) + " " + name);
}

void Journal::record_address(const NamespaceId& ns, int ifindex, const std::string& address) {
  write("address " + id_text(ns) + " " + std::to_string(ifindex) + " " + address);
}

void Journal::record_sysctl(const NamespaceId& ns, const std::string& path, const std::string& before) {
  write("sysctl " + id_text(ns) + " " + path + " " + before);
}

void Journal::record_process(const ProcessIdentity& process, uid_t uid, const std::string& program) {
  write("process " + std::to_string(process.pid) + " " + std::to_string(process.start_time) + " " +
        std::to_string(uid) + " " + program);
}

void Journal::record_directory(const std::string& path) { write("directory " + path); }

void Journal::record_directory_made(const std::string& path, const NamespaceId& id) {
  write("directory-made " + id_text(id) + " " + path);
}

void Journal::record(std::string_view kind, const std::vector<std::string>& fields) {
  std::string line(kind);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i + 1 < fields.size() && fields[i].find(' ') != std::string::npos) {
      throw ValueError("Only the last field of a journal entry may hold a space: " + fields[i]);
    }
    line += " " + fields[i];
  }
  write(line);
}

std::string Journal::private_directory(const std::string& suffix) const {
  return run_dir_path() + "/" + run_id_ + "." + suffix;
}

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
    if (std::optional<JournalRecord> record = parse(name, read_all(file.get()))) records.push_back(std::move(*record));
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
  const std::optional<JournalRecord> now = parse(record.file, read_all(file.get()));
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

void rewrite_journal(const JournalRecord& record, const std::vector<JournalEntry>& kept) {
  std::string text = head_of(record);
  for (const JournalEntry& entry : kept) text += entry.line + "\n";
  files::write_file(run_dir_path() + "/" + record.file, text);
}

}  // namespace tarvex::morvane::fabric
