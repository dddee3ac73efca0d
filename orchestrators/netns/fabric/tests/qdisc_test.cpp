// Impairments in the kernel (root): qdiscs on one end of a veth pair
// between two namespaces of the test's own, measured with real traffic.
#include "tarvex/morvane/fabric/qdisc.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "namespace_pair.hpp"
#include "tarvex/exceptions.hpp"

namespace tarvex::morvane::fabric {
namespace {

using testing::NamespacePair;
using testing::NetlinkIn;
using testing::ping;

Impairment declared(const char* text) {
  std::vector<std::string> problems;
  const Impairment impairment = parse_impairment_text(text, "test", problems);
  EXPECT_TRUE(problems.empty()) << text;
  return impairment;
}

// Applies and returns how long the call took: when it returns, the kernel
// has acknowledged every qdisc.
double timed_apply(const NetlinkIn& side, const Impairment& impairment) {
  const auto start = std::chrono::steady_clock::now();
  apply_impairment(side.sock(), side.ifindex(), impairment, "interface 'va'");
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  std::printf("[ measured ] apply %-60s %.3f ms\n", impairment.text().c_str(), took.count());
  return took.count();
}

Impairment current(const NetlinkIn& side) { return read_impairment(side.sock(), side.ifindex(), "interface 'va'"); }

// Whether the kernel has netem, tried on the test's own interface: some
// virtual machines' kernels are built without it (CONFIG_NET_SCH_NETEM).
bool kernel_has_netem(const NetlinkIn& side) {
  try {
    apply_impairment(side.sock(), side.ifindex(), declared("delay=1ms"), "interface 'va'");
  } catch (const RuntimeError& e) {
    if (std::string(e.what()).find("this kernel has no netem qdisc") != std::string::npos) return false;
    throw;
  }
  clear_impairment(side.sock(), side.ifindex(), "interface 'va'");
  return true;
}

// Skips a test that needs netem on a kernel without it; fails it instead
// where MORVANE_REQUIRE_NETEM is set, so that a machine meant to measure
// impairments is not skipped unnoticed.
#define MORVANE_REQUIRE_NETEM(side)                                                                    \
  do {                                                                                                 \
    if (!kernel_has_netem(side)) {                                                                     \
      if (std::getenv("MORVANE_REQUIRE_NETEM")) FAIL() << "netem is required (MORVANE_REQUIRE_NETEM)"; \
      GTEST_SKIP() << "this kernel has no netem qdisc (CONFIG_NET_SCH_NETEM, module sch_netem)";       \
    }                                                                                                  \
  } while (0)

TEST(Qdisc, DelayChangesAndClearsInRoundTrips) {
  MORVANE_REQUIRE_ROOT();
  NamespacePair pair;
  NetlinkIn va(pair.a(), "va");
  MORVANE_REQUIRE_NETEM(va);
  EXPECT_TRUE(current(va).empty());
  // Unimpaired, a round trip takes well under a millisecond (a few in an
  // emulated machine); half the smaller delay below tells them apart.
  EXPECT_LT(ping(pair.a(), NamespacePair::kAddressB, 5, "0.02").average_ms, 5.0);

  // The delay is on va's egress: each echo request waits, the reply does not.
  struct Step {
    const char* impairment;
    double low_ms, high_ms;  // within 20 %
  };
  for (const Step& step : {Step{"delay=50ms", 40, 60}, Step{"delay=10ms", 8, 12}}) {
    const Impairment impairment = declared(step.impairment);
    timed_apply(va, impairment);
    EXPECT_EQ(current(va), impairment) << step.impairment;
    const testing::PingSummary summary = ping(pair.a(), NamespacePair::kAddressB, 10, "0.02");
    EXPECT_EQ(summary.received, 10) << step.impairment;
    std::printf("[ measured ] %s: ping RTT %.3f ms\n", step.impairment, summary.average_ms);
    EXPECT_GE(summary.average_ms, step.low_ms) << step.impairment;
    EXPECT_LE(summary.average_ms, step.high_ms) << step.impairment;
  }

  clear_impairment(va.sock(), va.ifindex(), "interface 'va'");
  EXPECT_TRUE(current(va).empty());
  const double cleared_ms = ping(pair.a(), NamespacePair::kAddressB, 10, "0.02").average_ms;
  std::printf("[ measured ] cleared: ping RTT %.3f ms\n", cleared_ms);
  EXPECT_LT(cleared_ms, 5.0);
  // Clearing again finds nothing to remove, which is no error; an empty
  // impairment clears too.
  clear_impairment(va.sock(), va.ifindex(), "interface 'va'");
  apply_impairment(va.sock(), va.ifindex(), Impairment{}, "interface 'va'");
}

TEST(Qdisc, LossLandsWithinSixSigmas) {
  MORVANE_REQUIRE_ROOT();
  NamespacePair pair;
  NetlinkIn va(pair.a(), "va");
  MORVANE_REQUIRE_NETEM(va);
  timed_apply(va, declared("loss=30%"));
  // Each request is dropped independently with p = 0.3 (replies leave vb,
  // which is not impaired): over n = 1000 the losses are binomial, sigma =
  // sqrt(n p (1 - p)) = 14.5 packets = 1.45 %.  Six sigmas either side
  // (21.3 % to 38.7 %) fail by chance about twice in a billion runs, and
  // still catch a probability off by a third.
  const testing::PingSummary summary = ping(pair.a(), NamespacePair::kAddressB, 1000, "0.002");
  ASSERT_EQ(summary.transmitted, 1000);
  const double sigma = 100.0 * std::sqrt(0.3 * 0.7 / 1000);
  std::printf("[ measured ] loss 30%%: %.1f%% of 1000 lost\n", summary.loss_percent());
  EXPECT_GE(summary.loss_percent(), 30 - 6 * sigma);
  EXPECT_LE(summary.loss_percent(), 30 + 6 * sigma);
}

// Sends 2.5 MB (2 s at 10 Mbit/s) from a to b and checks the goodput is
// within 15 % of the rate; TCP's headers (66 bytes a 1514-byte frame) cost
// 4.4 % of it.
void expect_shaped_to_10mbit(const NamespacePair& pair, const NetlinkIn& va, const char* text) {
  const Impairment impairment = declared(text);
  timed_apply(va, impairment);
  EXPECT_EQ(current(va), impairment) << text;
  const double goodput = testing::tcp_goodput(pair.a(), pair.b(), NamespacePair::kAddressB, 2'500'000);
  std::printf("[ measured ] %s: %.2f Mbit/s\n", text, goodput / 1e6);
  EXPECT_GE(goodput, 8.5e6) << text;
  EXPECT_LE(goodput, 11.5e6) << text;
}

TEST(Qdisc, RateShapesATcpTransfer) {
  MORVANE_REQUIRE_ROOT();
  NamespacePair pair;
  NetlinkIn va(pair.a(), "va");
  // Unshaped, a veth pair carries far more, so the bound is the shaper's.
  const double unshaped = testing::tcp_goodput(pair.a(), pair.b(), NamespacePair::kAddressB, 25'000'000);
  std::printf("[ measured ] unshaped: %.1f Mbit/s\n", unshaped / 1e6);
  EXPECT_GT(unshaped, 100e6);
  expect_shaped_to_10mbit(pair, va, "rate=10mbit");
  // Another rate replaces the shaper (tbf roots take turns between two
  // handles), and the least and the most it takes read back exactly.
  for (const char* text : {"rate=8kbit", "rate=17.179869176gbit", "rate=1gbit"}) {
    const Impairment impairment = declared(text);
    timed_apply(va, impairment);
    EXPECT_EQ(current(va), impairment) << text;
  }
  clear_impairment(va.sock(), va.ifindex(), "interface 'va'");
  EXPECT_TRUE(current(va).empty());
}

TEST(Qdisc, RateWithDelayShapesATcpTransfer) {
  MORVANE_REQUIRE_ROOT();
  NamespacePair pair;
  NetlinkIn va(pair.a(), "va");
  MORVANE_REQUIRE_NETEM(va);
  // tbf with netem under it.
  expect_shaped_to_10mbit(pair, va, "rate=10mbit delay=5ms");
}

TEST(Qdisc, ReplacesAcrossShapesAndReadsBack) {
  MORVANE_REQUIRE_ROOT();
  NamespacePair pair;
  NetlinkIn va(pair.a(), "va");
  MORVANE_REQUIRE_NETEM(va);
  // Each step grafts a new tree, whatever the one before: netem alone, tbf
  // with netem, tbf alone, and netem settings that must not outlive the step
  // that set them (a change in place would keep the corruption).
  const char* steps[] = {
      "delay=20ms jitter=2ms loss=0.5% duplicate=0.1% corrupt=0.01% reorder=1%",
      "delay=20ms jitter=2ms loss=0.5% duplicate=0.1% corrupt=0.01% reorder=1% rate=100mbit",
      "rate=1gbit",
      "delay=1ms corrupt=5%",
      "delay=1ms",
      "loss=1% rate=17.179869176gbit",
      "delay=274.877904s",
      "delay=2ms rate=8kbit",
      "delay=3ms",
  };
  std::vector<double> took;
  for (const char* text : steps) {
    const Impairment impairment = declared(text);
    took.push_back(timed_apply(va, impairment));
    EXPECT_EQ(current(va).text(), impairment.text()) << text;
  }
  // The kernel answers within a millisecond or so; the median keeps a busy
  // machine's outlier from deciding.
  std::sort(took.begin(), took.end());
  std::printf("[ measured ] apply: median %.3f ms, max %.3f ms\n", took[took.size() / 2], took.back());
  EXPECT_LT(took[took.size() / 2], 10.0);
  // Traffic still flows through the last one.
  EXPECT_EQ(ping(pair.a(), NamespacePair::kAddressB, 3, "0.02").received, 3);
}

TEST(Qdisc, ErrorsNameTheInterface) {
  MORVANE_REQUIRE_ROOT();
  NamespacePair pair;
  NetlinkIn va(pair.a(), "va");
  const int missing = 0x7ffffff0;
  for (const char* text : {"delay=1ms", "rate=1mbit", "rate=1mbit loss=1%"}) {
    try {
      apply_impairment(va.sock(), missing, declared(text), "interface 'gone' of device 'r9'");
      ADD_FAILURE() << text << " was applied to a missing interface";
    } catch (const RuntimeError& e) {
      EXPECT_NE(std::string(e.what()).find("interface 'gone' of device 'r9'"), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(clear_impairment(va.sock(), missing, "interface 'gone'"), RuntimeError);
  EXPECT_TRUE(read_impairment(va.sock(), missing, "interface 'gone'").empty());
  // The real interface was never touched.
  EXPECT_TRUE(current(va).empty());
}

}  // namespace
}  // namespace tarvex::morvane::fabric
