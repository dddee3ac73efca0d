#include "tarvex/morvane/fabric/namespaces.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/magic.h>
#include <linux/nsfs.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tarvex/exceptions.hpp"
#include "tarvex/morvane/fabric/journal.hpp"
#include "tarvex/process.hpp"
#include "tarvex/value.hpp"

namespace tarvex::morvane::fabric {

namespace {

constexpr const char* kThreadNamespace = "/proc/thread-self/ns/net";

[[noreturn]] void raise_errno(const std::string& what) {
  const int error = errno;
  throw OSError(error, what + ": " + std::strerror(error));
}

std::optional<NamespaceId> namespace_of_process(pid_t pid) {
  struct stat st {};
  if (::stat(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), &st) != 0) return std::nullopt;
  return NamespaceId{st.st_dev, st.st_ino};
}

std::string command_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string command;
  std::getline(in, command);
  return command;
}

bool is_network_namespace(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0 || fs.f_type != NSFS_MAGIC) return false;
  // Other kinds of namespace live on nsfs too.
  return ::ioctl(fd, NS_GET_NSTYPE) == CLONE_NEWNET;
}

// This process and its ancestors: never signalled, whatever namespace
// they are in.
std::set<pid_t> own_lineage() {
  std::set<pid_t> lineage;
  for (pid_t pid = ::getpid(); pid > 0 && lineage.insert(pid).second;) {
    const std::optional<process::ProcessStat> stat = process::read_stat(pid);
    if (!stat) break;
    pid = stat->parent;
  }
  return lineage;
}

// A process about to be ended, held by a pidfd so that a reused pid is
// never signalled.
struct Target {
  NamespaceProcess process;
  UniqueFd pidfd;
  bool ended = false;
};

// Waits until every target has ended or `timeout` has passed.
void wait_for_ends(std::vector<Target>& targets, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<Target*> waiting;
    for (Target& target : targets) {
      if (target.ended) continue;
      fds.push_back({target.pidfd.get(), POLLIN, 0});
      waiting.push_back(&target);
    }
    if (fds.empty()) return;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents) waiting[i]->ended = true;
    }
  }
}

}  // namespace

std::string namespace_path(const std::string& name) { return std::string(kNetnsRunDir) + "/" + name; }

bool valid_namespace_name(std::string_view name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (const char c : name) {
    const bool allowed =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

std::vector<std::string> missing_privileges() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return {"CAP_NET_ADMIN", "CAP_SYS_ADMIN"};
  auto has = [&](int cap) { return (data[cap / 32].effective & (1u << (cap % 32))) != 0; };
  std::vector<std::string> missing;
  if (!has(CAP_NET_ADMIN)) missing.push_back("CAP_NET_ADMIN");
  if (!has(CAP_SYS_ADMIN)) missing.push_back("CAP_SYS_ADMIN");
  return missing;
}

void prepare_netns_run_dir() {
  const std::string dir = kNetnsRunDir;
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) raise_errno("Cannot create " + dir);
  // Shared propagation; when /run/netns is no mount point yet, it is first
  // bind-mounted on itself to become one.
  bool bound = false;
  while (::mount("", dir.c_str(), "none", MS_SHARED | MS_REC, nullptr) != 0) {
    if (errno != EINVAL || bound) raise_errno("Cannot make " + dir + " a shared mount");
    if (::mount(dir.c_str(), dir.c_str(), "none", MS_BIND | MS_REC, nullptr) != 0) {
      raise_errno("Cannot bind-mount " + dir + " on itself");
    }
    bound = true;
  }
}

std::optional<NamespaceId> identity_of(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return NamespaceId{st.st_dev, st.st_ino};
}

std::optional<NamespaceId> mounted_namespace_id(const std::string& path) {
  struct statfs fs {};
  struct stat st {};
  if (::statfs(path.c_str(), &fs) != 0 || fs.f_type != NSFS_MAGIC || ::stat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  return NamespaceId{st.st_dev, st.st_ino};
}

std::optional<NamespaceId> initial_namespace_id() { return namespace_of_process(1); }

UniqueFd current_namespace() {
  UniqueFd fd(::open(kThreadNamespace, O_RDONLY | O_CLOEXEC));
  if (!fd) raise_errno("Cannot open this thread's network namespace");
  return fd;
}

NamespaceHandle NamespaceHandle::adopt(UniqueFd fd, std::string path, std::string label) {
  if (!fd || !is_network_namespace(fd.get())) {
    throw OSError(EINVAL, "Cannot adopt " + label + ": " + path + " is not a network namespace");
  }
  NamespaceHandle handle;
  handle.id_ = *identity_of(fd.get());
  handle.fd_ = std::move(fd);
  handle.path_ = std::move(path);
  handle.label_ = std::move(label);
  return handle;
}

NamespaceHandle NamespaceHandle::adopt(const std::string& path, std::string label) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    const int error = errno;
    throw OSError(error, "Cannot adopt " + label + ": cannot open " + path + ": " + std::strerror(error));
  }
  return adopt(std::move(fd), path, std::move(label));
}

