// Cost of the post-launch processing on generated topologies of growing
// size: `_process_tb_config()` followed by the YAML dump of its result, as a
// worker does it once its backend has brought the topology up.
//
// Every device of the logical testbed is logical and carries user content on
// itself and on its interfaces; the backend reports the devices and
// interfaces under names of its own ("act-R17", "eth3", in another order);
// the static testbed overrides keys of every tenth device.  Building the
// inputs stays outside the timed region.
//
// After the runs, the ratio of the 10,000-device time to the 1,000-device
// time is printed per benchmark: about 10 means the work grows linearly with
// the number of devices.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tarvex/log.hpp"
#include "tarvex/morvane/bases/module.hpp"
#include "tarvex/morvane/bases/worker.hpp"
#include "tarvex/utils/yaml.hpp"

namespace {

using tarvex::List;
using tarvex::Map;
using tarvex::Value;
using tarvex::morvane::bases::BringUpBase;
using tarvex::morvane::bases::BringUpWorkerBase;

constexpr int kInterfacesPerDevice = 8;
constexpr int kStaticOverrideEvery = 10;

struct Inputs {
  Value logical = Map{};
  Value backend = Map{};
  Value static_config = Map{};
  Value dev_name_xref = Map{};
  Value logical_devices = List{};
};

std::string logical_name(int device) { return "R" + std::to_string(device); }
std::string actual_name(int device) { return "act-R" + std::to_string(device); }
// Devices 2k and 2k+1 are connected by one link per interface pair.
std::string link_name(int device, int interface) {
  return "L" + std::to_string(device / 2) + "-" + std::to_string(interface);
}
std::string address(int device, int interface) {
  return "10." + std::to_string(device / 256 % 256) + "." + std::to_string(device % 256) + "." +
         std::to_string(interface * 2) + "/31";
}

Inputs generate(int device_count) {
  Inputs in;
  Map logical_devices;
  Map logical_topology;
  Map backend_devices;
  Map backend_topology;
  Map static_devices;
  for (int d = 0; d < device_count; ++d) {
    const std::string logical = logical_name(d);
    const std::string actual = actual_name(d);
    in.logical_devices.as_list().emplace_back(logical);
    in.dev_name_xref.as_map().insert_or_assign(actual, logical);

    logical_devices.insert_or_assign(logical,
                                     Value::map({{"logical", true},
                                                 {"type", "router"},
                                                 {"os", "frr"},
                                                 {"platform", "lab-vm"},
                                                 {"custom", Value::map({{"role", d % 2 ? "edge" : "core"},
                                                                        {"site", "site-" + std::to_string(d % 16)},
                                                                        {"tags", Value::list({"bench", logical})}})}}));
    Map logical_interfaces;
    for (int i = 0; i < kInterfacesPerDevice; ++i) {
      logical_interfaces.insert_or_assign("Gi0/" + std::to_string(i),
                                          Value::map({{"link", link_name(d, i)},
                                                      {"type", "ethernet"},
                                                      {"description", logical + " port " + std::to_string(i)},
                                                      {"ipv4", address(d, i)}}));
    }
    logical_topology.insert_or_assign(logical, Value::map({{"interfaces", Value(std::move(logical_interfaces))}}));

    backend_devices.insert_or_assign(
        actual,
        Value::map({{"type", "router"},
                    {"os", "frr"},
                    {"connections",
                     Value::map({{"cli", Value::map({{"protocol", "ssh"}, {"ip", "192.168.0.1"}, {"port", 22}})}})}}));
    // The backend lists the interfaces in the other order, so that matching
    // has to search.
    Map backend_interfaces;
    for (int i = kInterfacesPerDevice - 1; i >= 0; --i) {
      backend_interfaces.insert_or_assign("eth" + std::to_string(i),
                                          Value::map({{"link", link_name(d, i)}, {"type", "ethernet"}}));
    }
    backend_topology.insert_or_assign(actual, Value::map({{"interfaces", Value(std::move(backend_interfaces))}}));

    if (d % kStaticOverrideEvery == 0) {
      static_devices.insert_or_assign(actual,
                                      Value::map({{"connections", Value::map({{"cli", Value::map({{"port", 2022}})}})},
                                                  {"custom", Value::map({{"role", "static"}})}}));
    }
  }
  in.logical = Value::map({{"testbed", Value::map({{"name", "bench-lab"}})},
                           {"devices", Value(std::move(logical_devices))},
                           {"topology", Value(std::move(logical_topology))}});
  in.backend = Value::map({{"testbed", Value::map({{"name", "bench-run"}})},
                           {"devices", Value(std::move(backend_devices))},
                           {"topology", Value(std::move(backend_topology))}});
  in.static_config = Value::map({{"devices", Value(std::move(static_devices))}});
  return in;
}

// A backend whose post-launch processing the benchmark runs by itself.
class BenchWorker : public BringUpWorkerBase {
 public:
  using BringUpWorkerBase::_logical_device_keys_to_ignore;
  using BringUpWorkerBase::_logical_interface_keys_to_ignore;
  using BringUpWorkerBase::_process_tb_config;
};

// A worker ready for the post-launch processing, as a backend leaves it.
std::unique_ptr<BenchWorker> prepared_worker(const Inputs& in) {
  auto worker = std::make_unique<BenchWorker>();
  worker->_logical_device_keys_to_ignore = tarvex::morvane::bases::LOGICAL_DEVICE_KEYS_TO_IGNORE;
  worker->_logical_interface_keys_to_ignore = tarvex::morvane::bases::LOGICAL_INTERFACE_KEYS_TO_IGNORE;
  BringUpWorkerBase::logical_testbed_config = in.logical;
  BringUpWorkerBase::static_testbed_config = in.static_config;
  BringUpBase::logical_devices = in.logical_devices;
  worker->testbed_config = in.backend;
  worker->dev_name_xref = in.dev_name_xref;
  return worker;
}

template <bool WithDump>
void run(benchmark::State& state) {
  const Inputs inputs = generate(static_cast<int>(state.range(0)));
  std::unique_ptr<BenchWorker> worker;
  std::string text;
  for (auto _ : state) {
    state.PauseTiming();
    worker.reset();
    text.clear();
    worker = prepared_worker(inputs);
    state.ResumeTiming();

    worker->_process_tb_config();
    if constexpr (WithDump) {
      text = tarvex::utils::yaml::dump(worker->testbed_config);
      benchmark::DoNotOptimize(text.data());
    }
    benchmark::ClobberMemory();
  }
  // The last worker is destroyed after the timed loop has ended.
  state.counters["devices/s"] =
      benchmark::Counter(static_cast<double>(state.range(0)), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_ProcessAndDump(benchmark::State& state) { run<true>(state); }
void BM_ProcessOnly(benchmark::State& state) { run<false>(state); }

// One processing and dump in a process forked for it, whose heap has no
// freed memory of earlier runs to reuse: what a worker process pays the one
// time it does this.  Returns the seconds it took, or a negative value if
// the child failed.
double seconds_in_fresh_process(const Inputs& inputs) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    double seconds = -1;
    try {
      auto worker = prepared_worker(inputs);
      const auto start = std::chrono::steady_clock::now();
      worker->_process_tb_config();
      const std::string text = tarvex::utils::yaml::dump(worker->testbed_config);
      benchmark::DoNotOptimize(text.data());
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } catch (...) {
    }
    const bool sent = ::write(pipe_fds[1], &seconds, sizeof seconds) == static_cast<ssize_t>(sizeof seconds);
    ::_exit(sent ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  double seconds = -1;
  if (pid < 0 || ::read(pipe_fds[0], &seconds, sizeof seconds) != static_cast<ssize_t>(sizeof seconds)) seconds = -1;
  ::close(pipe_fds[0]);
  if (pid > 0) ::waitpid(pid, nullptr, 0);
  return seconds;
}

void BM_ProcessAndDumpFreshProcess(benchmark::State& state) {
  const Inputs inputs = generate(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const double seconds = seconds_in_fresh_process(inputs);
    if (seconds < 0) {
      state.SkipWithError("the child process failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
  state.counters["devices/s"] =
      benchmark::Counter(static_cast<double>(state.range(0)), benchmark::Counter::kIsIterationInvariantRate);
}

// Two seconds of timed work per size, so that even the largest size runs
// several iterations and the mean shows the steady state (the first
// iteration of a process also pays for fresh memory; the fresh-process
// benchmark shows that cost alone).
BENCHMARK(BM_ProcessAndDump)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_ProcessOnly)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ProcessAndDumpFreshProcess)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5);

// The console report, followed by the 10,000/1,000 time ratio of each
// benchmark that ran both sizes.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      times_[run.run_name.function_name][run.run_name.args] = run.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [name, by_size] : times_) {
      const auto large = by_size.find("10000");
      const auto small = by_size.find("1000");
      if (large == by_size.end() || small == by_size.end() || small->second <= 0) continue;
      std::printf("%s: time(10000) / time(1000) = %.2f\n", name.c_str(), large->second / small->second);
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // What a worker logs by default; the generated topologies cause no
  // warnings, so nothing is formatted or written.
  tarvex::morvane::bases::logger().set_level(tarvex::log::WARNING);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
