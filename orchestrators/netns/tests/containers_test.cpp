// Devices from images through the real bringup tool (root), on a private
// podman and a private dockerd: the example lab (FRR routers from an image,
// a container host, a namespace host) converges and carries traffic; a
// missing image, a failing entrypoint and a container that ends at once fail
// the launch naming the device and leave nothing; images are pulled from a
// registry on loopback; -cleanup after a killed worker spares containers
// that are not the run's; two runs of one file live side by side.
#include <gtest/gtest.h>

#include <fstream>

#include "container_profile.hpp"
#include "e2e/bringup_runner.hpp"
#include "tarvex/engine/engine.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::testing {
namespace {

using namespace std::chrono_literals;
using engines::EngineEnvironment;
using engines::EngineKind;

class Containers : public ::testing::TestWithParam<EngineKind> {
 protected:
  void SetUp() override {
    MORVANE_REQUIRE_ENGINE(GetParam());
    MORVANE_REQUIRE_ROOT();
    engine_ = &EngineEnvironment::instance().engine(GetParam());
    setup_ = std::make_unique<ContainerTestSetup>(engine_->socket_path());
  }

  // A run of the tool on `yaml` (its topology named tag_).
  std::vector<std::string> args(const std::string& yaml, std::vector<std::string> extra = {}) {
    write_file(dir_.path() / "logical.yaml", yaml);
    std::vector<std::string> all{"-orchestrator",           "netns",    "-logical_testbed_file",
                                 dir_.file("logical.yaml"), "-log_dir", dir_.file("logs")};
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  }
  std::vector<std::string> left() const {
    std::vector<std::string> all = namespaces_named(tag_ + "-");
    for (std::string& name : containers_named(GetParam(), tag_ + "-")) all.push_back(std::move(name));
    return all;
  }
  static std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += item + "\n";
    return text;
  }

  // A busybox container c1 and a namespace host h1 on one link, in 10.0.`net`.0/24.
  std::string container_and_host(int net) const {
    const std::string prefix = "10.0." + std::to_string(net) + ".";
    return "testbed: {name: " + tag_ +
           "}\ndevices:\n  c1: {type: host, logical: true, image: " + std::string(engines::kBusyboxImage) +
           "}\n  h1: {type: host, logical: true}\n"
           "topology:\n  c1: {interfaces: {e0: {link: a, ipv4: " +
           prefix +
           "1/24}}}\n"
           "  h1: {interfaces: {e0: {link: a, ipv4: " +
           prefix + "2/24}}}\n";
  }

  engines::PrivateEngine* engine_ = nullptr;
  std::unique_ptr<ContainerTestSetup> setup_;
  TempDir dir_;
  const std::string tag_ = unique_tag("ct");
};

