// The engine client against real engines (a private podman service and a
// private dockerd, each test run on both): containers' life, exec, listing,
// the engines' refusals, pulls from a loopback registry, batches and their
// interruption.
#include "tarvex/engine/engine.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "support/engines/engine_harness.hpp"
#include "support/temp_dir.hpp"
#include "tarvex/engine/engine_error.hpp"

namespace tarvex::engine {
namespace {

using testing::engines::EngineEnvironment;
using testing::engines::EngineKind;
using testing::engines::kBusyboxImage;
using testing::engines::kFrrImage;
using namespace std::chrono_literals;

constexpr const char* kRunLabel = "morvane.test.run";

// The error a test's interrupt callback throws, told apart from any other.
struct Interrupted {};

ino_t namespace_inode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

int thread_count() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class EngineTest : public ::testing::TestWithParam<EngineKind> {
 protected:
  void SetUp() override {
    MORVANE_REQUIRE_ENGINE(GetParam());
    try {
      harness_ = &EngineEnvironment::instance().engine(GetParam());
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
    engine_ = std::make_unique<Engine>(harness_->socket_path());
    static std::atomic<int> counter{0};
    run_ = std::to_string(::getpid()) + "-" + std::to_string(counter++);
  }

  // Whatever the test created is removed, also when it failed half-way.
  void TearDown() override {
    if (!engine_) return;
    engine_->options().interrupt = nullptr;
    std::vector<std::string> ids;
    for (const auto& container : engine_->list({label()})) ids.push_back(container.id);
    for (const auto& result : engine_->remove_all(ids)) EXPECT_TRUE(result.ok()) << *result.error;
    EXPECT_TRUE(engine_->list({label()}).empty());
    EXPECT_EQ(testing::engines::host_ip_forward(), EngineEnvironment::instance().host_ip_forward_before())
        << "the engine changed the host's IPv4 forwarding";
  }

  std::string label() const { return std::string(kRunLabel) + "=" + run_; }
  std::string name(const std::string& suffix) const { return "mvt-" + run_ + "-" + suffix; }
  ContainerConfig busybox(const std::string& suffix) const {
    ContainerConfig config;
    config.name = name(suffix);
    config.image = kBusyboxImage;
    config.labels = {{kRunLabel, run_}};
    return config;
  }

  testing::engines::PrivateEngine* harness_ = nullptr;
  std::unique_ptr<Engine> engine_;
  std::string run_;
};

TEST_P(EngineTest, ContainerLifeFromCreateToRemove) {
  const EngineVersion version = engine_->version();
  EXPECT_EQ(version.kind, GetParam() == EngineKind::podman ? EngineVersion::Kind::podman : EngineVersion::Kind::docker);
  EXPECT_EQ(version.api_version, "1.41");
  EXPECT_EQ(engine_->ping_kind(), version.kind);
  EXPECT_TRUE(engine_->image_present(kBusyboxImage));
  EXPECT_FALSE(engine_->image_present("localhost/morvane-absent:1"));

  ContainerConfig config = busybox("r1");
  config.command = std::vector<std::string>{"sh", "-c", "echo \"out $GREETING\"; echo err >&2; exec sleep infinity"};
  config.env = {{"GREETING", "hello world"}};
  config.hostname = "r1";
  config.labels["morvane.test.role"] = "router";
  const std::string id = engine_->create(config);
  ASSERT_FALSE(id.empty());
  const ContainerState created = engine_->inspect(id);
  EXPECT_FALSE(created.running);
  EXPECT_EQ(created.pid, 0);

  engine_->start(id);
  engine_->start(id);  // already running: no error
  const ContainerState state = engine_->inspect(config.name);
  EXPECT_EQ(state.id, id);
  EXPECT_EQ(state.name, config.name);
  EXPECT_TRUE(state.running);
  ASSERT_GT(state.pid, 0);
  EXPECT_EQ(state.health, HealthStatus::none);
  EXPECT_EQ(state.labels.at("morvane.test.role"), "router");
  EXPECT_EQ(state.labels.at(kRunLabel), run_);
  // Its own network namespace, with nothing but loopback (network none).
  const ino_t own = namespace_inode("/proc/self/ns/net");
  const ino_t its = namespace_inode("/proc/" + std::to_string(state.pid) + "/ns/net");
  EXPECT_NE(its, 0u);
  EXPECT_NE(its, own);
  const ExecResult links = engine_->exec(id, {"ls", "/sys/class/net"});
  EXPECT_EQ(links.out, "lo\n");
  EXPECT_EQ(engine_->exec(id, {"hostname"}).out, "r1\n");

  std::string logs;
  for (int i = 0; i < 50 && !contains(logs, "err"); ++i, std::this_thread::sleep_for(50ms)) logs = engine_->logs(id);
  EXPECT_TRUE(contains(logs, "out hello world\n")) << logs;
  EXPECT_TRUE(contains(logs, "err\n")) << logs;
  // The last line only (which of the two streams wrote last is the engine's call).
  const std::string last = engine_->logs(id, 1);
  EXPECT_TRUE(last == "err\n" || last == "out hello world\n") << last;

  engine_->remove(id);
  engine_->remove(id);  // gone already: no error
  try {
    engine_->inspect(id);
    ADD_FAILURE() << "a removed container was found";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.http_status(), 404);
    EXPECT_TRUE(contains(e.what(), "cannot inspect container " + id + ": 404")) << e.what();
  }
}

TEST_P(EngineTest, ExecGivesStatusOutputsAndEndsAtItsTimeout) {
  const std::string id = engine_->create(busybox("h1"));
  engine_->start(id);

  const ExecResult fed = engine_->exec(id, {"sh", "-c", "tr a-z A-Z; echo oops >&2; exit 3"}, "lab input\n");
  EXPECT_EQ(fed.exit_code, 3);
  EXPECT_EQ(fed.out, "LAB INPUT\n");
  EXPECT_EQ(fed.err, "oops\n");
  EXPECT_FALSE(fed.timed_out);

  // Output larger than one frame, and binary bytes, come through whole.
  const ExecResult big = engine_->exec(id, {"sh", "-c", "head -c 300000 /dev/zero; printf '\\001\\002'"});
  EXPECT_EQ(big.exit_code, 0);
  EXPECT_EQ(big.out.size(), 300002u);
  EXPECT_EQ(big.out.substr(300000), "\x01\x02");

  const auto started = std::chrono::steady_clock::now();
  const ExecResult slow = engine_->exec(id, {"sleep", "60"}, std::nullopt, 700ms);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_TRUE(slow.timed_out);
  EXPECT_NE(slow.exit_code, 0);
  EXPECT_GE(took, 700ms);
  EXPECT_LT(took, 5s);
  // The command was killed, not left behind: only the container's own
  // sleep runs.
  const ExecResult left = engine_->exec(id, {"ps", "-o", "pid,args"});
  EXPECT_FALSE(contains(left.out, "sleep 60")) << left.out;
  EXPECT_TRUE(contains(left.out, "sleep infinity")) << left.out;

  try {
    engine_->exec(name("absent"), {"true"});
    ADD_FAILURE() << "exec in a missing container worked";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.http_status(), 404);
    EXPECT_TRUE(contains(e.what(), "cannot run 'true' in container " + name("absent"))) << e.what();
  }
  EXPECT_THROW(engine_->exec(id, {}), ValueError);
  // A command that does not exist: the runtime's reason comes back.
  // Podman reports it on standard error with 127, docker on standard
  // output with 126.
  const ExecResult missing = engine_->exec(id, {"/usr/bin/morvane-nope"});
  EXPECT_TRUE(missing.exit_code == 126 || missing.exit_code == 127) << missing.exit_code;
  EXPECT_TRUE(contains(missing.out + missing.err, "/usr/bin/morvane-nope: no such file or directory"))
      << missing.out << missing.err;
}

TEST_P(EngineTest, ListsByLabelAndRemovesForcibly) {
  std::vector<ContainerConfig> configs = {busybox("a"), busybox("b"), busybox("c")};
  configs[0].labels["morvane.test.kind"] = "host";
  configs[1].labels["morvane.test.kind"] = "host";
  configs[2].labels["morvane.test.kind"] = "router";
  std::vector<std::string> ids;
  for (const auto& config : configs) ids.push_back(engine_->create(config));
  engine_->start(ids[0]);

  const auto hosts = engine_->list({label(), "morvane.test.kind=host"});
  std::set<std::string> names;
  for (const auto& summary : hosts) names.insert(summary.name);
  EXPECT_EQ(names, (std::set<std::string>{name("a"), name("b")}));
  for (const auto& summary : hosts) {
    EXPECT_EQ(summary.labels.at("morvane.test.kind"), "host");
    EXPECT_EQ(summary.image, kBusyboxImage);
  }
  EXPECT_EQ(engine_->list({label(), "morvane.test.kind"}).size(), 3u);
  const auto running = engine_->list({label()}, false);
  ASSERT_EQ(running.size(), 1u);
  EXPECT_EQ(running[0].id, ids[0]);
  EXPECT_EQ(running[0].state, "running");

  engine_->remove(ids[0]);  // a running one too
  EXPECT_EQ(engine_->list({label()}).size(), 2u);
}

TEST_P(EngineTest, RefusalsNameTheContainerAndTheEnginesReason) {
  ContainerConfig missing = busybox("r9");
  missing.image = "localhost/morvane-absent:1";
  try {
    engine_->create(missing);
    ADD_FAILURE() << "created from a missing image";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.http_status(), 404);
    const std::string message = e.what();
    EXPECT_TRUE(contains(message, "cannot create container " + missing.name + ": 404 ")) << message;
    EXPECT_TRUE(contains(message, "localhost/morvane-absent:1")) << message;
  }

