// What the netns backend costs against the physical limit and against the
// best a script does (root only).
//
// A ring and a star of N devices (200 by default) are built and torn down
// three ways, one after the other, in the same run:
//   backend  the netns worker's own launch and teardown coroutines (plan and
//            checks, journal, namespaces, veth pairs created in their
//            namespaces, addresses, routes, the testbed configuration and its
//            post-launch processing; the teardown's look for processes left
//            inside, and the journal);
//   raw      the same kernel objects through hand-written rtnetlink messages,
//            every message of a namespace in one send and its
//            acknowledgements read back together: the physical limit;
//   ip       `ip -batch` for the namespaces and veth pairs, then one
//            `ip -n NS -batch` per namespace for its addresses and routes;
//            `ip -batch` of `netns del` for the teardown.
// Each way runs `-reps` times (3 by default), in turns, and the median is
// shown; the kernel is given time to finish its asynchronous clean-up
// between runs.
//
// With `-bringup`, the real `bringup` tool builds the same topology too (the
// "Built N device(s) in X ms" of its worker) and the time from its start to
// its hold prompt is shown; `-no-ip` leaves `ip -batch` out (it takes a
// minute at 4,000 devices).
//
//   sudo ./build/bench/netns_bench [-devices N] [-reps R] [-bringup] [-no-ip]
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tarvex/event_loop.hpp"
#include "tarvex/log.hpp"
#include "tarvex/morvane/cli.hpp"
#include "tarvex/morvane/orchestrators/netns.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using tarvex::morvane::orchestrators::netns::NetnsWorker;

// ---- the topologies

struct End {
  std::size_t device;
  std::string interface;  // eth1, eth2, ... in the device's order
  std::string address;    // with prefix length
};

struct Topology {
  std::string name;
  std::vector<std::string> devices;
  std::vector<std::pair<End, End>> links;  // the first end's device comes first
  std::vector<std::pair<std::size_t, std::string>> gateways;
};

std::string p2p_address(int link, int side) {
  return "10." + std::to_string(link / 64) + "." + std::to_string((link % 64) * 4) + "." + std::to_string(side) + "/30";
}

Topology ring(int n) {
  Topology t{"ring", {}, {}, {}};
  for (int i = 0; i < n; ++i) t.devices.push_back("d" + std::to_string(i));
  // Device i: eth1 towards i-1, eth2 towards i+1; link i joins i and i+1.
  for (int i = 0; i + 1 < n; ++i) {
    t.links.push_back({{std::size_t(i), "eth2", p2p_address(i, 1)}, {std::size_t(i + 1), "eth1", p2p_address(i, 2)}});
  }
  t.links.push_back({{0, "eth1", p2p_address(n - 1, 2)}, {std::size_t(n - 1), "eth2", p2p_address(n - 1, 1)}});
  return t;
}

Topology star(int n) {
  Topology t{"star", {"hub"}, {}, {}};
  for (int j = 1; j < n; ++j) {
    t.devices.push_back("h" + std::to_string(j));
    t.links.push_back({{0, "eth" + std::to_string(j), p2p_address(j, 1)}, {std::size_t(j), "eth1", p2p_address(j, 2)}});
    const std::string hub = p2p_address(j, 1);
    t.gateways.push_back({std::size_t(j), hub.substr(0, hub.find('/'))});
  }
  return t;
}

// The logical testbed a user would write for it.
std::string logical_yaml(const Topology& t, const std::string& tag) {
  std::vector<std::vector<std::string>> interfaces(t.devices.size());
  for (std::size_t l = 0; l < t.links.size(); ++l) {
    for (const End* end : {&t.links[l].first, &t.links[l].second}) {
      const int index = std::stoi(end->interface.substr(3)) - 1;
      auto& list = interfaces[end->device];
      if (list.size() <= std::size_t(index)) list.resize(index + 1);
      list[index] = "      " + end->interface + ": {link: l" + std::to_string(l) +
                    ", type: ethernet, ipv4: " + end->address + "}\n";
    }
  }
  std::string yaml = "testbed: {name: " + tag + "}\ndevices:\n";
  for (std::size_t d = 0; d < t.devices.size(); ++d) {
    yaml += "  " + t.devices[d] + ": {type: linux, logical: true";
    for (const auto& [device, via] : t.gateways) {
      if (device == d) yaml += ", gateway: " + via;
    }
    yaml += "}\n";
  }
  yaml += "topology:\n";
  for (std::size_t d = 0; d < t.devices.size(); ++d) {
    yaml += "  " + t.devices[d] + ":\n    interfaces:\n";
    for (const std::string& line : interfaces[d]) yaml += line;
  }
  return yaml;
}

