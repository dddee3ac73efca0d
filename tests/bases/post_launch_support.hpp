// Shared set-up of the post-launch tests: a default-constructed worker with
// the process-wide configuration reset, the bases logger at DEBUG while a
// test runs, the messages it logged, and testbeds written as YAML.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvex/log.hpp"
#include "tarvex/morvane/bases/module.hpp"
#include "tarvex/morvane/bases/worker.hpp"
#include "tarvex/utils/yaml.hpp"
#include "test_worker.hpp"
#include "testing/hooks.hpp"

namespace tarvex::morvane::bases {

namespace test_support {

inline Value yaml(std::string_view text) { return tarvex::utils::yaml::load_string(text); }

class PostLaunchTest : public ::testing::Test {
 protected:
  PostLaunchTest() : saved_level_(logger().level()) {
    reset_process_wide_configuration();
    worker._logical_device_keys_to_ignore = LOGICAL_DEVICE_KEYS_TO_IGNORE;
    worker._logical_interface_keys_to_ignore = LOGICAL_INTERFACE_KEYS_TO_IGNORE;
    logger().set_level(log::DEBUG);
  }
  ~PostLaunchTest() override {
    logger().set_level(saved_level_);
    reset_process_wide_configuration();
  }

  // Messages of the bases logger at `level`, in order.
  std::vector<std::string> messages(int level) const {
    std::vector<std::string> out;
    for (const log::Record& record : capture.records()) {
      if (record.logger == logger().name() && record.level == level) out.push_back(record.text);
    }
    return out;
  }
  // Every message of the bases logger as "LEVEL text", in order.
  std::vector<std::string> all_messages() const {
    std::vector<std::string> out;
    for (const log::Record& record : capture.records()) {
      if (record.logger == logger().name()) out.push_back(log::level_name(record.level) + " " + record.text);
    }
    return out;
  }

  tarvex::testing::ExposedWorker worker;
  log::LogCapture capture;

 private:
  static void reset_process_wide_configuration() {
    BringUpWorkerBase::logical_testbed_config = Map{};
    BringUpWorkerBase::static_testbed_config = Map{};
    BringUpBase::logical_devices = List{};
  }

  int saved_level_;
};

}  // namespace test_support
}  // namespace tarvex::morvane::bases