  ContainerConfig broken = busybox("r8");
  broken.entrypoint = std::vector<std::string>{"/usr/bin/morvane-nope"};
  const std::string id = engine_->create(broken);
  try {
    engine_->start(broken.name);
    ADD_FAILURE() << "started with a missing entrypoint";
  } catch (const EngineError& e) {
    EXPECT_GE(e.http_status(), 400);
    const std::string message = e.what();
    EXPECT_TRUE(contains(message, "cannot start container " + broken.name + ": ")) << message;
    EXPECT_TRUE(contains(message, "/usr/bin/morvane-nope")) << message;
    EXPECT_TRUE(contains(message, "no such file or directory")) << message;
  }
  EXPECT_FALSE(engine_->inspect(id).running);

  // A second container of the same name is a conflict, named.
  ContainerConfig twin = busybox("r8");
  try {
    engine_->create(twin);
    ADD_FAILURE() << "two containers of one name";
  } catch (const EngineError& e) {
    // Docker calls it a conflict (409), podman a failure (500).
    EXPECT_GE(e.http_status(), 409);
    EXPECT_TRUE(contains(e.what(), "cannot create container " + twin.name + ": ")) << e.what();
    EXPECT_TRUE(contains(e.what(), "already in use")) << e.what();
  }

  Engine nowhere(harness_->socket_path() + ".absent");
  EXPECT_FALSE(nowhere.ping());
  try {
    nowhere.inspect("x");
    ADD_FAILURE() << "a missing socket answered";
  } catch (const ConnectionError& e) {
    EXPECT_TRUE(contains(e.what(), harness_->socket_path() + ".absent")) << e.what();
  }
}