TEST_P(Containers, TheExampleLabConvergesCarriesTrafficAndLeavesNothing) {
  ASSERT_NO_THROW(engine_->import_image("frr"));
  std::string lab = read_file(std::string(MORVANE_SOURCE_DIR) + "/examples/container-lab/logical.yaml");
  lab.replace(lab.find("name: container-lab"), 19, "name: " + tag_);
  const std::string output = dir_.file("testbed.yaml");
  BringupRun run(dir_, args(lab, {"-interactive", "-tb_yaml_output_file_name", output}), 2s);
  ASSERT_TRUE(run.wait_for_stdout("Press Control-C", 90s)) << run.finish(0s).describe();

  const Value testbed = tarvex::utils::yaml::load_file(output);
  std::map<std::string, Value> device;
  for (const auto& [actual, entry] : testbed.at("devices").as_map()) device[entry.get("alias").str()] = entry;
  const std::string kind = engines::kind_name(GetParam());
  for (const char* name : {"r1", "r2", "h2"}) {
    SCOPED_TRACE(name);
    const Value& container = device[name].at("connections").at("container");
    EXPECT_EQ(container.get("engine"), Value(kind));
    EXPECT_EQ(container.get("exec"), Value(List{kind, "exec", "-it", container.get("name"), "sh"}));
    EXPECT_EQ(device[name].at("connections").at("netns").get("path").str().find("/proc/"), 0u);
  }
  EXPECT_FALSE(device["h1"].at("connections").contains("container"));
  // Across both routers, from a namespace to a container; the adjacency as
  // the testbed's vtysh shows it.
  // (Ready means adjacencies Full; the routes across follow within moments.)
  const std::string h1 = device["h1"].at("connections").at("netns").get("namespace").str();
  EXPECT_TRUE(pings(h1, "10.0.2.10") || pings(h1, "10.0.2.10"));
  const Value vtysh = device["r1"].at("connections").at("vtysh").get("command");
  std::string command;
  for (const Value& word : vtysh.as_list()) command += word.str() + " ";
  const std::string neighbours = run_command(command + "-c 'show ip ospf neighbor'");
  EXPECT_NE(neighbours.find("Full"), std::string::npos) << neighbours;
  EXPECT_NE(neighbours.find("2.2.2.2"), std::string::npos) << neighbours;
  // A command in a container by the user's name, through the engine.
  const engines::ProgramResult in_h2 =
      engines::run_program({std::string(MORVANE_BINARY_DIR) + "/bin/morvane", "exec", "--run", tag_, "h2", "--", "sh",
                            "-c", "echo $ROLE; exit 4"});
  EXPECT_EQ(in_h2.status, 4) << in_h2.output;
  EXPECT_EQ(in_h2.output, "server\n");

  run.send_signal(SIGINT);
  const RunResult result = run.finish(60s);
  EXPECT_TRUE(result.exited && result.exit_code == 0) << result.describe();
  EXPECT_TRUE(result.leftovers.empty()) << result.describe();
  EXPECT_TRUE(left().empty()) << joined(left());
}

