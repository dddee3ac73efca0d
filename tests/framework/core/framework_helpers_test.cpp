#include <gtest/gtest.h>

#include "support/pattern.hpp"
#include "tarvex/datastructures.hpp"
#include "tarvex/topology.hpp"
#include "tarvex/utils/dicts.hpp"
#include "tarvex/utils/utils.hpp"
#include "tarvex/warnings.hpp"

namespace tarvex {
namespace {

TEST(RecursiveUpdate, MergesNestedMapsAndReplacesEverythingElse) {
  Value target = Value::map({{"devices", Value::map({{"R1", Value::map({{"type", "router"}, {"os", "a"}})}})},
                             {"list", Value::list({1, 2})}});
  const Value source =
      Value::map({{"devices", Value::map({{"R1", Value::map({{"os", "b"}})}, {"R2", 1}})}, {"list", Value::list({3})}});
  utils::dicts::recursive_update(target, source);
  EXPECT_EQ(target,
            Value::map({{"devices", Value::map({{"R1", Value::map({{"type", "router"}, {"os", "b"}})}, {"R2", 1}})},
                        {"list", Value::list({3})}}));
  Value leaf = 1;
  EXPECT_THROW(utils::dicts::recursive_update(leaf, source), TypeError);
}

TEST(GetTime, FormatsMicrosecondsAndPlainDirectives) {
  const auto when = std::chrono::system_clock::from_time_t(0) + std::chrono::microseconds(123456);
  const std::string text = utils::utils::Time(when).strftime("%Y%b%d_%H:%M:%S.%f %%f");
  EXPECT_TRUE(testing::matches("19##@@@##_##:##:##.123456 %f", text)) << text;
  EXPECT_EQ(utils::utils::get_time().strftime("%f").size(), 6u);
}

TEST(Device, KeywordsBecomeAttributesAndCleanIsAMapping) {
  auto device = topology::Device::class_info().construct(
      {}, Kwargs{{"name", "R1"}, {"clean", Value::map({{"a", 1}})}, {"type", "router"}, {"alias", "L1"}});
  EXPECT_EQ(device->get_attr("name"), Value("R1"));
  EXPECT_EQ(device->get_attr("type"), Value("router"));
  EXPECT_EQ(device->get_attr("clean"), Value::map({{"a", 1}}));
  auto bare = topology::Device::class_info().construct({}, Kwargs{{"name", "R2"}});
  EXPECT_EQ(bare->get_attr("clean"), Value(Map{}));
  EXPECT_THROW(topology::Device::class_info().construct({}, Kwargs{{"type", "x"}}), TypeError);
  EXPECT_THROW(topology::Device::class_info().construct({}, Kwargs{{"name", "R3"}, {"clean", 1}}), TypeError);
}

TEST(AttrDict, ReadsKeysAsAttributes) {
  const datastructures::AttrDict settings(Value::map({{"timeout", 5}}));
  EXPECT_EQ(settings.attr("timeout"), Value(5));
  EXPECT_THROW(settings.attr("missing"), AttributeError);
  EXPECT_THROW(datastructures::AttrDict(Value("text")), TypeError);
}

TEST(Warnings, AreCapturedApartFromTheLog) {
  warnings::WarningCapture capture;
  warnings::warn("Attempt 6 out of 30 to launch bringup worker server");
  ASSERT_EQ(capture.warnings().size(), 1u);
  EXPECT_EQ(capture.warnings()[0].category, "RuntimeWarning");
  EXPECT_EQ(capture.messages()[0], "Attempt 6 out of 30 to launch bringup worker server");
}

}  // namespace
}  // namespace tarvex
