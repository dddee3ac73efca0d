// The link fabric on real namespaces (root): a namespace made outside the
// run is adopted, wired and given back with nothing of the run left in it,
// by the teardown and by the cleanup of a killed run; the cleanup acts only
// on what is still provably the run's, whatever its journal says.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/netns.hpp"
#include "tarvex/morvane/fabric/build.hpp"
#include "tarvex/morvane/fabric/journal.hpp"

namespace tarvex::testing {
namespace {

namespace fabric = morvane::fabric;

// A namespace made the way someone else would make it, with an interface
// of its own whose index lies above those the plan picks.
class OutsideNamespace {
 public:
  explicit OutsideNamespace(std::string name) : name_(std::move(name)) {
    int status = -1;
    // Forwarding off, so that the run's change of it shows.
    run_command("ip netns add " + name_ + " && ip -n " + name_ + " link add pre0 index 1500 type bridge && " +
                    "ip netns exec " + name_ + " sh -c 'echo 0 > /proc/sys/net/ipv4/ip_forward'",
                &status);
    if (status != 0) {
      run_command("ip netns del " + name_ + " 2>/dev/null");
      throw std::runtime_error("cannot make the namespace " + name_);
    }
  }
  ~OutsideNamespace() { run_command("ip netns del " + name_ + " 2>/dev/null"); }
  const std::string& name() const { return name_; }
  std::string path() const { return "/run/netns/" + name_; }
  // Its interfaces' names, sorted.
  std::string links() const { return run_command("ip -n " + name_ + " -o link | awk -F': ' '{print $2}' | sort"); }
  std::string addresses() const { return run_command("ip -n " + name_ + " -o addr show dev lo"); }
  std::string forwarding() const { return sysctl("ipv4/ip_forward"); }
  std::string sysctl(const std::string& name) const {
    return run_command("ip netns exec " + name_ + " cat /proc/sys/net/" + name);
  }

