#include "tarvex/morvane/bringup_signals.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include "morvane/bringup_globals.hpp"
#include "support/child.hpp"
#include "tarvex/signals.hpp"

namespace tarvex::morvane {
namespace {

// A bring-up object as the signal policy and the teardown of all topologies
// see it: a "shutting_down" attribute and a tear_down_topology operation.
class FakeBringUp : public Object {
  TARVEX_OBJECT(FakeBringUp)

 public:
  void tear_down_topology() {
    ++teardowns;
    if (fail) throw RuntimeError("teardown of " + name + " failed");
  }
  bool shutting_down = false;
  bool fail = false;
  int teardowns = 0;
  std::string name;
};

const ClassInfo& FakeBringUp::class_info() {
  static ClassInfo& info = []() -> ClassInfo& {
    static ClassInfo c("tests.FakeBringUp", nullptr, factory_of<FakeBringUp>());
    c.field("shutting_down", &FakeBringUp::shutting_down)
        .method("tear_down_topology", &FakeBringUp::tear_down_topology);
    return c;
  }();
  return info;
}

// Registers objects as live bring-up instances for one test.
class Registered {
 public:
  explicit Registered(std::vector<Object*> objects) : objects_(std::move(objects)) {
    for (Object* o : objects_) utils::bringup_globals().bringup_instances.push_back(o);
  }
  ~Registered() {
    auto& live = utils::bringup_globals().bringup_instances;
    for (Object* o : objects_) live.erase(std::remove(live.begin(), live.end(), o), live.end());
  }

 private:
  std::vector<Object*> objects_;
};

TEST(BringupSignals, ASignalBecomesASignalErrorUnlessATeardownRuns) {
  const testing::ChildResult result = testing::run_in_child([](int) -> std::string {
    FakeBringUp worker;
    Registered registered({&worker});
    bringup_signals::install_signal_handlers();
    std::string out;
    ::raise(SIGTERM);
    try {
      signals::raise_if_pending();
      out += "nothing;";
    } catch (const bringup_signals::SignalError& e) {
      out += std::to_string(e.signum()) + ":" + e.what() + ";";
    }
    worker.shutting_down = true;
    ::raise(SIGINT);
    signals::raise_if_pending();  // ignored while tearing down
    out += "ignored";
    return out;
  });
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "15:signal SIGTERM (15);ignored");
}

TEST(TearDownAllTopologies, TearsDownEveryInstanceAndRaisesTheFirstFailure) {
  FakeBringUp a, b, c;
  a.name = "a";
  b.name = "b";
  b.fail = true;
  c.name = "c";
  Registered registered({&a, &b, &c});
  try {
    utils::tear_down_all_topologies();
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_STREQ(e.what(), "teardown of b failed");
  }
  EXPECT_EQ(a.teardowns + b.teardowns + c.teardowns, 3);  // c still torn down after b failed
}

}  // namespace
}  // namespace tarvex::morvane
