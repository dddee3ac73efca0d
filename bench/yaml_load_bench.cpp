// Loading and writing the logical testbed of a large bring-up, timed in the
// same run for: the YAML loader, the same loader forced onto its general
// parser (what documents outside plain block YAML cost), the loader telling
// of duplicate keys and control characters, a loader written through
// yaml-cpp's API as the library's loader was before (built here only when
// yaml-cpp is installed), and PyYAML with its C loader in a python3
// subprocess.  Writing is timed for our writer and PyYAML's C dumper.
//
//   yaml_load_bench [--repeats N] [--devices 1000,10000] [--workdir DIR]
//
// The inputs come from bench/gen_topology.py.  Every measurement runs in a
// process of its own (forked, or python3), so that each starts with a
// fresh heap and its peak resident memory is its own; the table shows the
// median time of N runs and the largest peak.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/yaml/yaml_reader.hpp"
#include "tarvex/fd.hpp"
#include "tarvex/utils/yaml.hpp"
#ifdef MORVANE_BENCH_YAML_CPP_BASELINE
#include "yaml_cpp_baseline.hpp"
#endif

namespace yaml = tarvex::utils::yaml;
using tarvex::Value;

namespace {

struct Sample {
  double seconds = 0;
  double peak_mb = 0;
};

// Reads what a child wrote to `pipe` and waits for it; the child's peak
// resident memory comes from wait4.
std::optional<Sample> collect(pid_t pid, tarvex::Pipe& pipe) {
  pipe.write.reset();
  std::string output;
  char buffer[256];
  ssize_t count = 0;
  while ((count = ::read(pipe.read.get(), buffer, sizeof buffer)) > 0) output.append(buffer, count);
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || output.empty()) {
    std::fprintf(stderr, "a measurement failed: %s\n", output.c_str());
    return std::nullopt;
  }
  return Sample{std::strtod(output.c_str(), nullptr), usage.ru_maxrss / 1024.0};
}

// Runs `work` in a forked child and returns the seconds `timed` took there.
std::optional<Sample> in_child(const std::function<void()>& prepare, const std::function<void()>& timed) {
  tarvex::Pipe pipe = tarvex::Pipe::open();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    try {
      prepare();
      const auto start = std::chrono::steady_clock::now();
      timed();
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const std::string text = std::to_string(seconds);
      if (::write(pipe.write.get(), text.data(), text.size()) < 0) ::_exit(1);
      ::_exit(0);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s\n", error.what());
      ::_exit(1);
    }
  }
  return collect(pid, pipe);
}

// Times PyYAML's C loader (and, with `dump_to`, its C dumper) in python3;
// the script prints the seconds of the timed step.
std::optional<Sample> pyyaml(const std::string& path, const std::string& dump_to) {
  static const char* script =
      "import sys, time, yaml\n"
      "with open(sys.argv[1], 'rb') as f:\n"
      "    start = time.perf_counter()\n"
      "    data = yaml.load(f, Loader=yaml.CSafeLoader)\n"
      "    loaded = time.perf_counter()\n"
      "if len(sys.argv) > 2:\n"
      "    with open(sys.argv[2], 'w') as out:\n"
      "        start = time.perf_counter()\n"
      "        yaml.dump(data, out, Dumper=yaml.CSafeDumper, default_flow_style=False)\n"
      "        loaded = time.perf_counter()\n"
      "print(loaded - start)\n";
  tarvex::Pipe pipe = tarvex::Pipe::open();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe.write.get(), 1);
    if (dump_to.empty()) {
      ::execlp("python3", "python3", "-c", script, path.c_str(), nullptr);
    } else {
      ::execlp("python3", "python3", "-c", script, path.c_str(), dump_to.c_str(), nullptr);
    }
    ::_exit(127);
  }
  return collect(pid, pipe);
}

struct Result {
  std::vector<double> seconds;
  double peak_mb = 0;
  double median() const {
    std::vector<double> sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    return sorted.empty() ? 0 : sorted[sorted.size() / 2];
  }
};

