// What bringing up routers that run FRRouting costs (root only, frr
// installed).
//
// A ring of N routers (20 by default), each with a loopback, OSPF on every
// link and the lab profile of fast timers, is brought up two ways, in
// turns, in the same run:
//   backend  the netns worker's launch with the routers' `frr` sections,
//            from the start of the launch until the topology is ready (the
//            readiness wait included: every OSPF neighbour Full, every
//            neighbour answering pings); the memory of each router's
//            daemons is read once it is ready;
//   by hand  the same ring built by the backend without `frr` sections,
//            then zebra and ospfd started with `ip netns exec ... -d` and
//            the same configuration files, zebra first and ospfd once
//            zserv.api exists, and every router's ospfd asked until every
//            neighbour is Full: timed from the first daemon's start.
// Each way runs `-reps` times (3 by default) and the median is shown.
//
//   sudo ./build/bench/frr_bench [-routers N] [-reps R]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cleaners/frr/vty_client.hpp"
#include "tarvex/log.hpp"
#include "tarvex/morvane/cli.hpp"
#include "tarvex/morvane/orchestrators/netns.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using tarvex::morvane::orchestrators::netns::NetnsWorker;
namespace fs = std::filesystem;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string link_address(int link, int side) {
  return "10." + std::to_string(1 + link / 256) + "." + std::to_string(link % 256) + "." + std::to_string(side) + "/30";
}

// The ring; with `frr`, every router runs OSPF on its links and loopback.
std::string ring_yaml(int n, const std::string& tag, bool frr) {
  std::string devices, topology;
  const std::string ospf = frr ? ", ospf: {area: 0}" : "";
  for (int i = 0; i < n; ++i) {
    const std::string name = "r" + std::to_string(i);
    devices += "  " + name + ": {type: router, logical: true" +
               (frr ? ", frr: {ospf: {router_id: 10.255.0." + std::to_string(i + 1) + "}}" : "") + "}\n";
    // eth1 towards the previous router (link i-1), eth2 towards the next
    // (link i).
    const int previous = (i + n - 1) % n;
    topology += "  " + name + ":\n    interfaces:\n";
    topology +=
        "      west: {link: l" + std::to_string(previous) + ", ipv4: " + link_address(previous, 2) + ospf + "}\n";
    topology += "      east: {link: l" + std::to_string(i) + ", ipv4: " + link_address(i, 1) + ospf + "}\n";
    topology += "      lo0: {type: loopback, ipv4: 10.255.0." + std::to_string(i + 1) + "/32" + ospf + "}\n";
  }
  return "testbed: {name: " + tag + "}\ndevices:\n" + devices + "topology:\n" + topology;
}

// Resident and proportional memory of a process, in kB.
std::pair<long, long> memory_of(pid_t pid) {
  long rss = 0, pss = 0;
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Rss:", 0) == 0) rss = std::atol(line.c_str() + 4);
    if (line.rfind("Pss:", 0) == 0) pss = std::atol(line.c_str() + 4);
  }
  return {rss, pss};
}

struct Result {
  double ready_ms = 0;
  double rss_mb_per_router = 0;
  double pss_mb_per_router = 0;
};

std::unique_ptr<NetnsWorker> make_worker(const std::string& yaml, const std::string& tag, const fs::path& dir) {
  const std::string file = (dir / (tag + ".yaml")).string();
  std::ofstream(file) << yaml;
  return tarvex::create<NetnsWorker>({}, {{"logical_testbed_file", file},
                                          {"topology_name", tag},
                                          {"bringup_log_level", "warning"},
                                          {"netns_ready_timeout", 30}});
}

Result run_backend(int n, const std::string& tag, const fs::path& dir) {
  auto worker = make_worker(ring_yaml(n, tag, true), tag, dir);
  Result result;
  const auto start = Clock::now();
  worker->launch_topology();
  result.ready_ms = ms_since(start);
  long rss = 0, pss = 0;
  for (const auto& [name, device] : worker->testbed_config.at("devices").as_map()) {
    const std::string directory = device.at("frr").get("directory").str();
    for (const char* daemon : {"zebra", "ospfd"}) {
      std::ifstream pid_file(directory + "/" + daemon + ".pid");
      pid_t pid = 0;
      pid_file >> pid;
      const auto [r, p] = memory_of(pid);
      rss += r;
      pss += p;
    }
  }
  result.rss_mb_per_router = rss / 1024.0 / n;
  result.pss_mb_per_router = pss / 1024.0 / n;
  worker->tear_down_topology();
  return result;
}

int shell(const std::string& command) { return std::system(command.c_str()); }

