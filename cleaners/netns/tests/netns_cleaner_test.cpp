// The netns readiness cleaner on real namespaces (root): a device is ready
// once its interfaces have carrier and its neighbours answer; one that is
// not is named with what it lacks.
#include <gtest/gtest.h>

#include "support/netns.hpp"
#include "tarvex/morvane/bases/base_cleaner.hpp"
#include "tarvex/morvane/fabric/build.hpp"
#include "tarvex/topology.hpp"

namespace tarvex::testing {
namespace {

namespace fabric = morvane::fabric;

// Runs the cleaner on one device in a child process (it enters the device's
// namespace for good) and returns its error text.
std::string readiness_error(const std::string& ns, const Value& interfaces, const Value& neighbours,
                            double timeout = 1) {
  auto cleaner =
      morvane::bases::MorvaneFactory::make<morvane::bases::BaseCleaner>({}, {{"class", "netns"}, {"timeout", timeout}});
  std::shared_ptr<Object> device =
      topology::Device::class_info().construct({}, {{"name", ns},
                                                    {"alias", "a"},
                                                    {"clean", Value::map({{"netns_path", "/run/netns/" + ns},
                                                                          {"where", "network namespace " + ns},
                                                                          {"interfaces", interfaces},
                                                                          {"neighbours", neighbours}})}});
  Pipe pipe = Pipe::open();
  process::ChildProcess child = process::ChildProcess::fork([&]() -> int {
    try {
      cleaner->clean(static_cast<topology::Device&>(*device));
    } catch (const std::exception& e) {
      process::write_fully(pipe.write.get(), e.what());
      return 1;
    }
    return 0;
  });
  pipe.write.reset();
  child.wait(30.0);
  std::string message;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe.read.get(), buffer, sizeof buffer)) > 0;) message.append(buffer, n);
  return message;
}

TEST(NetnsCleaner, NamesADeviceThatIsNotReadyAndWhatIsMissing) {
  MORVANE_REQUIRE_ROOT();
  PrivateRunDir run_dir;
  const std::string tag = unique_tag("nc");
  const Value testbed = tarvex::utils::yaml::load_string(
      "devices: {a: {type: host, logical: true}, b: {type: host, logical: true}}\n"
      "topology:\n  a: {interfaces: {e: {link: x, ipv4: 10.0.0.1/24}}}\n"
      "  b: {interfaces: {e: {link: x, ipv4: 10.0.0.2/24}}}\n",
      "<test>");
  fabric::Journal journal = fabric::Journal::create(tag);
  fabric::Plan plan = fabric::make_plan(testbed, {"a", "b"}, {tag, tag, journal.run_id(), {"host"}, "netns", {}});
  const std::string ns = plan.devices[0].actual_name;
  fabric::Build build(std::move(plan), std::move(journal));
  AtScopeExit tear_down([&] { build.tear_down(); });
  build.build();

  const Value answering = Value::list({Value::map({{"address", "10.0.0.2"}, {"interface", "eth1"}, {"device", "b"}})});
  // Ready once duplicate address detection is over (a second or two).
  EXPECT_EQ(readiness_error(ns, Value::list({"lo", "eth1"}), answering, 20), "");
  EXPECT_EQ(readiness_error(ns, Value::list({"lo", "eth1", "eth9"}), answering),
            "Device a (network namespace " + ns + ") is not ready after 1 s: eth9 does not exist");
  Value silent = answering;
  silent.as_list().push_back(Value::map({{"address", "10.0.0.99"}, {"interface", "eth1"}, {"device", "ghost"}}));
  EXPECT_EQ(readiness_error(ns, Value::list({"lo", "eth1"}), silent),
            "Device a (network namespace " + ns +
                ") is not ready after 1 s: no answer to a ping of 10.0.0.99 (ghost, "
                "via eth1)");
}

}  // namespace
}  // namespace tarvex::testing
