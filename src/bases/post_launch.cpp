// What a worker does once its backend has brought a topology up: bind the
// logical names to the actual ones, carry the user's content over, merge
// the configurations, and write the final testbed file.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "bases/timing.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/files.hpp"
#include "tarvex/morvane/bases/module.hpp"
#include "tarvex/morvane/bases/worker.hpp"
#include "tarvex/utils/dicts.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::morvane::bases {

namespace {

const Value kDevices("devices");

// The name of the final testbed file: the name given explicitly, else the
// run-information directory's name for the task when run under jobrix,
// else none.
std::optional<std::string> final_tb_yaml_file_name(const BringUpWorkerBase& worker) {
  if (worker.tb_yaml_output_file_name && !worker.tb_yaml_output_file_name->empty()) {
    return worker.tb_yaml_output_file_name;
  }
  if (!worker.jobrix) return std::nullopt;
  if (!worker.runinfo_dir || worker.runinfo_dir->empty()) {
    logger().warning(
        "Not writing the final testbed file: running under jobrix but no run information directory is known.");
    return std::nullopt;
  }
  if (worker.taskid.truthy()) return *worker.runinfo_dir + "/testbed_" + worker.taskid.str() + ".actual.yaml";
  return *worker.runinfo_dir + "/testbed.actual.yaml";
}

}  // namespace

Timing& timing() {
  static Timing pauses;
  return pauses;
}

void BringUpWorkerBase::_process_tb_config(bool add_aliases, bool allow_log_act_content_transfer) {
  if (dev_name_xref.is_none()) throw AssertionError("The physical-to-logical device name xref is not populated.");

  if (add_aliases) {
    _add_device_aliases();
    if (dev_name_xref.truthy()) _add_interface_aliases();
  }

  // Set before the merge, which leaves out the logical devices whose names
  // the orchestrator did not use.
  const Value* devices = testbed_config.find(kDevices);
  if (devices && devices->is_map()) {
    actual_devices = Value(devices->as_map().keys());
  } else {
    logger().debug("No actual devices have come back from the orchestrator.");
  }

  if (logical_testbed_config.truthy()) {
    if (allow_log_act_content_transfer) {
      _populate_intf_name_xref();
      _populate_enhanced_logical_testbed_config();
      _testbed_name_alias_processing(enhanced_logical_testbed_config);
      _merge_testbed_configs(enhanced_logical_testbed_config, testbed_config);
    } else {
      _testbed_name_alias_processing(logical_testbed_config);
      _merge_testbed_configs(logical_testbed_config, testbed_config);
    }
  }

  // The static testbed has the last word.
  tarvex::utils::dicts::recursive_update(testbed_config, static_testbed_config);
}

void BringUpWorkerBase::_write_final_actual_tb_yaml_file() {
  if (!testbed_config.truthy()) return;
  const std::optional<std::string> file_name = final_tb_yaml_file_name(*this);
  if (!file_name) return;
  std::this_thread::sleep_for(timing().final_tb_yaml_write_delay);
  // Written as it is dumped: the text of a large testbed is not held whole.
  tarvex::files::write_file_in_pieces(*file_name, [this](const std::function<void(std::string_view)>& write) {
    tarvex::utils::yaml::dump(testbed_config, write);
  });
  tb_yaml_written = *file_name;
}

}  // namespace tarvex::morvane::bases
