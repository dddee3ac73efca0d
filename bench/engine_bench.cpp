// Creating, starting and removing 20 busybox containers through the engine
// client, one by one against the batch calls, on a private podman service
// and a private dockerd (the tests' harness; root, run by hand):
//
//   build/bench/engine_bench [ROUNDS] [podman|docker]
//
// Prints the median of the rounds for each engine and way.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/engines/engine_harness.hpp"
#include "tarvex/engine/engine.hpp"
#include "tarvex/exceptions.hpp"

using tarvex::engine::ContainerConfig;
using tarvex::engine::Engine;
using tarvex::testing::engines::EngineKind;
using tarvex::testing::engines::PrivateEngine;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kContainers = 20;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::vector<ContainerConfig> configs(int round, const char* way) {
  std::vector<ContainerConfig> result;
  for (int i = 0; i < kContainers; ++i) {
    ContainerConfig config;
    config.name = "bench-" + std::to_string(::getpid()) + "-" + way + std::to_string(round) + "-" + std::to_string(i);
    config.image = tarvex::testing::engines::kBusyboxImage;
    result.push_back(config);
  }
  return result;
}

void require_ok(const std::vector<tarvex::engine::ItemResult>& results) {
  for (const auto& result : results) {
    if (!result.ok()) throw tarvex::RuntimeError(*result.error);
  }
}

void measure(EngineKind kind, int rounds) {
  PrivateEngine harness(kind, "");
  harness.import_image("busybox");
  Engine engine(harness.socket_path());
  std::vector<double> one_by_one, batch, remove_one_by_one, remove_batch;
  for (int round = 0; round < rounds; ++round) {
    std::vector<std::string> ids;
    auto start = Clock::now();
    for (const auto& config : configs(round, "s")) {
      ids.push_back(engine.create(config));
      engine.start(ids.back());
    }
    one_by_one.push_back(seconds_since(start));
    start = Clock::now();
    for (const auto& id : ids) engine.remove(id);
    remove_one_by_one.push_back(seconds_since(start));

    ids.clear();
    start = Clock::now();
    const auto created = engine.create_all(configs(round, "b"));
    require_ok(created);
    for (const auto& result : created) ids.push_back(result.id);
    require_ok(engine.start_all(ids));
    batch.push_back(seconds_since(start));
    start = Clock::now();
    require_ok(engine.remove_all(ids));
    remove_batch.push_back(seconds_since(start));
  }
  std::printf("%-7s create+start %d: one by one %.2f s, batch %.2f s; remove %d: one by one %.2f s, batch %.2f s\n",
              tarvex::testing::engines::kind_name(kind), kContainers, median(one_by_one), median(batch), kContainers,
              median(remove_one_by_one), median(remove_batch));
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::string only = argc > 2 ? argv[2] : "";
  if (::geteuid() != 0) {
    std::fprintf(stderr, "engine_bench needs root to run container engines\n");
    return 2;
  }
  try {
    for (EngineKind kind : {EngineKind::podman, EngineKind::docker}) {
      if (!only.empty() && only != tarvex::testing::engines::kind_name(kind)) continue;
      measure(kind, rounds);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "engine_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
