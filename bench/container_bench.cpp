// What devices from images cost (root, a container engine with the test
// images: scripts/build-test-images -- podman ...).
//
// A ring of N busybox containers (20 and 50 by default), each linked to the
// next, is brought up two ways in the same run:
//   backend  the netns worker's launch, from its start until every device is
//            ready (containers created and started at once, their
//            namespaces wired over rtnetlink, every neighbour answering),
//            then its teardown;
//   by hand  the containers created and started one by one through the
//            engine's API, wired with `ip` (a veth pair per link into the
//            containers' namespaces, addresses, links up), each link pinged
//            once, then removed one by one through the API.
// Also shown: the worker's memory per container, and the memory of each
// container's processes (their proportional set size).
//
//   sudo DOCKER_HOST=unix:///PATH.sock ./build/bench/container_bench [-containers 20,50] [-reps R]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tarvex/engine/engine.hpp"
#include "tarvex/engine/engine_socket.hpp"
#include "tarvex/event_loop.hpp"
#include "tarvex/log.hpp"
#include "tarvex/morvane/cli.hpp"
#include "tarvex/morvane/orchestrators/netns.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using tarvex::morvane::orchestrators::netns::NetnsWorker;

constexpr const char* kImage = "localhost/morvane-busybox:test";

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

std::string address(int link, int side) {
  return "10." + std::to_string(link / 64) + "." + std::to_string((link % 64) * 4) + "." + std::to_string(side);
}

std::string ring_yaml(int n, const std::string& tag) {
  std::string yaml = "testbed: {name: " + tag + "}\ndevices:\n";
  for (int i = 0; i < n; ++i) {
    yaml += "  c" + std::to_string(i) + ": {type: host, logical: true, image: " + kImage + ", pull: never}\n";
  }
  yaml += "topology:\n";
  for (int i = 0; i < n; ++i) {
    const int previous = (i + n - 1) % n;
    yaml += "  c" + std::to_string(i) + ":\n    interfaces:\n";
    yaml += "      e0: {link: l" + std::to_string(i) + ", ipv4: " + address(i, 1) + "/30}\n";
    yaml += "      e1: {link: l" + std::to_string(previous) + ", ipv4: " + address(previous, 2) + "/30}\n";
  }
  return yaml;
}

long kib_of(const std::string& file, const std::string& key) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  }
  return 0;
}

int shell(const std::string& command) { return std::system(command.c_str()); }

struct Times {
  double up_ms = 0;
  double down_ms = 0;
};

Times run_backend(int n, const std::string& tag, const std::filesystem::path& dir, double& worker_kib,
                  double& container_pss_kib) {
  const std::string file = (dir / (tag + ".yaml")).string();
  std::ofstream(file) << ring_yaml(n, tag);
  const long before = kib_of("/proc/self/status", "VmRSS:");
  auto worker = tarvex::create<NetnsWorker>(
      {}, {{"logical_testbed_file", file}, {"topology_name", tag}, {"bringup_log_level", "warning"}});
  Times times;
  auto start = Clock::now();
  worker->launch_topology();  // the readiness wait included
  times.up_ms = ms_since(start);
  worker_kib = static_cast<double>(kib_of("/proc/self/status", "VmRSS:") - before) / n;
  // Each container's processes: its first one (the PID the testbed's netns
  // path names) and what runs inside.
  long pss = 0;
  for (const auto& [actual, device] : worker->testbed_config.at("devices").as_map()) {
    const std::string path = device.at("connections").at("netns").get("path").str();
    const std::string pid = path.substr(6, path.find('/', 6) - 6);
    pss += kib_of("/proc/" + pid + "/smaps_rollup", "Pss:");
  }
  container_pss_kib = static_cast<double>(pss) / n;
  start = Clock::now();
  worker->tear_down_topology();
  times.down_ms = ms_since(start);
  return times;
}