TEST_P(EngineTest, PullsFromTheLoopbackRegistry) {
  if (!testing::engines::missing_registry_programs().empty()) {
    if (std::getenv("MORVANE_REQUIRE_ROOT_TESTS")) FAIL() << "needs docker-registry (MORVANE_REQUIRE_ROOT_TESTS)";
    GTEST_SKIP() << "needs docker-registry (scripts/install-deps installs it)";
  }
  const std::string registry = EngineEnvironment::instance().registry().address();
  const std::string kind = testing::engines::kind_name(GetParam());
  const std::string pushed = registry + "/morvane/busybox-" + kind + ":" + run_;
  // The engine's own client puts the image there; then it exists only in
  // the registry, under that name.
  testing::engines::ProgramResult push;
  if (GetParam() == EngineKind::podman) {
    push = harness_->run_cli({"push", "--tls-verify=false", kBusyboxImage, pushed});
  } else {
    push = harness_->run_cli({"tag", kBusyboxImage, pushed});
    if (push.status == 0) push = harness_->run_cli({"push", pushed});
    if (push.status == 0) push = harness_->run_cli({"rmi", pushed});
  }
  ASSERT_EQ(push.status, 0) << push.output;
  ASSERT_FALSE(engine_->image_present(pushed));

  std::vector<PullProgress> steps;
  const std::string absent = registry + "/morvane/absent:1";
  const auto results =
      engine_->pull_all({pushed, absent, "Not A Reference"}, [&](const PullProgress& step) { steps.push_back(step); });
  ASSERT_EQ(results.size(), 3u);
  EXPECT_TRUE(results[0].ok()) << *results[0].error;
  EXPECT_EQ(results[0].item, pushed);
  ASSERT_FALSE(results[1].ok());
  EXPECT_TRUE(contains(*results[1].error, "cannot pull image " + absent + ": ")) << *results[1].error;
  ASSERT_FALSE(results[2].ok());
  EXPECT_TRUE(contains(*results[2].error, "invalid image reference 'Not A Reference'")) << *results[2].error;
  EXPECT_TRUE(engine_->image_present(pushed));
  ASSERT_FALSE(steps.empty());
  for (const auto& step : steps) EXPECT_TRUE(step.image == pushed || step.image == absent) << step.image;

  // The pulled image runs.
  ContainerConfig config = busybox("pulled");
  config.image = pushed;
  const std::string id = engine_->create(config);
  engine_->start(id);
  EXPECT_TRUE(engine_->inspect(id).running);
}