std::string ns_name(const std::string& tag, const std::string& device) { return tag + "-" + device; }

// ---- raw rtnetlink

class RawNetlink {
 public:
  RawNetlink() : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
    if (fd_ < 0) throw std::runtime_error("netlink socket");
    const int size = 1 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  ~RawNetlink() { ::close(fd_); }

  void begin(std::uint16_t type, std::uint16_t flags, const void* header, std::size_t size) {
    start_ = buffer_.size();
    nlmsghdr h{};
    h.nlmsg_type = type;
    h.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
    h.nlmsg_seq = ++seq_;
    append(&h, sizeof h);
    append(header, size);
  }
  void attr(std::uint16_t type, const void* data, std::size_t size) {
    nlattr a{static_cast<std::uint16_t>(NLA_HDRLEN + size), type};
    append(&a, sizeof a);
    append(data, size);
  }
  // Bytes inside the current attribute (a nested header).
  void raw(const void* data, std::size_t size) { append(data, size); }
  void attr_str(std::uint16_t type, const std::string& s) { attr(type, s.c_str(), s.size() + 1); }
  void attr_u32(std::uint16_t type, std::uint32_t v) { attr(type, &v, sizeof v); }
  std::size_t nest(std::uint16_t type) {
    const std::size_t at = buffer_.size();
    attr(type, nullptr, 0);
    return at;
  }
  void end_nest(std::size_t at) {
    reinterpret_cast<nlattr*>(buffer_.data() + at)->nla_len = static_cast<std::uint16_t>(buffer_.size() - at);
  }
  void end() {
    reinterpret_cast<nlmsghdr*>(buffer_.data() + start_)->nlmsg_len =
        static_cast<std::uint32_t>(buffer_.size() - start_);
    // The acknowledgements of a batch must fit the socket's receive
    // buffer (a hub of thousands of ports sends thousands of messages).
    if (++pending_ >= kBatch) flush();
  }
  static constexpr int kBatch = 256;
  // Sends every message built so far and reads their acknowledgements.
  void flush() {
    if (pending_ == 0) return;
    if (::send(fd_, buffer_.data(), buffer_.size(), 0) != static_cast<ssize_t>(buffer_.size())) {
      throw std::runtime_error("netlink send");
    }
    buffer_.clear();
    std::vector<char> in(1 << 16);
    while (pending_ > 0) {
      ssize_t n = ::recv(fd_, in.data(), in.size(), 0);
      if (n <= 0) throw std::runtime_error("netlink recv");
      for (auto* h = reinterpret_cast<nlmsghdr*>(in.data()); NLMSG_OK(h, n); h = NLMSG_NEXT(h, n)) {
        if (h->nlmsg_type != NLMSG_ERROR) continue;
        const int error = reinterpret_cast<nlmsgerr*>(NLMSG_DATA(h))->error;
        --pending_;
        if (error != 0) throw std::runtime_error(std::string("netlink: ") + std::strerror(-error));
      }
    }
  }

 private:
  void append(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    buffer_.insert(buffer_.end(), bytes, bytes + size);
    buffer_.resize((buffer_.size() + 3) & ~std::size_t(3), 0);
  }

  int fd_;
  std::uint32_t seq_ = 0;
  std::vector<char> buffer_;
  std::size_t start_ = 0;
  int pending_ = 0;
};

int interface_index(const std::string& name) { return 1000 + std::stoi(name.substr(3)); }

void link_up(RawNetlink& nl, int ifindex) {
  ifinfomsg info{};
  info.ifi_index = ifindex;
  info.ifi_flags = IFF_UP;
  info.ifi_change = IFF_UP;
  nl.begin(RTM_NEWLINK, 0, &info, sizeof info);
  nl.end();
}

