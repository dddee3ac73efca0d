#include <algorithm>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "sim_state.hpp"
#include "tarvex/files.hpp"
#include "tarvex/morvane/bases/options.hpp"
#include "tarvex/morvane/bringup_loggers.hpp"
#include "tarvex/morvane/cleaners/sim.hpp"
#include "tarvex/morvane/leftovers.hpp"
#include "tarvex/morvane/orchestrators/sim.hpp"
#include "tarvex/morvane/schema.hpp"
#include "tarvex/registry.hpp"

namespace tarvex::morvane::orchestrators::sim {

namespace {

std::chrono::nanoseconds seconds(double value) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(value));
}

// A wait on the worker's event loop, which a signal cancels.
asio::awaitable<void> wait_for(double delay) {
  asio::steady_timer timer(co_await asio::this_coro::executor, seconds(delay));
  co_await timer.async_wait(asio::use_awaitable);
}

const char* const kSteps[] = {"launch", "readiness", "teardown"};

}  // namespace

SimWorker::SimWorker() : state_(std::make_unique<StateDir>()) {}

SimWorker::~SimWorker() = default;

log::Logger& sim_logger() {
  static log::Logger& logger = log::getLogger("tarvex.morvane.orchestrators.sim");
  return logger;
}

MORVANE_BRINGUP_LOGGER("tarvex.morvane.orchestrators.sim");

const bases::WorkerOptions& SimWorker::options() {
  static const bases::WorkerOptions table = [] {
    bases::WorkerOptions t("Options of the sim orchestrator (simulated devices):");
    t.add("sim_plan", &SimWorker::sim_plan,
          {.help = "Replay a backend from a plan file (testbed_config, dev_name_xref and optional faults) instead "
                   "of simulating the logical devices.",
           .metavar = "FILE"});
    const auto delay = [&](const char* name, double SimWorker::*member, const char* help) {
      t.add(name, member, {.help = help, .metavar = "SECONDS", .check = bases::non_negative});
    };
    delay("sim_launch_delay", &SimWorker::sim_launch_delay, "Seconds the launch takes (waited interruptibly).");
    delay("sim_construction_delay", &SimWorker::sim_construction_delay,
          "Seconds the construction of the worker takes.");
    delay("sim_ready_delay", &SimWorker::sim_ready_delay,
          "Seconds each simulated device takes to get ready after the launch.");
    delay("sim_teardown_delay", &SimWorker::sim_teardown_delay, "Seconds the teardown takes.");
    t.add("sim_fail", &SimWorker::sim_fail,
          {.help = "Make a step fail, to try how a failure is handled.",
           .metavar = "STEP",
           .choices = {std::begin(kSteps), std::end(kSteps)}});
    return t;
  }();
  return table;
}

const ClassInfo& SimWorker::class_info() {
  static ClassInfo& info = []() -> ClassInfo& {
    static ClassInfo c("tarvex.morvane.orchestrators.sim.SimWorker", &BringUpWorkerBase::class_info(),
                       factory_of<SimWorker>());
    options().add_fields(c);
    return c;
  }();
  return info;
}

TARVEX_REGISTER_CLASS(worker_classes(), SimWorker, "sim");
// What simulated devices stand for.
MORVANE_DEVICE_TYPES(SimWorker, "host", "linux", "router", "switch");

// The simulated devices of runs whose worker died.
static const bool sim_leftovers_registered =
    leftovers::register_finder("sim", {[](std::optional<pid_t> owner) { return find_dead_runs(state_root(), owner); },
                                       [](std::optional<pid_t> owner) {
                                         return leftovers::Cleanup{remove_dead_runs(state_root(), owner), {}, {}};
                                       }});

std::string state_root() {
  const char* root = std::getenv("MORVANE_SIM_STATE_DIR");
  return root && *root ? root : files::private_runtime_directory("morvane/sim");
}