 private:
  std::string name_;
};

const char* kTwoDevices =
    "devices: {a: {type: router, logical: true}, b: {type: host, logical: true, gateway: 10.0.0.1}}\n"
    "topology:\n"
    "  a: {interfaces: {e: {link: x, ipv4: 10.0.0.1/24}, lo0: {type: loopback, ipv4: 192.0.2.9/32}}}\n"
    "  b: {interfaces: {e: {link: x, ipv4: 10.0.0.2/24}}}\n";

fabric::Plan plan_of(const std::string& yaml, const std::string& tag, const std::string& run_id) {
  const Value testbed = tarvex::utils::yaml::load_string(yaml, "<test>");
  return fabric::make_plan(testbed, {"a", "b"}, {tag, tag, run_id, {"host", "router"}, "netns", {}});
}

// Builds kTwoDevices with device a in `outside` (adopted) and b in a
// namespace of the run's.
void build_adopting(fabric::Build& build, const OutsideNamespace& outside) {
  build.adopt_namespace_of(0, fabric::NamespaceHandle::adopt(outside.path(), "namespace " + outside.name()));
  build.create_namespace_of(1);
  build.create_lans();
  build.prepare_namespace(0);
  build.prepare_namespace(1);
  build.build_device(0);
  build.build_device(1);
  build.finish();
}

class Fabric : public ::testing::Test {
 protected:
  void SetUp() override { MORVANE_REQUIRE_ROOT(); }
  PrivateRunDir run_dir_;
  const std::string tag_ = unique_tag("fb");
};

TEST_F(Fabric, AnAdoptedNamespaceIsWiredAndGivenBackWithNothingOfTheRunLeft) {
  OutsideNamespace outside(tag_ + "-outside");
  const std::string links_before = outside.links();
  fabric::Journal journal = fabric::Journal::create(tag_);
  fabric::Build build(plan_of(kTwoDevices, tag_, journal.run_id()), std::move(journal));
  AtScopeExit tear_down([&] { build.tear_down(); });
  build_adopting(build, outside);

  // Wired like a namespace of the run's: addresses, the loopback, routes,
  // forwarding, traffic; its own interface kept, the run's numbered past it.
  const std::string b = build.namespace_of(1).name();
  EXPECT_TRUE(pings(b, "10.0.0.1"));
  EXPECT_TRUE(pings(b, "192.0.2.9"));
  EXPECT_EQ(outside.forwarding(), "1\n");
  const Value eth1 = ip_json("-n " + outside.name() + " link show eth1");
  ASSERT_EQ(eth1.size(), 1u);
  EXPECT_GT(eth1.as_list()[0].get("ifindex").as_int(), 1500);
  EXPECT_NE(outside.links().find("pre0"), std::string::npos);
  // No duplicate address detection on what the run made, from the start
  // (nothing tentative right after the build); what the namespace makes
  // itself later detects them as before.
  EXPECT_EQ(run_command("ip -n " + b + " -6 addr show tentative") +
                run_command("ip -n " + outside.name() + " -6 addr show tentative"),
            "");
  EXPECT_EQ(outside.sysctl("ipv6/conf/eth1/accept_dad"), "0\n");
  EXPECT_EQ(outside.sysctl("ipv6/conf/default/accept_dad"), "1\n");

  const fabric::TeardownReport report = build.tear_down();
  EXPECT_EQ(report.namespaces, std::vector<std::string>{b});
  EXPECT_EQ(outside.links(), links_before);
  EXPECT_EQ(outside.addresses().find("192.0.2.9"), std::string::npos) << outside.addresses();
  EXPECT_EQ(outside.forwarding(), "0\n");
  EXPECT_TRUE(namespaces_named(tag_ + "-").size() == 1u);  // the outside one only
  EXPECT_TRUE(run_dir_.journals().empty());
  // Twice is nothing.
  EXPECT_TRUE(build.tear_down().namespaces.empty());
}

TEST_F(Fabric, AnInterfaceNameTakenInTheAdoptedNamespaceStopsTheBuild) {
  OutsideNamespace outside(tag_ + "-taken");
  run_command("ip -n " + outside.name() + " link add eth1 type bridge");
  fabric::Journal journal = fabric::Journal::create(tag_);
  fabric::Build build(plan_of(kTwoDevices, tag_, journal.run_id()), std::move(journal));
  try {
    build.adopt_namespace_of(0, fabric::NamespaceHandle::adopt(outside.path(), "namespace " + outside.name()));
    ADD_FAILURE() << "adopted a namespace whose eth1 is taken";
  } catch (const OSError& e) {
    EXPECT_NE(std::string(e.what()).find("it has interfaces named eth1 already"), std::string::npos) << e.what();
  }
  build.tear_down();
  EXPECT_NE(outside.links().find("eth1"), std::string::npos);  // its own, untouched
}

// A run that builds and is killed: its leftovers are what its journal
// lists.  Returns its journal's path.
std::string killed_run(const std::string& tag, const OutsideNamespace* outside) {
  Pipe built = Pipe::open();
  process::ChildProcess child = process::ChildProcess::fork([&]() -> int {
    fabric::Journal journal = fabric::Journal::create(tag);
    auto* build = new fabric::Build(plan_of(kTwoDevices, tag, journal.run_id()), std::move(journal));
    if (outside) {
      build_adopting(*build, *outside);
    } else {
      build->build();
    }
    process::write_fully(built.write.get(), build->journal().run_id());
    ::pause();
    return 0;
  });
  built.write.reset();
  char run_id[16] = {};
  const ssize_t n = ::read(built.read.get(), run_id, sizeof run_id - 1);
  child.kill();
  child.wait();
  if (n <= 0) throw std::runtime_error("the run did not build");
  return fabric::run_dir_path() + "/" + std::string(run_id, static_cast<std::size_t>(n)) + ".journal";
}

TEST_F(Fabric, TheCleanupOfAKilledRunTakesBackOnlyWhatItMadeInAnAdoptedNamespace) {
  OutsideNamespace outside(tag_ + "-outside");
  const std::string links_before = outside.links();
  killed_run(tag_, &outside);
  EXPECT_EQ(namespaces_named(tag_ + "-").size(), 2u);  // the outside one and b's
  EXPECT_NE(outside.links(), links_before);

  const morvane::leftovers::Cleanup cleanup = morvane::leftovers::remove_all();
  EXPECT_TRUE(cleanup.skipped.empty());
  EXPECT_TRUE(cleanup.kept.empty());
  EXPECT_EQ(namespaces_named(tag_ + "-"), std::vector<std::string>{outside.name()});
  EXPECT_EQ(outside.links(), links_before);
  EXPECT_EQ(outside.addresses().find("192.0.2.9"), std::string::npos);
  EXPECT_EQ(outside.forwarding(), "0\n");
  EXPECT_TRUE(run_dir_.journals().empty());
}

TEST_F(Fabric, TheCleanupActsOnlyOnWhatIsStillTheRunsWhateverItsJournalSays) {
  OutsideNamespace foreign(tag_ + "-foreign");
  process::ChildProcess bystander = start_inside(foreign.name());
  const std::string journal = killed_run(tag_, nullptr);
  const auto start_of = [](pid_t pid) { return std::to_string(*process::start_time(pid)); };
  const struct stat placeholder = [&] {
    struct stat st {};
    ::stat(foreign.path().c_str(), &st);
    return st;
  }();
  {
    // A damaged journal: lines of another format, names that are no names,
    // a namespace and processes the run never made.
    std::ofstream out(journal, std::ios::app);
    out << "namespace " << foreign.name() << "\n"                                 // the old format
        << "namespace 0 0 " << foreign.name() << "\n"                             // another identity
        << "claim " << placeholder.st_dev << " " << placeholder.st_ino << " .\n"  // not a name
        << "namespace 4 4026531840 ..\n"
        << "process 1 " << start_of(1) << " 0 /sbin/init\n"                      // pid 1
        << "process " << ::getpid() << " " << start_of(::getpid()) << " 0 /x\n"  // the caller
        << "process " << bystander.pid() << " " << start_of(bystander.pid()) << " 0 /nowhere/sleep\n"
        << "process " << bystander.pid() << " 12345 0 /usr/bin/sleep\n"  // another start
        << "directory /etc\n"
        << "gibberish\n";
  }
  const morvane::leftovers::Cleanup cleanup = morvane::leftovers::remove_all();
  std::string skipped;
  for (const std::string& line : cleanup.skipped) skipped += line + "\n";
  for (const char* why :
       {"is not the one the run made", "'.' is not a namespace name", "'..' is not a namespace name",
        "pid 1 is never signalled", "is this cleanup or one of its callers", "runs /usr/bin/sleep, not /nowhere/sleep",
        "directory /etc is not one of the run's own", "a journal line not understood: gibberish"}) {
    EXPECT_NE(skipped.find(why), std::string::npos) << why << "\n" << skipped;
  }
  // The run's own namespaces went; what is not the run's stayed.
  EXPECT_EQ(namespaces_named(tag_ + "-"), std::vector<std::string>{foreign.name()});
  EXPECT_FALSE(bystander.wait(0.2).has_value()) << "the bystander was ended";
  EXPECT_TRUE(std::filesystem::is_directory("/run/netns"));
  EXPECT_TRUE(std::filesystem::exists("/etc/hostname"));
  EXPECT_TRUE(run_dir_.journals().empty());
  bystander.kill();
}

TEST_F(Fabric, TheJournalIsRefusedADirectoryOthersCanWriteToOrASymbolicLink) {
  TempDir dir;
  TempDir shared;
  ::chmod(shared.path().c_str(), 0777);
  const std::string link = dir.file("link");
  std::filesystem::create_directory_symlink(dir.path(), link);
  for (const std::string& where : {shared.path().string(), link}) {
    ::setenv(fabric::kRunDirVariable, where.c_str(), 1);
    try {
      fabric::Journal::create(tag_);
      ADD_FAILURE() << "a journal was written in " << where;
    } catch (const OSError& e) {
      EXPECT_NE(std::string(e.what()).find("Refusing to use directory '" + where + "'"), std::string::npos) << e.what();
    }
  }
  EXPECT_TRUE(std::filesystem::is_empty(shared.path()));
  ::setenv(fabric::kRunDirVariable, run_dir_.path().c_str(), 1);
}

}  // namespace
}  // namespace tarvex::testing