TEST_P(EngineTest, BatchOfTenRunsAtOnceOnOneThread) {
  std::vector<ContainerConfig> configs;
  for (int i = 0; i < 10; ++i) configs.push_back(busybox("n" + std::to_string(i)));
  configs.push_back(busybox("n3"));  // a name taken within the batch: fails alone
  int calls = 0;
  int most_threads = 0;
  engine_->options().interrupt = [&] {
    ++calls;
    most_threads = std::max(most_threads, thread_count());
  };
  const auto created = engine_->create_all(configs);
  ASSERT_EQ(created.size(), 11u);
  std::vector<std::string> ids;
  int failed = 0;
  for (const auto& result : created) {
    if (result.ok()) {
      ids.push_back(result.id);
    } else {
      ++failed;
      EXPECT_TRUE(contains(*result.error, "cannot create container " + name("n3") + ": ")) << *result.error;
      EXPECT_TRUE(contains(*result.error, "already in use")) << *result.error;
    }
  }
  EXPECT_EQ(failed, 1);
  ASSERT_EQ(ids.size(), 10u);
  ids.push_back("mvt-absent-" + run_);
  const auto started = engine_->start_all(ids);
  std::set<int> pids;
  for (std::size_t i = 0; i < 10; ++i) {
    EXPECT_TRUE(started[i].ok()) << *started[i].error;
    pids.insert(engine_->inspect(ids[i]).pid);
  }
  EXPECT_FALSE(started[10].ok());
  EXPECT_EQ(started[10].http_status, 404);
  EXPECT_TRUE(contains(*started[10].error, "cannot start container mvt-absent-" + run_ + ": 404"))
      << *started[10].error;
  EXPECT_EQ(pids.size(), 10u);
  EXPECT_EQ(pids.count(0), 0u);
  EXPECT_GT(calls, 0);
  // curl started no thread behind the process's back (it forks children).
  EXPECT_EQ(most_threads, 1);

  const auto removed = engine_->remove_all(ids);
  for (const auto& result : removed) EXPECT_TRUE(result.ok()) << *result.error;
  EXPECT_TRUE(engine_->list({label()}).empty());
}