void SimWorker::init(const Args& args, const Kwargs& kwargs) {
  // The options are set by the base (see options()).
  BringUpWorkerBase::init(args, kwargs);
  if (sim_plan && !sim_plan->empty()) plan = load_plan(*sim_plan);
  if (sim_construction_delay > 0) {
    sim_logger().info("Simulated construction takes {} seconds ...", Value(sim_construction_delay));
    std::this_thread::sleep_for(seconds(sim_construction_delay));
  }
}

asio::awaitable<void> SimWorker::_launch_topology() {
  if (sim_launch_delay > 0) {
    sim_logger().info("Simulated launch takes {} seconds ...", Value(sim_launch_delay));
    co_await wait_for(sim_launch_delay);
  }
  if (plan.is_map()) {
    replay_plan();
  } else {
    simulate_logical_devices();
  }
  if (sim_fail == "launch") throw Exception("simulated launch failure (-sim_fail launch)");
}

void SimWorker::simulate_logical_devices() {
  const Value& logical = logical_testbed_config;
  const List& names = BringUpBase::logical_devices.as_list();
  sim_logger().info("Bringing up {} simulated device(s) for topology {} ...", names.size(), *topology_name);
  state_->create(state_root(), *topology_name);

  Map devices, topology, readiness;
  List actual_names;
  for (const Value& name : names) {
    const std::string actual = "sim-" + name.str();
    const Value& entry = logical.at("devices").at(name);
    const std::string state_file = state_->path() + "/" + actual + ".yaml";

    Map interfaces;
    const Value* logical_topology = logical.find("topology");
    const Value* device_topology = logical_topology ? logical_topology->find(name) : nullptr;
    const Value* logical_interfaces = device_topology ? device_topology->find("interfaces") : nullptr;
    if (logical_interfaces && logical_interfaces->is_map()) {
      int index = 0;
      for (const auto& [interface_name, interface] : logical_interfaces->as_map()) {
        const Value* link = interface.find("link");
        if (!link) continue;
        Map actual_interface{{"link", *link}};
        if (const Value* type = interface.find("type")) actual_interface["type"] = *type;
        interfaces["eth" + std::to_string(++index)] = Value(std::move(actual_interface));
      }
    }
    devices[actual] = Value::map(
        {{"type", entry.get("type")},
         {"os", "sim"},
         {"connections", Value::map({{"cli", Value::map({{"protocol", "sim"}, {"state_file", state_file}})}})}});
    topology[actual] = Value::map({{"interfaces", interfaces}});
    dev_name_xref[actual] = name;
    readiness[actual] = Value::map({{"state_file", state_file}});
    actual_names.emplace_back(actual);
    state_->write(actual + ".yaml",
                  Value::map({{"logical", name}, {"type", entry.get("type")}, {"interfaces", interfaces}}));
  }
  testbed_config =
      Value::map({{"testbed", Value::map({{"name", *topology_name}})}, {"devices", devices}, {"topology", topology}});
  Value cleaner = Value::map({{"class", cleaners::sim::SimCleaner::class_info().name()}, {"devices", actual_names}});
  if (sim_ready_delay > 0) cleaner["delay"] = sim_ready_delay;
  if (sim_fail == "readiness") cleaner["fail"] = "simulated readiness failure (-sim_fail readiness)";
  autogenerated_clean_config = Value::map({{"cleaners", Value::map({{"sim", cleaner}})}, {"devices", readiness}});
  _process_tb_config();
}

asio::awaitable<void> SimWorker::_tear_down_topology() {
  if (sim_teardown_delay > 0) {
    sim_logger().info("Simulated teardown takes {} seconds ...", Value(sim_teardown_delay));
    co_await wait_for(sim_teardown_delay);
  }
  if (state_->created()) {
    state_->remove();
    sim_logger().info("Removed the simulated devices of topology {}.", *topology_name);
  }
  // Injected failures come after the devices are gone, so that trying a
  // failure leaves nothing behind.
  const Value fail = plan.is_map() ? plan.get("fail") : Value();
  if (fail.is_map() && fail.get("teardown").truthy()) throw Exception(fail.get("teardown").str());
  if (sim_fail == "teardown") throw Exception("simulated teardown failure (-sim_fail teardown)");
}

}  // namespace tarvex::morvane::orchestrators::sim
