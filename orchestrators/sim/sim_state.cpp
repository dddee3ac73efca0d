#include "sim_state.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tarvex/exceptions.hpp"
#include "tarvex/fd.hpp"
#include "tarvex/files.hpp"
#include "tarvex/process.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::morvane::orchestrators::sim {

namespace {

constexpr const char* kJournal = "journal";

// What a journal says: the run's process and the files it wrote.
struct Journal {
  pid_t owner = 0;
  std::uint64_t started = 0;
  std::vector<std::string> files;

  bool owner_alive() const { return process::start_time(owner) == started; }
};

std::optional<Journal> read_journal(const std::string& dir) {
  std::ifstream in(dir + "/" + kJournal);
  Journal journal;
  std::string word;
  if (!(in >> word) || word != "owner" || !(in >> journal.owner >> journal.started)) return std::nullopt;
  while (in >> word) {
    std::string name;
    if (word != "file" || !(in >> name)) return std::nullopt;
    // A journal names files of its own directory only.
    if (name.find('/') != std::string::npos || name == "." || name == "..") return std::nullopt;
    journal.files.push_back(name);
  }
  return journal;
}

void append_line(const std::string& dir, const std::string& line) {
  UniqueFd fd = files::open_private_for_append(dir + "/" + kJournal);
  const std::string text = line + "\n";
  if (!process::write_fully(fd.get(), text)) raise_os_error(errno, dir + "/" + kJournal);
}

// Removes the listed regular files, the journal and the directory; the
// names of what could not be removed.
std::string remove_listed(const std::string& dir, const std::vector<std::string>& names) {
  std::string failures;
  for (const std::string& name : names) {
    const std::string file = dir + "/" + name;
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0) continue;
    if (!S_ISREG(info.st_mode) || ::unlink(file.c_str()) != 0) failures += " " + file;
  }
  if (::unlink((dir + "/" + kJournal).c_str()) != 0 && errno != ENOENT) failures += " " + dir + "/" + kJournal;
  if (::rmdir(dir.c_str()) != 0 && errno != ENOENT) failures += " " + dir;
  return failures;
}

template <class Visit>
void for_each_dead_run(const std::string& root, std::optional<pid_t> owner, Visit visit) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
    if (!entry.is_directory(ec) || entry.is_symlink(ec)) continue;
    const std::string dir = entry.path().string();
    const std::optional<Journal> journal = read_journal(dir);
    if (!journal || journal->owner_alive() || (owner && journal->owner != *owner)) continue;
    visit(dir, entry.path().filename().string(), *journal);
  }
}

}  // namespace

void StateDir::create(const std::string& root, const std::string& name) {
  files::ensure_private_directory(root);
  const std::string dir = root + "/" + name;
  if (::mkdir(dir.c_str(), 0700) != 0) {
    const int error = errno;
    throw OSError(error, "Could not create the state directory of the simulated devices " + py_repr(dir) + ": " +
                             std::strerror(error) +
                             (error == EEXIST ? " (another run of a topology of the same name?)" : ""));
  }
  dir_ = dir;
  const pid_t self = ::getpid();
  append_line(dir_, "owner " + std::to_string(self) + " " + std::to_string(process::start_time(self).value_or(0)));
}

std::string StateDir::write(const std::string& file_name, const Value& content) {
  append_line(dir_, "file " + file_name);
  files_.push_back(file_name);
  const std::string path = dir_ + "/" + file_name;
  tarvex::utils::yaml::dump_file(content, path);
  return path;
}

void StateDir::remove() {
  if (dir_.empty()) return;
  const std::string failures = remove_listed(dir_, files_);
  dir_.clear();
  files_.clear();
  if (!failures.empty()) throw OSError(EPERM, "Could not remove the simulated devices:" + failures);
}

std::vector<leftovers::Leftover> find_dead_runs(const std::string& root, std::optional<pid_t> owner) {
  std::vector<leftovers::Leftover> found;
  for_each_dead_run(root, owner, [&](const std::string& dir, const std::string& topology, const Journal& journal) {
    found.push_back(
        {"sim", topology, journal.owner, std::to_string(journal.files.size()) + " simulated device file(s) in " + dir});
  });
  return found;
}

std::vector<std::string> remove_dead_runs(const std::string& root, std::optional<pid_t> owner) {
  std::vector<std::string> removed;
  std::string failures;
  for_each_dead_run(root, owner, [&](const std::string& dir, const std::string& topology, const Journal& journal) {
    const std::string failed = remove_listed(dir, journal.files);
    if (failed.empty()) {
      removed.push_back("sim: the simulated devices of topology " + topology + " (" + dir + ")");
    } else {
      failures += failed;
    }
  });
  if (!failures.empty()) throw OSError(EPERM, "Could not remove the simulated devices of dead runs:" + failures);
  return removed;
}

}  // namespace tarvex::morvane::orchestrators::sim
