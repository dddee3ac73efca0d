// Named network namespaces, kept the way `ip netns` keeps them: a file
// /run/netns/NAME bind-mounted on the namespace, so that `ip netns exec
// NAME ...` and setns() reach it.  Creation, entry, the processes inside,
// and removal, all in-process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tarvex/fd.hpp"

namespace tarvex::morvane::orchestrators::netns {

inline constexpr const char* kNetnsRunDir = "/run/netns";

std::string namespace_path(const std::string& name);

// The privileges the backend needs that the process lacks
// ("CAP_NET_ADMIN", "CAP_SYS_ADMIN"); empty when it has them all.
std::vector<std::string> missing_privileges();

// Makes /run/netns exist and a shared mount point, as `ip netns add` does,
// so that unmounting a namespace there reaches the copies other mount
// namespaces hold.
void prepare_netns_run_dir();

// Claims the name: creates the empty file /run/netns/NAME, failing with
// OSError(EEXIST) when anything has that name already.
void claim_namespace_name(const std::string& name);

// Creates a network namespace and mounts it on its claimed name; returns a
// descriptor of it.  The calling thread stays in its own namespace.
UniqueFd create_named_namespace(const std::string& name, int home_namespace);

// A descriptor of the calling thread's network namespace.
UniqueFd current_namespace();

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

// A namespace's identity: the device and inode of its nsfs file.
using NamespaceId = std::pair<dev_t, ino_t>;

// The identity of the namespace mounted at /run/netns/NAME, or nothing
// when no namespace is mounted there.
std::optional<NamespaceId> named_namespace_id(const std::string& name);

// A process found inside one of the namespaces.
struct NamespaceProcess {
  pid_t pid = 0;
  std::string command;
  NamespaceId ns;
};

// The processes (other than this one) whose network namespace is one of
// `namespaces`.
std::vector<NamespaceProcess> processes_in(const std::set<NamespaceId>& namespaces);

// Ends every process inside the namespaces: SIGTERM, up to `grace` for them
// to end, then SIGKILL; repeated while new ones appear.  Returns those that
// were ended, as "PID (COMMAND)".
std::vector<std::string> end_processes_in(const std::set<NamespaceId>& namespaces, std::chrono::milliseconds grace);

// Unmounts and removes /run/netns/NAME, as `ip netns del` does; false when
// nothing had that name.  The kernel frees the namespace, with every
// interface in it, once nothing else holds it.
bool delete_named_namespace(const std::string& name);

}  // namespace tarvex::morvane::orchestrators::netns
