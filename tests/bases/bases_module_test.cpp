#include <gtest/gtest.h>

#include "tarvex/log.hpp"
#include "tarvex/morvane/bases.hpp"
#include "tarvex/registry.hpp"

namespace tarvex::morvane::bases {
namespace {

// A bring-up implementation that records its calls and its log level.
class RecordingBringUp : public BringUpBase {
  TARVEX_OBJECT(RecordingBringUp)

 public:
  void launch_topology() override { calls.push_back("launch"); }
  void tear_down_topology() override { calls.push_back("teardown"); }
  void _set_log_level(int level) override { set_level = level; }
  using BringUpBase::_derive_and_set_log_level;
  std::vector<std::string> calls;
  int set_level = -1;
};

const ClassInfo& RecordingBringUp::class_info() {
  static ClassInfo info("tests.RecordingBringUp", &BringUpBase::class_info(), factory_of<RecordingBringUp>());
  return info;
}

class BasesModule : public ::testing::Test {
 protected:
  void SetUp() override {
    BringUpBase::bringup_clean_config = Value();
    BringUpBase::logical_devices = List{};
    logger().set_level(log::DEBUG);
  }
  void TearDown() override {
    BringUpBase::bringup_clean_config = Value();
    BringUpBase::logical_devices = List{};
    logger().set_level(log::WARNING);
  }
};

struct LevelCase {
  std::optional<std::string> argument;
  Value clean_config;
  int expected;
  bool lookup_message;
};

TEST_F(BasesModule, LogLevelIsDerivedFromArgumentThenCleanConfiguration) {
  const LevelCase cases[] = {
      {"DEBUG", Value(), log::DEBUG, true},
      {"Warning", Value::map({}), log::WARNING, true},
      {"verbose", Value::map({{"log_level", "error"}}), log::INFO, false},
      {std::nullopt, Value::map({{"log_level", "Critical"}}), log::CRITICAL, false},
      {std::nullopt, Value::map({{"log_level", ""}}), log::INFO, false},
      {std::nullopt, Value(), log::INFO, true},
      {"", Value::map({{"log_level", "error"}}), log::ERROR, false},
  };
  for (const LevelCase& c : cases) {
    log::LogCapture capture;
    auto bringup = create<RecordingBringUp>();
    bringup->bringup_log_level = c.argument;
    BringUpBase::bringup_clean_config = c.clean_config;
    bringup->_derive_and_set_log_level();
    EXPECT_EQ(bringup->set_level, c.expected) << c.argument.value_or("<none>");
    EXPECT_EQ(capture.contains(log::DEBUG, "Did not find bringup/log_level in clean configuration."), c.lookup_message)
        << c.argument.value_or("<none>");
    EXPECT_EQ(log::getLogger("tarvex.event_loop").level(), c.expected == log::DEBUG ? log::INFO : log::WARNING);
  }
}

TEST_F(BasesModule, ANonTextLevelInTheCleanConfigurationFails) {
  auto bringup = create<RecordingBringUp>();
  BringUpBase::bringup_clean_config = Value::map({{"log_level", 10}});
  EXPECT_THROW(bringup->_derive_and_set_log_level(), AttributeError);
}

TEST_F(BasesModule, ContextWithoutLogicalDevicesNeitherLaunchesNorTearsDown) {
  log::LogCapture capture;
  auto bringup = create<RecordingBringUp>();
  { Context context(*bringup); }
  EXPECT_TRUE(bringup->calls.empty());
  EXPECT_TRUE(bringup->called_as_context_mgr);
  EXPECT_EQ(capture.texts(log::INFO),
            (std::vector<std::string>{"Launching dynamic topology ...", "Tearing down dynamic topology ..."}));
}

TEST_F(BasesModule, AnErrorInTheContextTearsDownThenPropagatesUnchanged) {
  BringUpBase::logical_devices = Value::list({"R1"});
  auto bringup = create<RecordingBringUp>();
  EXPECT_THROW(with_context(*bringup, [](RecordingBringUp&) { throw KeyError("'x'"); }), KeyError);
  EXPECT_EQ(bringup->calls, (std::vector<std::string>{"launch", "teardown"}));

  auto guarded = create<RecordingBringUp>();
  try {
    Context context(*guarded);
    throw ValueError("inside");
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "inside");
  }
  EXPECT_EQ(guarded->calls, (std::vector<std::string>{"launch", "teardown"}));
}

TEST_F(BasesModule, TheBaseItselfImplementsNothing) {
  struct Base : BringUpBase {
    using BringUpBase::_set_log_level;
  };
  BringUpBase::logical_devices = Value::list({"R1"});
  auto base = create<Base>();
  EXPECT_THROW(base->enter(), NotImplementedError);
  EXPECT_THROW(base->exit(nullptr), NotImplementedError);
  EXPECT_THROW(base->_set_log_level(log::INFO), NotImplementedError);
}

// Cleaner classes A and B (a subclass of A), and C outside the hierarchy.
class CleanerA : public BaseCleaner {
  TARVEX_OBJECT(CleanerA)
};
class CleanerB : public CleanerA {
  TARVEX_OBJECT(CleanerB)
};
const ClassInfo& CleanerA::class_info() {
  static ClassInfo info("tests.CleanerA", &BaseCleaner::class_info(), factory_of<CleanerA>());
  return info;
}
const ClassInfo& CleanerB::class_info() {
  static ClassInfo info("tests.CleanerB", &CleanerA::class_info(), factory_of<CleanerB>());
  return info;
}
TARVEX_REGISTER_CLASS(cleaner_classes(), CleanerB, "tests-cleaner-b");

TEST(MorvaneFactory, TheClassKeywordSelectsASubclass) {
  auto b = MorvaneFactory::call(CleanerA::class_info(), {}, Kwargs{{"class", Value(CleanerB::class_info())}, {"x", 1}});
  EXPECT_EQ(&b->klass(), &CleanerB::class_info());
  EXPECT_EQ(b->get_attr("x"), Value(1));
  EXPECT_FALSE(b->has_attr("class"));

  auto a = MorvaneFactory::call(CleanerA::class_info(), {}, Kwargs{{"class", Value(CleanerA::class_info())}});
  EXPECT_EQ(&a->klass(), &CleanerA::class_info());

  auto by_name = MorvaneFactory::make<BaseCleaner>({}, Kwargs{{"class", "tests-cleaner-b"}, {"delay", 0.5}});
  EXPECT_EQ(&by_name->klass(), &CleanerB::class_info());
  EXPECT_EQ(by_name->get_attr("delay"), Value(0.5));
}

TEST(MorvaneFactory, AClassOutsideTheHierarchyIsATypeError) {
  try {
    MorvaneFactory::call(CleanerB::class_info(), {}, Kwargs{{"class", Value(CleanerA::class_info())}});
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "'tests.CleanerA' is not a subclass of class 'tests.CleanerB'");
  }
  EXPECT_THROW(MorvaneFactory::call(CleanerA::class_info(), {}, Kwargs{{"class", 5}}), TypeError);
}

TEST(BaseCleaner, KeywordsBecomeAttributesInOrder) {
  auto cleaner = MorvaneFactory::make<BaseCleaner>({}, Kwargs{{"b", 2}, {"a", 1}});
  EXPECT_EQ(cleaner->instance_attrs().keys(), (std::vector<Value>{"b", "a"}));
  auto device = topology::Device::class_info().construct({}, Kwargs{{"name", "R1"}});
  cleaner->clean(static_cast<topology::Device&>(*device));  // does nothing
}

}  // namespace
}  // namespace tarvex::morvane::bases