// A veth pair: `local` up in the socket's namespace, `peer` created in the
// namespace `peer_ns`.
void add_veth(RawNetlink& nl, const End& local, const End& peer, int peer_ns) {
  ifinfomsg info{};
  info.ifi_index = interface_index(local.interface);
  info.ifi_flags = IFF_UP;
  info.ifi_change = IFF_UP;
  nl.begin(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL, &info, sizeof info);
  nl.attr_str(IFLA_IFNAME, local.interface);
  const std::size_t link_info = nl.nest(IFLA_LINKINFO);
  nl.attr_str(IFLA_INFO_KIND, "veth");
  const std::size_t data = nl.nest(IFLA_INFO_DATA);
  const std::size_t peer_info = nl.nest(VETH_INFO_PEER);
  ifinfomsg peer_header{};
  peer_header.ifi_index = interface_index(peer.interface);
  nl.raw(&peer_header, sizeof peer_header);
  nl.attr_str(IFLA_IFNAME, peer.interface);
  nl.attr_u32(IFLA_NET_NS_FD, static_cast<std::uint32_t>(peer_ns));
  nl.end_nest(peer_info);
  nl.end_nest(data);
  nl.end_nest(link_info);
  nl.end();
}

void add_address(RawNetlink& nl, int ifindex, const std::string& text) {
  const std::size_t slash = text.find('/');
  in_addr address{};
  ::inet_pton(AF_INET, text.substr(0, slash).c_str(), &address);
  ifaddrmsg header{};
  header.ifa_family = AF_INET;
  header.ifa_prefixlen = static_cast<unsigned char>(std::stoi(text.substr(slash + 1)));
  header.ifa_index = static_cast<unsigned>(ifindex);
  nl.begin(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL, &header, sizeof header);
  nl.attr(IFA_LOCAL, &address, sizeof address);
  nl.attr(IFA_ADDRESS, &address, sizeof address);
  nl.end();
}

void add_default_route(RawNetlink& nl, const std::string& via) {
  in_addr gateway{};
  ::inet_pton(AF_INET, via.c_str(), &gateway);
  rtmsg header{};
  header.rtm_family = AF_INET;
  header.rtm_table = RT_TABLE_MAIN;
  header.rtm_protocol = RTPROT_STATIC;
  header.rtm_scope = RT_SCOPE_UNIVERSE;
  header.rtm_type = RTN_UNICAST;
  nl.begin(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, &header, sizeof header);
  nl.attr(RTA_GATEWAY, &gateway, sizeof gateway);
  nl.end();
}

// ---- namespaces, as the backend and `ip netns` keep them

class Namespaces {
 public:
  Namespaces() : home_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {}
  ~Namespaces() {
    for (int fd : fds_) ::close(fd);
    ::close(home_);
  }
  int create(const std::string& name) {
    const std::string path = "/run/netns/" + name;
    const int file = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL, 0);
    if (file < 0) throw std::runtime_error("cannot claim " + path);
    ::close(file);
    if (::unshare(CLONE_NEWNET) != 0 ||
        ::mount("/proc/thread-self/ns/net", path.c_str(), "none", MS_BIND, nullptr) != 0) {
      throw std::runtime_error("cannot create " + name);
    }
    fds_.push_back(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
    ::setns(home_, CLONE_NEWNET);
    return fds_.back();
  }
  // A socket made inside `ns`.
  std::unique_ptr<RawNetlink> socket_in(int ns) {
    ::setns(ns, CLONE_NEWNET);
    auto nl = std::make_unique<RawNetlink>();
    ::setns(home_, CLONE_NEWNET);
    return nl;
  }
  void close_all() {
    for (int fd : fds_) ::close(fd);
    fds_.clear();
  }

 private:
  int home_;
  std::vector<int> fds_;
};

void delete_namespace(const std::string& name) {
  const std::string path = "/run/netns/" + name;
  ::umount2(path.c_str(), MNT_DETACH);
  ::unlink(path.c_str());
}

// ---- the three ways

struct Times {
  double build_ms = 0;
  double teardown_ms = 0;
};

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