NamespaceHandle NamespaceHandle::create_owned(const std::string& name, Journal& journal, int home) {
  if (!valid_namespace_name(name)) throw ValueError("Not a network namespace name: " + py_repr(name));
  NamespaceHandle handle;
  handle.owned_ = true;
  handle.name_ = name;
  handle.path_ = namespace_path(name);
  handle.label_ = "network namespace " + name;

  // The claim: an empty file made exclusively, so that a name in use by
  // anything else stops the build.
  UniqueFd placeholder(::open(handle.path_.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0));
  if (!placeholder) {
    const int error = errno;
    throw OSError(error, "Cannot create the network namespace " + name + ": " + handle.path_ +
                             (error == EEXIST ? " exists already (it is not this run's; it is left alone)"
                                              : std::string(": ") + std::strerror(error)));
  }
  try {
    journal.record_claim(name, *identity_of(placeholder.get()));
  } catch (...) {
    // Not journaled, so removed at once: it is ours, just claimed.
    ::unlink(handle.path_.c_str());
    throw;
  }
  placeholder.reset();

  if (::unshare(CLONE_NEWNET) != 0) raise_errno("Cannot create the network namespace " + name);
  std::exception_ptr failure;
  try {
    handle.fd_ = current_namespace();
    handle.id_ = *identity_of(handle.fd_.get());
    journal.record_namespace(name, handle.id_);
    if (::mount(kThreadNamespace, handle.path_.c_str(), "none", MS_BIND, nullptr) != 0) {
      raise_errno("Cannot mount the network namespace " + name + " on " + handle.path_);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (::setns(home, CLONE_NEWNET) != 0) {
    // Staying in the new namespace would put every later object in the
    // wrong place: nothing sound can go on.
    std::perror("morvane: cannot return to the original network namespace");
    std::abort();
  }
  if (failure) std::rethrow_exception(failure);
  return handle;
}

NamespaceEntry::NamespaceEntry(int target, int home) : home_(home) {
  if (::setns(target, CLONE_NEWNET) != 0) raise_errno("Cannot enter a network namespace");
}

NamespaceEntry::~NamespaceEntry() {
  if (::setns(home_, CLONE_NEWNET) != 0) {
    std::perror("morvane: cannot return to the original network namespace");
    std::abort();
  }
}

std::vector<NamespaceProcess> processes_in(const std::set<NamespaceId>& namespaces) {
  std::vector<NamespaceProcess> found;
  if (namespaces.empty()) return found;
  const std::set<pid_t> lineage = own_lineage();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(name));
    if (pid <= 1 || lineage.count(pid)) continue;
    const std::optional<NamespaceId> id = namespace_of_process(pid);
    if (id && namespaces.count(*id)) found.push_back({pid, command_of(pid), *id});
  }
  return found;
}

std::vector<std::string> end_processes_in(const std::set<NamespaceId>& namespaces, std::chrono::milliseconds grace) {
  std::vector<std::string> ended;
  // A process may start others while it is being ended: look again until
  // none is left (a bounded number of times).
  for (int round = 0; round < 5; ++round) {
    std::vector<Target> targets;
    for (NamespaceProcess& process : processes_in(namespaces)) {
      UniqueFd pidfd = process::open_pidfd(process.pid);
      if (!pidfd) continue;  // already gone
      // The pid may have been reused between the scan and the pidfd.
      const std::optional<NamespaceId> id = namespace_of_process(process.pid);
      if (!id || !namespaces.count(*id)) continue;
      targets.push_back({std::move(process), std::move(pidfd), false});
    }
    if (targets.empty()) break;
    for (Target& target : targets) {
      if (!process::signal_pidfd(target.pidfd.get(), SIGTERM)) target.ended = true;
    }
    wait_for_ends(targets, grace);
    for (Target& target : targets) {
      if (!target.ended && !process::signal_pidfd(target.pidfd.get(), SIGKILL)) target.ended = true;
    }
    wait_for_ends(targets, std::chrono::seconds(2));
    for (const Target& target : targets) {
      ended.push_back(std::to_string(target.process.pid) + " (" + target.process.command + ")");
    }
  }
  return ended;
}

bool delete_named_namespace(const std::string& name) {
  if (!valid_namespace_name(name)) throw ValueError("Not a network namespace name: " + py_repr(name));
  const std::string path = namespace_path(name);
  // Not mounted (EINVAL) is fine: a name claimed but never mounted.
  if (::umount2(path.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0 && errno != EINVAL && errno != ENOENT) {
    raise_errno("Cannot unmount the network namespace " + name + " from " + path);
  }
  if (::unlink(path.c_str()) != 0) {
    if (errno == ENOENT) return false;
    raise_errno("Cannot remove " + path);
  }
  return true;
}

}  // namespace tarvex::morvane::fabric