TEST_P(EngineTest, AnInterruptAbortsBatchesAndPullsAndTheEngineStaysUsable) {
  std::vector<ContainerConfig> configs;
  for (int i = 0; i < 5; ++i) configs.push_back(busybox("i" + std::to_string(i)));
  int calls = 0;
  engine_->options().interrupt = [&] {
    if (++calls == 1) throw Interrupted{};
  };
  EXPECT_THROW(engine_->create_all(configs), Interrupted);
  // The engine goes on with requests it had read when the connection
  // closed; give it the time to finish them before they are looked for.
  std::this_thread::sleep_for(1s);
  calls = 0;
  EXPECT_THROW(engine_->pull_all({"127.0.0.1:9/morvane/never:1", "localhost/morvane-never:1"}), Interrupted);

  // A long exec is interrupted the same way, well before its time-out.
  engine_->options().interrupt = nullptr;
  const std::string id = engine_->create(busybox("long"));
  engine_->start(id);
  const auto begun = std::chrono::steady_clock::now();
  engine_->options().interrupt = [&] {
    if (std::chrono::steady_clock::now() - begun > 300ms) throw Interrupted{};
  };
  EXPECT_THROW(engine_->exec(id, {"sleep", "30"}, std::nullopt, 20s), Interrupted);
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 2s);

  // What the engine made before the abort is found by its label; the
  // connection pool is whole.
  engine_->options().interrupt = nullptr;
  EXPECT_TRUE(engine_->ping());
  std::vector<std::string> ids;
  for (const auto& container : engine_->list({label()})) ids.push_back(container.id);
  for (const auto& result : engine_->remove_all(ids)) EXPECT_TRUE(result.ok()) << *result.error;
  const auto again = engine_->create_all(configs);
  for (const auto& result : again) EXPECT_TRUE(result.ok()) << *result.error;
}

// The FRR image runs FRR as its own images do: watchfrr starts the daemons
// that /etc/frr/daemons (bind-mounted from the host) enables, and vtysh in
// the container answers.
TEST_P(EngineTest, FrrImageRunsItsDaemons) {
  if (::access("/usr/lib/frr/zebra", X_OK) != 0) {
    if (std::getenv("MORVANE_REQUIRE_ROOT_TESTS")) FAIL() << "needs frr (MORVANE_REQUIRE_ROOT_TESTS)";
    GTEST_SKIP() << "needs frr (scripts/install-deps installs it)";
  }
  ASSERT_NO_THROW(harness_->import_image("frr"));
  testing::TempDir dir;
  const std::string etc = dir.file("etc");
  const std::string run = dir.file("run");
  std::filesystem::create_directories(etc);
  std::filesystem::create_directories(run);
  std::ofstream(etc + "/daemons") << "zebra=yes\nstaticd=yes\nvtysh_enable=yes\n"
                                  << "zebra_options=\" -A 127.0.0.1 -s 90000000\"\n"
                                  << "staticd_options=\"-A 127.0.0.1\"\n";
  std::ofstream(etc + "/frr.conf") << "hostname r1\nip route 192.0.2.0/24 Null0\n";
  std::ofstream(etc + "/vtysh.conf") << "service integrated-vtysh-config\n";
  const auto owned = testing::engines::run_program({"chown", "-R", "frr:frr", etc, run});
  ASSERT_EQ(owned.status, 0) << owned.output;
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                               std::filesystem::perms::others_exec);

  ContainerConfig config = busybox("frr");
  config.image = kFrrImage;
  config.binds = {etc + ":/etc/frr", run + ":/var/run/frr"};
  config.cap_add = {"NET_ADMIN", "NET_RAW", "SYS_ADMIN"};
  const std::string id = engine_->create(config);
  engine_->start(id);
  ExecResult shown;
  for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(100ms)) {
    shown = engine_->exec(id, {"vtysh", "-c", "show ip route static"});
    if (shown.exit_code == 0 && contains(shown.out, "192.0.2.0/24")) break;
  }
  EXPECT_TRUE(contains(shown.out, "192.0.2.0/24")) << shown.out << shown.err << engine_->logs(id);
  const ExecResult processes = engine_->exec(id, {"ps", "-o", "comm"});
  for (const char* daemon : {"watchfrr", "zebra", "staticd"})
    EXPECT_TRUE(contains(processes.out, daemon)) << processes.out;
}

INSTANTIATE_TEST_SUITE_P(Engines, EngineTest, ::testing::Values(EngineKind::podman, EngineKind::docker),
                         [](const auto& info) { return std::string(testing::engines::kind_name(info.param)); });

}  // namespace
}  // namespace tarvex::engine