// The rendered configuration of a backend run's routers, reused by hand.
std::vector<std::string> collect_configs(int n, const std::string& tag, const fs::path& dir) {
  auto worker = make_worker(ring_yaml(n, tag + "c", true), tag + "c", dir);
  worker->launch_topology();
  std::vector<std::string> configs;
  for (const auto& [name, device] : worker->testbed_config.at("devices").as_map()) {
    std::ifstream in(device.at("frr").get("directory").str() + "/ospfd.conf");
    configs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  worker->tear_down_topology();
  return configs;
}

Result run_by_hand(int n, const std::string& tag, const fs::path& dir, const std::vector<std::string>& configs) {
  auto worker = make_worker(ring_yaml(n, tag, false), tag, dir);
  worker->launch_topology();
  std::vector<std::string> namespaces, directories;
  for (const auto& [name, device] : worker->testbed_config.at("devices").as_map()) {
    namespaces.push_back(name.str());
    const fs::path d = dir / name.str();
    fs::create_directories(d);
    std::ofstream(d / "zebra.conf") << "";
    std::ofstream(d / "ospfd.conf") << configs[namespaces.size() - 1];
    shell("chown -R frr:frr " + d.string());
    directories.push_back(d.string());
  }
  auto daemon = [&](std::size_t i, const char* name) {
    const std::string& d = directories[i];
    return "ip netns exec " + namespaces[i] + " /usr/lib/frr/" + name + " -d -f " + d + "/" + name + ".conf -i " + d +
           "/" + name + ".pid -z " + d + "/zserv.api --vty_socket " + d + " -P 0 >/dev/null 2>&1";
  };
  Result result;
  const auto start = Clock::now();
  for (std::size_t i = 0; i < namespaces.size(); ++i) {
    if (shell(daemon(i, "zebra")) != 0) throw std::runtime_error("zebra did not start");
    while (!fs::exists(directories[i] + "/zserv.api")) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (shell(daemon(i, "ospfd")) != 0) throw std::runtime_error("ospfd did not start");
  }
  // Every router has two neighbours on its ring.
  for (std::size_t i = 0; i < namespaces.size();) {
    std::size_t full = 0;
    try {
      tarvex::morvane::cleaners::frr::VtyClient client(directories[i] + "/ospfd.vty");
      const std::string out = client.run("show ip ospf neighbor json", Clock::now() + std::chrono::seconds(5));
      for (std::size_t at = 0; (at = out.find("\"nbrState\":\"Full", at)) != std::string::npos; ++at) ++full;
    } catch (const std::exception&) {
    }
    if (full == 2) {
      ++i;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (ms_since(start) > 60000) throw std::runtime_error("the ring did not converge by hand in 60 s");
  }
  result.ready_ms = ms_since(start);
  for (const std::string& d : directories) {
    for (const char* name : {"ospfd", "zebra"}) {
      std::ifstream pid_file(d + "/" + name + ".pid");
      pid_t pid = 0;
      if (pid_file >> pid && pid > 0) ::kill(pid, SIGTERM);
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  worker->tear_down_topology();
  for (const std::string& d : directories) fs::remove_all(d);
  return result;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int routers = 20;
  int reps = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "-routers") routers = std::atoi(argv[i + 1]);
    if (option == "-reps") reps = std::atoi(argv[i + 1]);
  }
  if (::geteuid() != 0) {
    std::fprintf(stderr, "frr_bench needs root (it creates network namespaces and starts FRR)\n");
    return 77;
  }
  tarvex::morvane::utils::set_command_line(1, argv);
  tarvex::log::getLogger("tarvex.morvane").set_level(tarvex::log::WARNING);
  const fs::path dir = fs::temp_directory_path() / ("frr-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  // The readiness wait's logs and the daemons' go there too.
  tarvex::log::managed_handlers().tasklog.log_dir = dir.string();
  // The daemons started by hand share FRR's own files: what they leave
  // there is removed if it was not there before.
  const bool gr_state_before = fs::exists("/run/frr/ospfd-gr.json");
  const bool var_tmp_before = fs::exists("/var/tmp/frr");

  const std::string tag = "fb" + std::to_string(::getpid() % 1000);
  const std::vector<std::string> configs = collect_configs(routers, tag, dir);
  std::vector<double> backend, by_hand, rss, pss;
  for (int r = 0; r < reps; ++r) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool hand = (turn + r) % 2 == 1;
      const std::string run_tag = tag + (hand ? "h" : "b") + std::to_string(r);
      if (hand) {
        by_hand.push_back(run_by_hand(routers, run_tag, dir, configs).ready_ms);
      } else {
        const Result result = run_backend(routers, run_tag, dir);
        backend.push_back(result.ready_ms);
        rss.push_back(result.rss_mb_per_router);
        pss.push_back(result.pss_mb_per_router);
      }
      std::this_thread::sleep_for(std::chrono::seconds(2));
    }
  }
  if (!gr_state_before) fs::remove("/run/frr/ospfd-gr.json");
  if (!var_tmp_before) fs::remove_all("/var/tmp/frr");
  fs::remove_all(dir);

  std::printf("ring of %d OSPF routers (lab timers), median of %d runs\n", routers, reps);
  std::printf("  backend, launch to ready (all Full, neighbours pinged): %7.0f ms\n", median(backend));
  std::printf("  by hand, first daemon start to all Full:                %7.0f ms\n", median(by_hand));
  std::printf("  memory per router (zebra + ospfd): RSS %.1f MB, PSS %.1f MB\n", median(rss), median(pss));
  std::printf("  all runs: backend");
  for (double v : backend) std::printf(" %.0f", v);
  std::printf(" ms; by hand");
  for (double v : by_hand) std::printf(" %.0f", v);
  std::printf(" ms\n");
  return 0;
}
