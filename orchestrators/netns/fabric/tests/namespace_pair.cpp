#include "namespace_pair.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netlink/netlink.h>
#include <netlink/socket.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "tarvex/fd.hpp"

namespace tarvex::morvane::fabric::testing {

namespace {

// Runs a shell command; its standard output, or std::runtime_error when it fails.
std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run: " + command);
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = ::pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(command + " failed: " + out);
  return out;
}

std::runtime_error system_error(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// The calling thread inside a named namespace while the object lives.
class InNamespace {
 public:
  explicit InNamespace(const std::string& ns) : home_(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)) {
    const UniqueFd target(::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC));
    if (!home_ || !target) throw system_error("cannot open the namespaces to enter " + ns);
    if (::setns(target.get(), CLONE_NEWNET) != 0) throw system_error("cannot enter " + ns);
  }
  ~InNamespace() {
    if (::setns(home_.get(), CLONE_NEWNET) != 0) std::abort();  // the rest of the run would be elsewhere
  }
  InNamespace(const InNamespace&) = delete;
  InNamespace& operator=(const InNamespace&) = delete;

 private:
  UniqueFd home_;
};

UniqueFd tcp_socket_in(const std::string& ns) {
  InNamespace inside(ns);
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) throw system_error("cannot make a TCP socket in " + ns);
  return fd;
}

}  // namespace

OwnedNamespace::OwnedNamespace(std::string name) : name_(std::move(name)) { run("ip netns add " + name_); }

OwnedNamespace::~OwnedNamespace() {
  try {
    run("ip netns del " + name_);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "cannot remove the test's namespace: " << e.what();
  }
}

std::string NamespacePair::unique_tag() {
  static std::atomic<int> counter{0};
  return "mvq" + std::to_string(::getpid()) + "x" + std::to_string(counter++);
}

NamespacePair::NamespacePair() {
  const std::string& a = a_.name();
  const std::string& b = b_.name();
  run("ip -n " + a + " link add va address 02:00:00:00:00:0a type veth peer name vb netns " + b +
      " address 02:00:00:00:00:0b");
  run("ip -n " + a + " addr add " + kAddressA + "/30 dev va");
  run("ip -n " + b + " addr add " + kAddressB + "/30 dev vb");
  run("ip -n " + a + " link set va up");
  run("ip -n " + b + " link set vb up");
  run("ip -n " + a + " neigh replace " + kAddressB + " lladdr 02:00:00:00:00:0b dev va nud permanent");
  run("ip -n " + b + " neigh replace " + kAddressA + " lladdr 02:00:00:00:00:0a dev vb nud permanent");
}

NetlinkIn::NetlinkIn(const std::string& ns, const std::string& interface) {
  InNamespace inside(ns);
  ifindex_ = static_cast<int>(::if_nametoindex(interface.c_str()));
  if (ifindex_ == 0) throw system_error("no interface " + interface + " in " + ns);
  sock_ = nl_socket_alloc();
  if (!sock_) throw std::runtime_error("cannot allocate a netlink socket");
  if (const int error = nl_connect(sock_, NETLINK_ROUTE); error < 0) {
    nl_socket_free(sock_);
    throw std::runtime_error(std::string("cannot connect an rtnetlink socket in ") + ns + ": " + nl_geterror(error));
  }
}

NetlinkIn::~NetlinkIn() { nl_socket_free(sock_); }

PingSummary ping(const std::string& ns, const std::string& address, int count, const char* interval) {
  // Ping ends with status 1 when replies are missing, which a loss test expects.
  const std::string out = run("ip netns exec " + ns + " ping -q -n -W 1 -c " + std::to_string(count) + " -i " +
                              interval + " " + address + " || true");
  PingSummary summary;
  if (const std::size_t at = out.find(" packets transmitted, "); at != std::string::npos) {
    const std::size_t line = out.rfind('\n', at) + 1;
    std::sscanf(out.c_str() + line, "%d packets transmitted, %d received", &summary.transmitted, &summary.received);
  }
  if (const std::size_t at = out.find("rtt min/avg/max/mdev = "); at != std::string::npos) {
    double min = 0;
    std::sscanf(out.c_str() + at, "rtt min/avg/max/mdev = %lf/%lf", &min, &summary.average_ms);
  }
  return summary;
}

double tcp_goodput(const std::string& from, const std::string& to, const char* to_address, std::size_t bytes) {
  const UniqueFd listener = tcp_socket_in(to);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, to_address, &address.sin_addr);
  socklen_t length = sizeof address;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener.get(), 1) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw system_error("cannot listen at " + std::string(to_address));
  }
  const UniqueFd sender = tcp_socket_in(from);
  const auto start = std::chrono::steady_clock::now();
  if (::connect(sender.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw system_error("cannot connect to " + std::string(to_address));
  }
  const UniqueFd receiver(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!receiver) throw system_error("cannot accept");
  ::fcntl(sender.get(), F_SETFL, O_NONBLOCK);

  std::vector<char> buffer(1 << 16, 'x');
  std::size_t sent = 0;
  std::size_t received = 0;
  const auto deadline = start + std::chrono::seconds(60);
  while (received < bytes) {
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the transfer took over a minute");
    pollfd fds[2] = {{sender.get(), static_cast<short>(sent < bytes ? POLLOUT : 0), 0}, {receiver.get(), POLLIN, 0}};
    if (::poll(fds, 2, 1000) < 0 && errno != EINTR) throw system_error("poll");
    if (fds[0].revents & POLLOUT) {
      const ssize_t n = ::send(sender.get(), buffer.data(), std::min(buffer.size(), bytes - sent), MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN) throw system_error("send");
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = ::recv(receiver.get(), buffer.data(), buffer.size(), 0);
      if (n == 0) throw std::runtime_error("the connection ended early");
      if (n < 0 && errno != EAGAIN) throw system_error("recv");
      if (n > 0) received += static_cast<std::size_t>(n);
    }
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return static_cast<double>(received) * 8 / elapsed.count();
}

}  // namespace tarvex::morvane::fabric::testing