Times run_raw(const Topology& t, const std::string& tag) {
  Times times;
  auto start = Clock::now();
  {
    Namespaces spaces;
    std::vector<int> ns;
    for (const std::string& device : t.devices) ns.push_back(spaces.create(ns_name(tag, device)));
    for (std::size_t d = 0; d < t.devices.size(); ++d) {
      auto nl = spaces.socket_in(ns[d]);
      link_up(*nl, 1);
      for (const auto& [a, b] : t.links) {
        if (a.device == d) add_veth(*nl, a, b, ns[b.device]);
        if (b.device == d) link_up(*nl, interface_index(b.interface));
      }
      for (const auto& [a, b] : t.links) {
        for (const End* end : {&a, &b}) {
          if (end->device == d) add_address(*nl, interface_index(end->interface), end->address);
        }
      }
      nl->flush();
    }
    for (const auto& [device, via] : t.gateways) {
      auto nl = spaces.socket_in(ns[device]);
      add_default_route(*nl, via);
      nl->flush();
    }
  }
  times.build_ms = ms_since(start);
  start = Clock::now();
  for (const std::string& device : t.devices) delete_namespace(ns_name(tag, device));
  times.teardown_ms = ms_since(start);
  return times;
}

int shell(const std::string& command) { return std::system(command.c_str()); }

Times run_ip(const Topology& t, const std::string& tag, const std::filesystem::path& dir) {
  // The scripts are written before the clock starts, as a script would be.
  {
    std::ofstream global(dir / "global.batch");
    for (const std::string& device : t.devices) global << "netns add " << ns_name(tag, device) << "\n";
    for (const auto& [a, b] : t.links) {
      global << "link add " << a.interface << " netns " << ns_name(tag, t.devices[a.device]) << " type veth peer name "
             << b.interface << " netns " << ns_name(tag, t.devices[b.device]) << "\n";
    }
    for (std::size_t d = 0; d < t.devices.size(); ++d) {
      std::ofstream local(dir / (t.devices[d] + ".batch"));
      local << "link set lo up\n";
      for (const auto& [a, b] : t.links) {
        for (const End* end : {&a, &b}) {
          if (end->device != d) continue;
          local << "link set " << end->interface << " up\n";
          local << "addr add " << end->address << " dev " << end->interface << "\n";
        }
      }
      for (const auto& [device, via] : t.gateways) {
        if (device == d) local << "route add default via " << via << "\n";
      }
    }
    std::ofstream teardown(dir / "teardown.batch");
    for (const std::string& device : t.devices) teardown << "netns del " << ns_name(tag, device) << "\n";
  }
  Times times;
  auto start = Clock::now();
  if (shell("ip -batch " + (dir / "global.batch").string()) != 0) throw std::runtime_error("ip -batch failed");
  for (const std::string& device : t.devices) {
    if (shell("ip -n " + ns_name(tag, device) + " -batch " + (dir / (device + ".batch")).string()) != 0) {
      throw std::runtime_error("ip -n -batch failed");
    }
  }
  times.build_ms = ms_since(start);
  start = Clock::now();
  if (shell("ip -batch " + (dir / "teardown.batch").string()) != 0) throw std::runtime_error("ip netns del failed");
  times.teardown_ms = ms_since(start);
  return times;
}