TEST_P(Containers, AFailingContainerFailsTheLaunchNamingItsDeviceAndLeavesNothing) {
  const std::string image = engines::kBusyboxImage;
  const struct {
    const char* what;
    std::string device;
    std::string says;
  } cases[] = {
      {"an image that is not there", "image: localhost/morvane-none:1, pull: never",
       "device 'c1': image 'localhost/morvane-none:1' is not in the engine, and its pull is never"},
      {"an image no registry has", "image: 127.0.0.1:9/morvane/none:1", "Cannot pull the images: "},
      {"an entrypoint that does not exist", "image: " + image + ", entrypoint: [/no/such/program]",
       "Device 'c1' (container " + tag_ + "-"},
      {"a container that ends at once", "image: " + image + ", command: [/bin/true]", "ended at once (exit status 0)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string yaml = "testbed: {name: " + tag_ + "}\ndevices:\n  h1: {type: host, logical: true}\n" +
                             "  c1: {type: host, logical: true, " + c.device + "}\n" +
                             "topology:\n  h1: {interfaces: {e0: {link: a, ipv4: 10.0.8.1/24}}}\n"
                             "  c1: {interfaces: {e0: {link: a, ipv4: 10.0.8.2/24}}}\n";
    const RunResult result = run_bringup(dir_, args(yaml));
    EXPECT_TRUE(result.exited && result.exit_code == 1) << result.describe();
    EXPECT_NE(result.err.find(c.says), std::string::npos) << c.says << "\n" << result.describe();
    EXPECT_TRUE(result.leftovers.empty()) << result.describe();
    EXPECT_TRUE(left().empty()) << joined(left());
  }
}

TEST_P(Containers, ImagesArePulledFromARegistryOnLoopback) {
  if (!engines::missing_registry_programs().empty()) {
    if (std::getenv("MORVANE_REQUIRE_ROOT_TESTS")) FAIL() << "needs docker-registry (MORVANE_REQUIRE_ROOT_TESTS)";
    GTEST_SKIP() << "needs docker-registry (scripts/install-deps installs it)";
  }
  const std::string pushed = EngineEnvironment::instance().registry().address() + "/morvane/host-" + tag_ + ":" +
                             engines::kind_name(GetParam());
  engines::ProgramResult push;
  if (GetParam() == EngineKind::podman) {
    push = engine_->run_cli({"push", "--tls-verify=false", engines::kBusyboxImage, pushed});
  } else {
    push = engine_->run_cli({"tag", engines::kBusyboxImage, pushed});
    if (push.status == 0) push = engine_->run_cli({"push", pushed});
    if (push.status == 0) push = engine_->run_cli({"rmi", pushed});
  }
  ASSERT_EQ(push.status, 0) << push.output;
  const std::string yaml = "testbed: {name: " + tag_ +
                           "}\ndevices:\n"
                           "  c1: {type: host, logical: true, image: '" +
                           pushed +
                           "', pull: always}\n"
                           "  c2: {type: host, logical: true, image: '" +
                           pushed +
                           "'}\n"
                           "topology:\n  c1: {interfaces: {e0: {link: a, ipv4: 10.0.9.1/24}}}\n"
                           "  c2: {interfaces: {e0: {link: a, ipv4: 10.0.9.2/24}}}\n";
  const RunResult result = run_bringup(dir_, args(yaml));
  EXPECT_TRUE(result.exited && result.exit_code == 0) << result.describe();
  EXPECT_NE(result.err.find("Pulled 1 image(s)"), std::string::npos) << result.describe();  // once for both
  EXPECT_TRUE(left().empty()) << joined(left());
}

TEST_P(Containers, CleanupAfterAKilledWorkerSparesContainersThatAreNotTheRuns) {
  engine::Engine client(engine_->socket_path());
  // Two bystanders: one without labels, one of another run's.
  std::vector<std::string> bystanders;
  for (const auto& labels :
       {std::map<std::string, std::string>{}, std::map<std::string, std::string>{{"morvane.run", "zzzzz"}}}) {
    engine::ContainerConfig config;
    config.name = tag_ + "-bystander" + std::to_string(bystanders.size());
    config.image = engines::kBusyboxImage;
    config.labels = labels;
    bystanders.push_back(client.create(config));
    client.start(bystanders.back());
  }
  const std::string yaml = container_and_host(10);
  BringupRun run(dir_, args(yaml, {"-interactive"}), 2s);
  std::optional<pid_t> worker;
  for (int i = 0; i < 1000 && !(worker = run.worker_pid()); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(worker);
  ASSERT_TRUE(run.wait_for_stdout("Press Control-C", 60s)) << run.finish(0s).describe();
  ::kill(*worker, SIGKILL);
  const RunResult killed = run.finish(30s);
  EXPECT_NE(killed.err.find("1 container ("), std::string::npos) << killed.describe();
  const RunResult cleanup = run_bringup(dir_, {"-cleanup"});
  EXPECT_EQ(cleanup.exit_code, 0) << cleanup.describe();
  EXPECT_NE(cleanup.err.find("Removed netns: container " + tag_ + "-"), std::string::npos) << cleanup.describe();
  std::vector<std::string> still = containers_named(GetParam(), tag_ + "-");
  std::sort(still.begin(), still.end());
  EXPECT_EQ(still,
            (std::vector<std::string>{"container " + tag_ + "-bystander0", "container " + tag_ + "-bystander1"}));
  for (const std::string& id : bystanders) {
    EXPECT_TRUE(client.inspect(id).running);
    client.remove(id);
  }
  EXPECT_TRUE(left().empty()) << joined(left());
}

TEST_P(Containers, TwoRunsOfOneFileLiveSideBySide) {
  const std::string yaml = container_and_host(11);
  TempDir other;
  BringupRun first(dir_, args(yaml, {"-interactive"}), 2s);
  BringupRun second(other, args(yaml, {"-interactive", "-log_dir", other.file("logs")}), 2s);
  ASSERT_TRUE(first.wait_for_stdout("Press Control-C", 60s)) << first.finish(0s).describe();
  ASSERT_TRUE(second.wait_for_stdout("Press Control-C", 60s)) << second.finish(0s).describe();
  EXPECT_EQ(containers_named(GetParam(), tag_ + "-").size(), 2u);
  first.send_signal(SIGINT);
  second.send_signal(SIGINT);
  for (BringupRun* run : {&first, &second}) {
    const RunResult result = run->finish(60s);
    EXPECT_TRUE(result.exited && result.exit_code == 0) << result.describe();
  }
  EXPECT_TRUE(left().empty()) << joined(left());
}

INSTANTIATE_TEST_SUITE_P(Engines, Containers, ::testing::Values(EngineKind::podman, EngineKind::docker),
                         [](const auto& info) { return std::string(engines::kind_name(info.param)); });

}  // namespace
}  // namespace tarvex::testing