Times run_by_hand(tarvex::engine::Engine& engine, int n, const std::string& tag) {
  Times times;
  auto start = Clock::now();
  std::vector<std::string> ids;
  std::vector<int> pids;
  for (int i = 0; i < n; ++i) {
    tarvex::engine::ContainerConfig config;
    config.name = tag + "-c" + std::to_string(i);
    config.image = kImage;
    config.cap_add = {"NET_ADMIN", "NET_RAW"};
    ids.push_back(engine.create(config));
    engine.start(ids.back());
    pids.push_back(engine.inspect(ids.back()).pid);
  }
  for (int i = 0; i < n; ++i) {
    const int next = (i + 1) % n;
    const std::string a = std::to_string(pids[i]), b = std::to_string(pids[next]);
    shell("ip link add e0 netns " + a + " type veth peer name e1 netns " + b);
    shell("nsenter -t " + a + " -n ip addr add " + address(i, 1) + "/30 dev e0");
    shell("nsenter -t " + b + " -n ip addr add " + address(i, 2) + "/30 dev e1");
  }
  for (int i = 0; i < n; ++i) {
    shell("nsenter -t " + std::to_string(pids[i]) +
          " -n sh -c 'ip link set lo up; ip link set e0 up; ip link set e1 up'");
  }
  for (int i = 0; i < n; ++i) {
    shell("nsenter -t " + std::to_string(pids[i]) + " -n ping -c 1 -W 5 -q " + address(i, 2) + " >/dev/null");
  }
  times.up_ms = ms_since(start);
  start = Clock::now();
  for (const std::string& id : ids) engine.remove(id);
  times.down_ms = ms_since(start);
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes{20, 50};
  int reps = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "-reps") reps = std::atoi(argv[i + 1]);
    if (option == "-containers") {
      sizes.clear();
      std::stringstream list(argv[i + 1]);
      for (std::string item; std::getline(list, item, ',');) sizes.push_back(std::stoi(item));
    }
  }
  if (::geteuid() != 0) {
    std::fprintf(stderr, "container_bench needs root\n");
    return 77;
  }
  tarvex::morvane::utils::set_command_line(1, argv);
  tarvex::log::getLogger("tarvex.morvane").set_level(tarvex::log::WARNING);
  tarvex::engine::Engine engine(tarvex::engine::engine_socket());
  if (!engine.ping()) {
    std::fprintf(stderr, "no container engine answers at %s (set DOCKER_HOST)\n", engine.socket_path().c_str());
    return 1;
  }
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("container-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::printf("%s engine, median of %d runs; times in ms (per container in parentheses)\n\n",
              tarvex::engine::engine_kind_name(engine.version().kind), reps);
  std::printf("%-10s %-9s %20s %20s %8s\n", "", "", "backend", "by hand", "ratio");
  for (const int n : sizes) {
    std::vector<double> up[2], down[2], worker_kib, pss_kib;
    for (int r = 0; r < reps; ++r) {
      for (int turn = 0; turn < 2; ++turn) {
        const int way = (turn + r) % 2;
        const std::string tag =
            "cb" + std::to_string(::getpid() % 1000) + "x" + std::to_string(r) + std::to_string(way);
        Times times;
        if (way == 0) {
          double kib = 0, pss = 0;
          times = run_backend(n, tag, dir, kib, pss);
          worker_kib.push_back(kib);
          pss_kib.push_back(pss);
        } else {
          times = run_by_hand(engine, n, tag);
        }
        up[way].push_back(times.up_ms);
        down[way].push_back(times.down_ms);
        ::sleep(2);
      }
    }
    const std::string ring = "ring " + std::to_string(n);
    for (const auto& [phase, values] : {std::pair{"up", up}, std::pair{"teardown", down}}) {
      const double backend = median(values[0]), hand = median(values[1]);
      std::printf("%-10s %-9s %12.0f (%5.1f) %12.0f (%5.1f) %8.2f\n", ring.c_str(), phase, backend, backend / n, hand,
                  hand / n, backend / hand);
    }
    std::printf("%-10s memory: the worker %.0f KiB per container; each container's processes %.0f KiB (PSS)\n",
                ring.c_str(), median(worker_kib), median(pss_kib));
  }
  std::filesystem::remove_all(dir);
  return 0;
}