Times run_backend(const Topology& t, const std::string& tag, const std::filesystem::path& dir) {
  const std::string file = (dir / (tag + ".yaml")).string();
  std::ofstream(file) << logical_yaml(t, tag);
  auto worker = tarvex::create<NetnsWorker>(
      {}, {{"logical_testbed_file", file}, {"topology_name", tag}, {"bringup_log_level", "warning"}});
  auto loop = tarvex::event_loop::get_event_loop();
  Times times;
  auto start = Clock::now();
  loop->run_until_complete(loop->create_task(worker->_launch_topology()));
  times.build_ms = ms_since(start);
  start = Clock::now();
  loop->run_until_complete(loop->create_task(worker->_tear_down_topology()));
  times.teardown_ms = ms_since(start);
  return times;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

// The bringup tool beside this bench (build/bin/bringup for build/bench/).
std::string bringup_tool(const char* self) {
  return (std::filesystem::absolute(self).parent_path().parent_path() / "bin" / "bringup").string();
}

// The real tool on the topology: its build time as its worker reports it,
// and the time from its start to its hold prompt (then Control-C).
Times run_tool(const std::string& tool, const Topology& t, const std::string& tag, const std::filesystem::path& dir,
               double& to_hold_ms) {
  const std::string file = (dir / (tag + ".yaml")).string();
  std::ofstream(file) << logical_yaml(t, tag);
  const std::string err = (dir / (tag + ".err")).string();
  int out[2];
  if (::pipe(out) != 0) throw std::runtime_error("pipe");
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::dup2(out[1], 1);
    ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    ::execl(tool.c_str(), tool.c_str(), "-orchestrator", "netns", "-logical_testbed_file", file.c_str(), "-interactive",
            "-log_dir", (dir / "logs").c_str(), "-netns_ready_timeout", "300", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string seen;
  char buffer[4096];
  for (ssize_t n;
       seen.find("Press Control-C") == std::string::npos && (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    seen.append(buffer, static_cast<std::size_t>(n));
  }
  to_hold_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  ::kill(pid, SIGINT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(out[0]);
  std::ifstream in(err);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t at = text.find("Built " + std::to_string(t.devices.size()) + " device(s) in ");
  if (at == std::string::npos) throw std::runtime_error("bringup did not build the topology:\n" + text);
  Times times;
  times.build_ms = std::stod(text.substr(text.find(" in ", at) + 4));
  return times;
}

int main(int argc, char** argv) {
  int devices = 200;
  int reps = 3;
  bool with_tool = false, with_ip = true;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "-devices" && i + 1 < argc) devices = std::atoi(argv[++i]);
    if (option == "-reps" && i + 1 < argc) reps = std::atoi(argv[++i]);
    if (option == "-bringup") with_tool = true;
    if (option == "-no-ip") with_ip = false;
  }
  const std::string tool = bringup_tool(argv[0]);
  if (::geteuid() != 0) {
    std::fprintf(stderr, "netns_bench needs root (it creates network namespaces)\n");
    return 77;
  }
  tarvex::morvane::utils::set_command_line(1, argv);
  tarvex::log::getLogger("tarvex.morvane").set_level(tarvex::log::WARNING);
  std::filesystem::create_directories("/run/netns");
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("netns-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);

  std::printf("%d devices, median of %d runs; times in ms (per device in parentheses)\n\n", devices, reps);
  std::printf("%-6s %-9s %22s %22s %22s %22s\n", "", "", "backend", "raw netlink", "ip -batch", "bringup tool");
  // A pause long enough for the kernel to free a run's namespaces in the
  // background (it takes longer the more there were).
  const auto pause = std::chrono::milliseconds(2000 + devices * 5);
  for (const Topology& topology : {ring(devices), star(devices)}) {
    std::vector<double> build[4], teardown[4], to_hold;
    for (int r = 0; r < reps; ++r) {
      // Each repetition starts with another way, so that none always follows
      // the same one (the kernel still freeing the previous run's devices).
      for (int turn = 0; turn < 4; ++turn) {
        const int way = (turn + r) % 4;
        if ((way == 2 && !with_ip) || (way == 3 && !with_tool)) continue;
        const std::string tag = "nb" + std::to_string(::getpid() % 1000) + topology.name.substr(0, 1) +
                                std::to_string(r) + std::to_string(way);
        double hold_ms = 0;
        const Times times = way == 0   ? run_backend(topology, tag, dir)
                            : way == 1 ? run_raw(topology, tag)
                            : way == 2 ? run_ip(topology, tag, dir)
                                       : run_tool(tool, topology, tag, dir, hold_ms);
        build[way].push_back(times.build_ms);
        teardown[way].push_back(times.teardown_ms);
        if (way == 3) to_hold.push_back(hold_ms);
        // The kernel frees the namespaces' devices in the background.
        std::this_thread::sleep_for(pause);
      }
    }
    for (const char* phase : {"build", "teardown"}) {
      std::printf("%-6s %-9s", topology.name.c_str(), phase);
      for (int way = 0; way < 4; ++way) {
        const std::vector<double>& times = std::string(phase) == "build" ? build[way] : teardown[way];
        if (times.empty() || (way == 3 && std::string(phase) == "teardown")) {
          std::printf(" %22s", "-");
          continue;
        }
        const double ms = median(times);
        std::printf(" %12.1f (%6.3f)", ms, ms / devices);
      }
      std::printf("\n");
    }
    if (!to_hold.empty()) {
      std::printf("%-6s bringup from its start to its hold prompt: %.1f ms (build / raw netlink: %.2f)\n",
                  topology.name.c_str(), median(to_hold), median(build[3]) / median(build[1]));
    }
  }
  std::filesystem::remove_all(dir);
  return 0;
}