std::vector<int> parse_sizes(const std::string& text) {
  std::vector<int> sizes;
  std::stringstream stream(text);
  for (std::string item; std::getline(stream, item, ',');) sizes.push_back(std::stoi(item));
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  int repeats = 5;
  std::vector<int> sizes = {1000, 10000};
  std::string workdir = "/tmp/yaml_load_bench";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--repeats") repeats = std::stoi(argv[i + 1]);
    if (flag == "--devices") sizes = parse_sizes(argv[i + 1]);
    if (flag == "--workdir") workdir = argv[i + 1];
  }

  // Contender name -> how to time one load and one dump of `path`.
  struct Contender {
    std::string name;
    std::function<std::optional<Sample>(const std::string&)> load;
    std::function<std::optional<Sample>(const std::string&, const std::string&)> dump;
  };
  std::vector<Contender> contenders;
  const auto loaded = [](const std::string& path) { return yaml::load_file(path); };
  contenders.push_back({"new loader",
                        [](const std::string& path) { return in_child([] {}, [&] { yaml::load_file(path); }); },
                        [&](const std::string& path, const std::string& out) {
                          Value value;
                          return in_child([&] { value = loaded(path); }, [&] { yaml::dump_file(value, out); });
                        }});
  // What a caller that wants to know of duplicate keys and control
  // characters pays (a testbed has none, so nothing is told).
  contenders.push_back({"new loader, telling of duplicates",
                        [](const std::string& path) {
                          yaml::LoadOptions options;
                          options.on_duplicate = [](const yaml::DuplicateKey&) {};
                          options.on_control_characters = [](const yaml::ControlCharacters&) {};
                          return in_child([] {}, [&] { yaml::load_file(path, options); });
                        },
                        nullptr});
  contenders.push_back({"new loader, general parser only",
                        [](const std::string& path) {
                          return in_child([] {}, [&] { yaml::load_path(path, yaml::LoadLimits{}, false); });
                        },
                        nullptr});
#ifdef MORVANE_BENCH_YAML_CPP_BASELINE
  contenders.push_back(
      {"yaml-cpp loader",
       [](const std::string& path) { return in_child([] {}, [&] { bench::yaml_cpp_baseline::load_file(path); }); },
       nullptr});
#endif
  contenders.push_back({"PyYAML C loader", [](const std::string& path) { return pyyaml(path, ""); },
                        [](const std::string& path, const std::string& out) { return pyyaml(path, out); }});

  std::map<std::pair<std::string, int>, Result> loads;
  std::map<std::pair<std::string, int>, Result> dumps;
  for (const int devices : sizes) {
    const std::string dir = workdir + "/" + std::to_string(devices);
    const std::string generate = "python3 '" MORVANE_SOURCE_DIR "/bench/gen_topology.py' " + std::to_string(devices) +
                                 " '" + dir + "' >/dev/null";
    if (std::system(generate.c_str()) != 0) {
      std::fprintf(stderr, "cannot generate the inputs: %s\n", generate.c_str());
      return 1;
    }
    const std::string path = dir + "/logical.yaml";
    const std::string out = dir + "/written.yaml";
#ifdef MORVANE_BENCH_YAML_CPP_BASELINE
    // The baseline must do the same work: read the same data from the file.
    // Checked in a child, so that this process's heap (which every
    // measurement inherits) stays small.
    const auto same = [&] {
      if (!(bench::yaml_cpp_baseline::load_file(path) == yaml::load_file(path))) {
        throw std::runtime_error("the yaml-cpp loader reads " + path + " differently from ours");
      }
    };
    if (!in_child(same, [] {})) return 1;
#endif
    // Rounds rather than runs in a row, so that a slow spell of the
    // machine falls on every contender alike.
    for (int round = 0; round < repeats; ++round) {
      for (const Contender& contender : contenders) {
        if (const auto sample = contender.load(path)) {
          Result& result = loads[{contender.name, devices}];
          result.seconds.push_back(sample->seconds);
          result.peak_mb = std::max(result.peak_mb, sample->peak_mb);
        }
        if (contender.dump) {
          if (const auto sample = contender.dump(path, out))
            dumps[{contender.name, devices}].seconds.push_back(sample->seconds);
        }
      }
    }
  }

  std::printf("\n%-34s %8s %12s %14s %12s\n", "logical testbed", "devices", "load (s)", "load peak (MB)", "dump (s)");
  for (const int devices : sizes) {
    for (const Contender& contender : contenders) {
      const Result& load = loads[{contender.name, devices}];
      std::printf("%-34s %8d %12.3f %14.1f", contender.name.c_str(), devices, load.median(), load.peak_mb);
      if (contender.dump) {
        std::printf(" %12.3f\n", dumps[{contender.name, devices}].median());
      } else {
        std::printf(" %12s\n", "-");
      }
    }
  }

  const int large = sizes.back();
  const int small = sizes.front();
  const double ours = loads[{"new loader", large}].median();
  std::printf("\nAt %d devices, median times:\n", large);
  const auto ratio = [&](const char* name, double target) {
    const auto found = loads.find({name, large});
    if (found == loads.end() || found->second.seconds.empty()) return;
    const double value = found->second.median() / ours;
    std::printf("  load, %-28s / new loader: %6.1fx (target >= %.0fx: %s)\n", name, value, target,
                value >= target ? "met" : "MISSED");
  };
  ratio("yaml-cpp loader", 5);
  ratio("PyYAML C loader", 3);
  if (small != large) {
    const double growth = ours / loads[{"new loader", small}].median();
    std::printf("  load, new loader, time(%d) / time(%d): %.1f (%.0f would be linear)\n", large, small, growth,
                static_cast<double>(large) / small);
    const double dump_growth = dumps[{"new loader", large}].median() / dumps[{"new loader", small}].median();
    std::printf("  dump, new writer, time(%d) / time(%d): %.1f\n", large, small, dump_growth);
  }
  return 0;
}
