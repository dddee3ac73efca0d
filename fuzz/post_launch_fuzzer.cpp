// The post-launch processing on arbitrary testbeds: a YAML document with the
// logical testbed, the backend's testbed, the static testbed, the device
// name cross-reference and the processing flags (the shape of the
// post-launch test fixtures).  The processing may refuse a broken testbed
// with an error; it must never crash, and what it produces must dump to
// YAML that loads back to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tarvex/log.hpp"
#include "tarvex/morvane/bases.hpp"
#include "tarvex/utils/yaml.hpp"

using tarvex::Value;
using tarvex::morvane::bases::BringUpBase;
using tarvex::morvane::bases::BringUpWorkerBase;

namespace {

// A backend whose post-launch processing the fuzzer runs by itself.
class FuzzWorker : public BringUpWorkerBase {
 public:
  using BringUpWorkerBase::_logical_device_keys_to_ignore;
  using BringUpWorkerBase::_logical_interface_keys_to_ignore;
  using BringUpWorkerBase::_process_tb_config;
};

Value section(const Value& input, const char* key) {
  const Value* found = input.find(key);
  return found ? *found : Value(tarvex::Map{});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    tarvex::log::getLogger("").set_level(tarvex::log::CRITICAL);
    tarvex::morvane::bases::logger().set_level(tarvex::log::CRITICAL);
    return true;
  }();
  (void)quiet;
  Value input;
  try {
    input = tarvex::utils::yaml::load_string(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const std::exception&) {
    return 0;
  }
  if (!input.is_map()) return 0;

  FuzzWorker worker;
  worker._logical_device_keys_to_ignore = tarvex::morvane::bases::LOGICAL_DEVICE_KEYS_TO_IGNORE;
  worker._logical_interface_keys_to_ignore = tarvex::morvane::bases::LOGICAL_INTERFACE_KEYS_TO_IGNORE;
  BringUpWorkerBase::logical_testbed_config = section(input, "logical");
  BringUpWorkerBase::static_testbed_config = section(input, "static");
  BringUpBase::logical_devices = input.get("logical_devices", tarvex::List{});
  worker.testbed_config = section(input, "backend");
  worker.dev_name_xref = input.get("dev_name_xref", tarvex::Map{});
  try {
    worker._process_tb_config(input.get("add_aliases", true).truthy(),
                              input.get("allow_log_act_content_transfer", true).truthy());
  } catch (const std::exception&) {
    return 0;  // a broken testbed is refused, which is fine
  }
  // What the processing produced is written as the final testbed: it must
  // read back as it is.
  std::string text;
  try {
    text = tarvex::utils::yaml::dump(worker.testbed_config);
  } catch (const tarvex::utils::yaml::YAMLError&) {
    return 0;  // text that YAML cannot carry, refused with an error
  }
  // (NaN is not equal to itself: such a testbed is not compared.)
  if (text.find(".nan") == std::string::npos && !(tarvex::utils::yaml::load_string(text) == worker.testbed_config)) {
    std::abort();
  }
  return 0;
}
