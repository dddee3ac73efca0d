// Network namespaces as the fabric builds in them.
//
// A namespace is either owned by the run, created under a name the way `ip
// netns` keeps them (a file /run/netns/NAME bind-mounted on the namespace,
// so that `ip netns exec NAME ...` reaches it) and removed with everything
// in it, or adopted: made by someone else (a container's /proc/PID/ns/net,
// a namespace a test made) and handed to the run, which then removes only
// what it made there.  Either way the run holds it by a descriptor and
// knows it by its identity (the device and inode of its nsfs file), so
// that a name or path that comes to mean another namespace is never acted
// on.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarvex/fd.hpp"

namespace tarvex::morvane::fabric {

class Journal;

inline constexpr const char* kNetnsRunDir = "/run/netns";

std::string namespace_path(const std::string& name);

// Whether `name` can name a namespace under /run/netns: one path component
// ([A-Za-z0-9_.-], at most 255 bytes, not "." nor "..").
bool valid_namespace_name(std::string_view name);

// The privileges the fabric needs that the process lacks
// ("CAP_NET_ADMIN", "CAP_SYS_ADMIN"); empty when it has them all.
std::vector<std::string> missing_privileges();

// Makes /run/netns exist and a shared mount point, as `ip netns add` does,
// so that unmounting a namespace there reaches the copies other mount
// namespaces hold.
void prepare_netns_run_dir();

// A file's identity: its device and inode.
using NamespaceId = std::pair<dev_t, ino_t>;

// The identity of what `fd` or `path` refers to.
std::optional<NamespaceId> identity_of(int fd);
// The identity of the network namespace mounted at `path` (a file under
// /run/netns), or nothing when no namespace is mounted there.
std::optional<NamespaceId> mounted_namespace_id(const std::string& path);
// The initial network namespace (pid 1's) and the calling thread's.
std::optional<NamespaceId> initial_namespace_id();
// A descriptor of the calling thread's network namespace.
UniqueFd current_namespace();

// A network namespace the fabric builds in, held by a descriptor.
class NamespaceHandle {
 public:
  NamespaceHandle() = default;
  NamespaceHandle(NamespaceHandle&&) = default;
  NamespaceHandle& operator=(NamespaceHandle&&) = default;

  // A namespace made elsewhere: `path` is how other processes reach it
  // (/proc/PID/ns/net, /run/netns/NAME), `label` names it in messages
  // ("container lab-x1y2z-r1").  The descriptor given (or opened from the
  // path) must refer to a network namespace; OSError otherwise.
  static NamespaceHandle adopt(UniqueFd fd, std::string path, std::string label);
  static NamespaceHandle adopt(const std::string& path, std::string label);

  // Claims the name, journals the claim, creates the namespace, journals
  // its identity and mounts it on the name: the steps are ordered so that a
  // journal read after a crash at any point names exactly what exists.
  // `home` is the calling thread's namespace, to which it returns.
  static NamespaceHandle create_owned(const std::string& name, Journal& journal, int home);

  explicit operator bool() const { return static_cast<bool>(fd_); }
  bool owned() const { return owned_; }
  int fd() const { return fd_.get(); }
  const NamespaceId& id() const { return id_; }
  // /run/netns/NAME for an owned one, the path given for an adopted one.
  const std::string& path() const { return path_; }
  // The name under /run/netns of an owned one; empty for an adopted one.
  const std::string& name() const { return name_; }
  // "network namespace NAME", or the label given when it was adopted.
  const std::string& label() const { return label_; }
  // Lets go of the descriptor (the namespace itself is not touched).
  void close() { fd_.reset(); }

 private:
  UniqueFd fd_;
  NamespaceId id_{};
  std::string path_;
  std::string name_;
  std::string label_;
  bool owned_ = false;
};

// The calling thread in another network namespace for the lifetime of the
// object (sockets made meanwhile belong to that namespace).
class NamespaceEntry {
 public:
  NamespaceEntry(int target, int home);
  ~NamespaceEntry();
  NamespaceEntry(const NamespaceEntry&) = delete;
  NamespaceEntry& operator=(const NamespaceEntry&) = delete;

 private:
  int home_;
};

// A process found inside one of the namespaces.
struct NamespaceProcess {
  pid_t pid = 0;
  std::string command;
  NamespaceId ns;
};

// The processes whose network namespace is one of `namespaces`, except this
// process and its ancestors, and never pid 1.
std::vector<NamespaceProcess> processes_in(const std::set<NamespaceId>& namespaces);

// Ends every process inside the namespaces: SIGTERM, up to `grace` for them
// to end, then SIGKILL; repeated while new ones appear.  Returns those that
// were ended, as "PID (COMMAND)".
std::vector<std::string> end_processes_in(const std::set<NamespaceId>& namespaces, std::chrono::milliseconds grace);

// Unmounts (never following a link) and removes /run/netns/NAME, as `ip
// netns del` does; false when nothing had that name.  The kernel frees the
// namespace, with every interface in it, once nothing else holds it.
bool delete_named_namespace(const std::string& name);

}  // namespace tarvex::morvane::fabric
