#include "orchestrators/netns/frr/frr_image_config.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tarvex/exceptions.hpp"
#include "tarvex/fd.hpp"
#include "tarvex/process.hpp"

namespace tarvex::morvane::orchestrators::netns {

namespace {

[[noreturn]] void raise_errno(const std::string& what) {
  const int error = errno;
  throw OSError(error, what + ": " + std::strerror(error));
}

void make_directory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) != 0) raise_errno("Cannot create the FRR directory " + path);
  // The mode exactly, whatever the umask.
  if (::chmod(path.c_str(), mode) != 0) raise_errno("Cannot set the mode of " + path);
}

void write_file(const std::string& path, const std::string& text, const passwd* frr) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) raise_errno("Cannot create " + path);
  if (::fchmod(fd.get(), 0644) != 0) raise_errno("Cannot set the mode of " + path);
  if (frr && ::fchown(fd.get(), frr->pw_uid, frr->pw_gid) != 0) raise_errno("Cannot give " + path + " to frr");
  if (!process::write_fully(fd.get(), text)) raise_errno("Cannot write " + path);
}

}  // namespace

std::string image_socket_directory(const std::string& directory) { return directory + "/run"; }

// The file whose existence lets the image's FRR start, as the container
// sees it and as the host does.
constexpr const char* kReleaseFile = "links-ready";
// How long the image's FRR waits for it at most (a run that never gets
// there is torn down long before).
constexpr int kReleaseWaitSeconds = 120;

void release_image_frr(const std::string& directory) {
  const std::string path = directory + "/etc/" + kReleaseFile;
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) raise_errno("Cannot create " + path);
}

std::vector<std::string> write_image_config(const FrrSetup& setup, const std::string& directory) {
  const passwd* frr = ::getpwnam("frr");
  make_directory(directory, 0755);
  make_directory(directory + "/etc", 0755);
  // The daemons (the image's frr user) make their sockets here.
  make_directory(image_socket_directory(directory), 0777);

  // Sourced by FRR's start before it starts anything: it waits here until
  // the links are wired (release_image_frr).  The container's first
  // process is the shell meanwhile, which, as process 1, would ignore the
  // engine's SIGTERM: it ends on it instead.
  std::string daemons = "trap 'exit 143' TERM INT\nlinks_waited=0\nwhile [ ! -e /etc/frr/" + std::string(kReleaseFile) +
                        " ] && [ $links_waited -lt " + std::to_string(kReleaseWaitSeconds * 20) +
                        " ]; do sleep 0.05 2>/dev/null || sleep 1; links_waited=$((links_waited + 1)); done\n"
                        "trap - TERM INT\n";
  // Each daemon listens on its vty socket only (-P 0: no TCP vty).
  daemons += "zebra=yes\nzebra_options=\"-A 127.0.0.1 -P 0 -s 90000000\"\n";
  for (const std::string& daemon : kFrrDaemons) {
    daemons += daemon + (setup.runs(daemon) ? "=yes\n" : "=no\n");
    if (setup.runs(daemon)) daemons += daemon + "_options=\"-A 127.0.0.1 -P 0\"\n";
  }
  daemons += "vtysh_enable=yes\n";
  // The integrated configuration: zebra's part first, then each daemon's,
  // then the user's text.
  std::string text;
  if (const auto zebra = setup.configs.find("zebra"); zebra != setup.configs.end()) text += zebra->second;
  for (const std::string& daemon : setup.daemons) {
    if (const auto config = setup.configs.find(daemon); config != setup.configs.end()) text += config->second;
  }
  if (setup.raw_config) text += *setup.raw_config + "\n";
  write_file(directory + "/etc/daemons", daemons, frr);
  write_file(directory + "/etc/frr.conf", text, frr);
  write_file(directory + "/etc/vtysh.conf", "service integrated-vtysh-config\n", frr);
  return {directory + "/etc:/etc/frr", image_socket_directory(directory) + ":/var/run/frr"};
}

}  // namespace tarvex::morvane::orchestrators::netns
