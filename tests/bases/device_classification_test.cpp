#include <gtest/gtest.h>

#include "tarvex/utils/yaml.hpp"
#include "worker_fixture.hpp"

namespace tarvex::testing {
namespace {

using morvane::bases::BringUpWorkerBase;

class DeviceClassification : public WorkerTest {
 protected:
  void SetUp() override {
    WorkerTest::SetUp();
    morvane::bases::logger().set_level(log::DEBUG);
  }
  ExposedWorker worker;  // default-constructed: only the lookups are used
};

constexpr const char* kNoType = "Did not find a devices or device type key in the testbed configuration.";

TEST_F(DeviceClassification, WithoutALogicalTestbedEverythingIsEmptyAndPhysical) {
  for (const Value& config : {Value(), Value(Map{}), Value::map({{"testbed", Value::map({})}})}) {
    BringUpWorkerBase::logical_testbed_config = config;
    EXPECT_TRUE(worker._get_logical_devices().empty());
    EXPECT_TRUE(worker._get_logical_virtual_devices().empty());
    EXPECT_TRUE(worker._get_logical_physical_devices().empty());
    EXPECT_TRUE(worker._is_physical_device("anything"));
  }
}

TEST_F(DeviceClassification, ListsAreSortedAndFilteredByLogicalThenType) {
  BringUpWorkerBase::logical_testbed_config = tarvex::utils::yaml::load_string(R"(
devices:
  r9: {type: router, logical: true}
  R10: {type: router, logical: true}
  R2: {type: switch, logical: true}
  NoType: {logical: true}
  Off: {type: router, logical: false}
  Static: {type: router}
  Empty:
)");
  log::LogCapture capture;
  EXPECT_EQ(worker._get_logical_devices(), (std::vector<std::string>{"NoType", "R10", "R2", "r9"}));
  EXPECT_EQ(worker._get_logical_virtual_devices(), (std::vector<std::string>{"R10", "R2", "r9"}));
  EXPECT_EQ(worker._get_logical_physical_devices(), (std::vector<std::string>{"NoType"}));
  // The device without a type is classified twice, once per typed list.
  EXPECT_EQ(capture.count(kNoType), 2u);
  EXPECT_EQ(capture.count("Did not find device Empty in the testbed configuration."), 3u);
}

TEST_F(DeviceClassification, LogicalValueIsReturnedAsStored) {
  BringUpWorkerBase::logical_testbed_config =
      Value::map({{"devices", Value::map({{"A", Value::map({{"logical", "yes please"}})}})}});
  EXPECT_EQ(worker._is_logical_device("A"), Value("yes please"));
  log::LogCapture capture;
  EXPECT_EQ(worker._is_logical_device("B"), Value(false));
  EXPECT_TRUE(capture.contains(log::WARNING, "Did not find device B in the testbed configuration."));
}

TEST_F(DeviceClassification, ActualNameIsTheFirstEnteredForALogicalName) {
  worker.dev_name_xref = Value::map({{"act-2", "L1"}, {"act-1", "L1"}, {"act-3", "L3"}});
  EXPECT_EQ(worker._get_actual_device_name("L1"), Value("act-2"));
  EXPECT_EQ(worker._get_actual_device_name("L2"), Value());
}

TEST_F(DeviceClassification, InterfacePresentByNameOrAlias) {
  const Value interfaces = Value::map({{"eth1", Value::map({{"alias", "Gi1"}})}, {"eth2", Value::map({})}});
  EXPECT_TRUE(worker._interface_is_present("eth2", interfaces));
  EXPECT_TRUE(worker._interface_is_present("Gi1", interfaces));
  EXPECT_FALSE(worker._interface_is_present("Gi2", interfaces));
  EXPECT_THROW(worker._interface_is_present("x", Value::map({{"eth1", Value()}})), TypeError);
}

}  // namespace
}  // namespace tarvex::testing
