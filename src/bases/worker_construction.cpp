// Construction of a worker: keyword arguments, the command line, the testbed
// files, the log level, the topology name and the device classification.
#include <algorithm>
#include <filesystem>

#include "bases/testbed_structure.hpp"
#include "morvane/bringup_globals.hpp"
#include "morvane/testbed_file_check.hpp"
#include "tarvex/log.hpp"
#include "tarvex/morvane/bases/module.hpp"
#include "tarvex/morvane/bases/options.hpp"
#include "tarvex/morvane/bases/worker.hpp"
#include "tarvex/utils/utils.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::morvane::bases {

const ClassInfo& BringUpWorkerBase::class_info() {
  static ClassInfo& info = []() -> ClassInfo& {
    using W = BringUpWorkerBase;
    static ClassInfo c("tarvex.morvane.bases.BringUpWorkerBase", &BringUpBase::class_info(), factory_of<W>());
    c.static_field("static_testbed_config", &W::static_testbed_config)
        .static_field("logical_testbed_config", &W::logical_testbed_config)
        .static_field("logical_virtual_devices", &W::logical_virtual_devices)
        .static_field("logical_physical_devices", &W::logical_physical_devices)
        .field("interactive", &W::interactive)
        .field("jobrix", &W::jobrix)
        .field("taskid", &W::taskid)
        .field("runinfo_dir", &W::runinfo_dir)
        .field("topology_name", &W::topology_name)
        .field("testbed_file", &W::testbed_file)
        .field("logical_testbed_file", &W::logical_testbed_file)
        .field("tb_yaml_output_file_name", &W::tb_yaml_output_file_name)
        .readonly("tb_yaml_written", &W::tb_yaml_written)
        .field("skip_teardown", &W::skip_teardown)
        .field("help", &W::help)
        .field("_logical_device_keys_to_ignore", &W::_logical_device_keys_to_ignore)
        .field("_logical_interface_keys_to_ignore", &W::_logical_interface_keys_to_ignore)
        .field("testbed_config", &W::testbed_config)
        .field("dev_name_xref", &W::dev_name_xref)
        .field("dev_intf_xref", &W::dev_intf_xref)
        .field("enhanced_logical_testbed_config", &W::enhanced_logical_testbed_config)
        .field("shutting_down", &W::shutting_down)
        .field("cli_help_details", &W::cli_help_details)
        .field("cli_usage_details", &W::cli_usage_details)
        .field("actual_devices", &W::actual_devices)
        .field("_max_post_launch_wait_min", &W::_max_post_launch_wait_min)
        .method("set_interactive", &W::set_interactive)
        .method("launch_topology", &W::launch_topology)
        .method("update_help", &W::update_help)
        .method("_is_virtual_device", &W::_is_virtual_device)
        .method("_is_physical_device", &W::_is_physical_device)
        .method("_is_logical_device", &W::_is_logical_device)
        .method("_get_logical_devices", &W::_get_logical_devices)
        .method("_get_logical_virtual_devices", &W::_get_logical_virtual_devices)
        .method("_get_logical_physical_devices", &W::_get_logical_physical_devices)
        .method("_get_actual_device_name", &W::_get_actual_device_name)
        .method("_process_tb_config", &W::_process_tb_config, {Value(true), Value(true)});
    c.operation("tear_down_topology", [](Object& self, const List& params) -> Value {
      if (params.size() > 1) throw TypeError("tear_down_topology() takes at most 1 positional argument");
      static_cast<W&>(self).tear_down_topology(
          params.empty() ? true : Convert<bool>::from(params[0], "raise_stored_exception"));
      return Value();
    });
    return c;
  }();
  return info;
}

BringUpWorkerBase::BringUpWorkerBase() = default;

BringUpWorkerBase::~BringUpWorkerBase() {
  auto& instances = utils::bringup_globals().bringup_instances;
  instances.erase(std::remove(instances.begin(), instances.end(), this), instances.end());
}

namespace {

// The last component of a path, as os.path.basename gives it ("" after a
// trailing slash).
std::string last_path_component(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name of the run-information directory: its last component once "."
// and ".." and trailing slashes are resolved ("/runs/42/" is "42").
std::string run_directory_name(const std::string& runinfo_dir) {
  std::error_code ec;
  std::filesystem::path resolved = std::filesystem::absolute(runinfo_dir, ec).lexically_normal();
  if (ec) return last_path_component(runinfo_dir);
  if (!resolved.has_filename()) resolved = resolved.parent_path();
  return resolved.filename().string();
}

std::optional<std::string> optional_text(const Value& v, std::string_view what) {
  return Convert<std::optional<std::string>>::from(v, what);
}

bool non_empty(const std::optional<std::string>& text) { return text && !text->empty(); }

}  // namespace

void BringUpWorkerBase::init(const Args& args, const Kwargs& kwargs) {
  BringUpBase::init(args, kwargs);
  // Clean configurations are process-wide.
  const Value clean = kwarg(kwargs, "clean_config");
  BringUpBase::clean_config = clean.truthy() ? clean : Value(Map{});
  const Value bringup_clean = kwarg(kwargs, "bringup_clean_config");
  BringUpBase::bringup_clean_config = bringup_clean.truthy() ? bringup_clean : Value(Map{});

  read_keyword_arguments(kwargs);
  _logical_device_keys_to_ignore = LOGICAL_DEVICE_KEYS_TO_IGNORE;
  _logical_interface_keys_to_ignore = LOGICAL_INTERFACE_KEYS_TO_IGNORE;
  utils::bringup_globals().bringup_instances.push_back(this);
  merge_command_line();
  load_testbed_files();
  _derive_and_set_log_level();
  log_construction();

  testbed_config = Map{};
  output_clean_config = Map{};
  compute_topology_name();
  dev_name_xref = Map{};
  dev_intf_xref = Map{};
  enhanced_logical_testbed_config = Map{};
  _loop_stored_exception = nullptr;
  shutting_down = false;
  event_loop = event_loop::get_event_loop();
  launch_topology_task.reset();
  tear_down_topology_task.reset();
  cli_help_details.clear();
  cli_usage_details.clear();

  // Device classification, process-wide.
  logical_virtual_devices = Value::list_of(_get_logical_virtual_devices());
  logical_physical_devices = Value::list_of(_get_logical_physical_devices());
  BringUpBase::logical_devices = Value::list_of(_get_logical_devices());

  actual_devices = List{};
  _max_post_launch_wait_min = DEFAULT_MAX_POST_LAUNCH_WAIT_MINUTES;
  apply_option_tables(kwargs);
}

void BringUpWorkerBase::apply_option_tables(const Kwargs& kwargs) {
  std::vector<const WorkerOptions*> tables;
  for (const ClassInfo* cls = &klass(); cls; cls = cls->base()) {
    if (const WorkerOptions* table = options_of(*cls)) tables.insert(tables.begin(), table);
  }
  option_parsers_.clear();
  for (const WorkerOptions* table : tables) {
    option_parsers_.push_back(table->parser());
    table->apply(*this, kwargs, _parse_cli_args(*option_parsers_.back()), BringUpBase::bringup_clean_config);
  }
}

void BringUpWorkerBase::read_keyword_arguments(const Kwargs& kwargs) {
  interactive = Convert<bool>::from(kwarg(kwargs, "interactive", false), "interactive");
  jobrix = Convert<bool>::from(kwarg(kwargs, "jobrix", false), "jobrix");
  taskid = kwarg(kwargs, "taskid");
  runinfo_dir = optional_text(kwarg(kwargs, "runinfo_dir"), "runinfo_dir");
  topology_name = optional_text(kwarg(kwargs, "topology_name"), "topology_name");
  testbed_file = optional_text(kwarg(kwargs, "testbed_file"), "testbed_file");
  logical_testbed_file = optional_text(kwarg(kwargs, "logical_testbed_file"), "logical_testbed_file");
  const Value level = kwarg(kwargs, "bringup_log_level");
  if (level.truthy()) {
    bringup_log_level = level.str();
  } else {
    bringup_log_level.reset();
  }
  tb_yaml_output_file_name = optional_text(kwarg(kwargs, "tb_yaml_output_file_name"), "tb_yaml_output_file_name");
  skip_teardown = Convert<bool>::from(kwarg(kwargs, "skip_teardown", false), "skip_teardown");
  help = false;
}

// The command line's base options replace the keyword arguments.
void BringUpWorkerBase::merge_command_line() {
  base_cli_parser = std::make_unique<utils::ArgvQuotingParser>(
      utils::ArgvQuotingParser::Options{.description = "Options of the bring-up worker:", .add_help = false});
  bringup_base_cli_parser::populate_base_bringup_parser(*base_cli_parser);
  for (const auto& [name, value] : _parse_cli_args(*base_cli_parser)) set_attr(name.str(), value);
  if (bringup_log_level == "None") bringup_log_level.reset();
}

// The static and logical testbeds, process-wide.  A file holding a
// problem that would build something else than it says is refused here,
// before anything is built.
void BringUpWorkerBase::load_testbed_files() {
  log::getLogger("tarvex.utils.yaml.loader").set_level(level_to_set);
  if (non_empty(testbed_file)) {
    TestbedFileCheck check(*testbed_file, TestbedFileCheck::Kind::Static, logger());
    Value content = tarvex::utils::yaml::Loader().load_arbitrary(*testbed_file, check.options());
    check.raise_if_refused();
    // An empty static testbed file means no static configuration, and
    // anything but a mapping cannot be applied to a testbed.
    if (content.is_none()) content = Map{};
    if (!content.is_map()) {
      throw TypeError("Static testbed file '" + *testbed_file + "' does not hold a mapping but a " +
                      content.type_name());
    }
    check_testbed_structure(content, "Static testbed file " + py_repr(*testbed_file));
    static_testbed_config = std::move(content);
  }
  if (non_empty(logical_testbed_file)) {
    TestbedFileCheck check(*logical_testbed_file, TestbedFileCheck::Kind::PlacesDevices, logger());
    Value content = tarvex::utils::yaml::Loader().load(*logical_testbed_file, check.options());
    check.raise_if_refused();
    check_testbed_structure(content, "Logical testbed file " + py_repr(*logical_testbed_file));
    logical_testbed_config = std::move(content);
  }
}

void BringUpWorkerBase::log_construction() const {
  if (!logger().is_enabled_for(log::DEBUG)) return;
  logger().debug(log::utils::banner("BringUpWorkerBase instantiated."));
  logger().debug(fmt::format(
      "interactive={}\njobrix={}\ntaskid={}\nruninfo_dir={}\ntestbed_file={}\nlogical_testbed_file={}\n"
      "clean_config={}\nbringup_clean_config={}\nbringup_log_level={}\ntb_yaml_output_file_name={}\n"
      "skip_teardown={}",
      Value(interactive), Value(jobrix), taskid, Convert<std::optional<std::string>>::to(runinfo_dir),
      Convert<std::optional<std::string>>::to(testbed_file),
      Convert<std::optional<std::string>>::to(logical_testbed_file), BringUpBase::clean_config.pformat(),
      BringUpBase::bringup_clean_config.pformat(), Convert<std::optional<std::string>>::to(bringup_log_level),
      Convert<std::optional<std::string>>::to(tb_yaml_output_file_name), Value(skip_teardown)));
}

void BringUpWorkerBase::compute_topology_name() {
  const std::string timestamp = tarvex::utils::utils::get_time().strftime(TIME_FORMAT);
  std::string name;
  if (jobrix) {
    const std::string task_suffix = taskid.truthy() ? "_" + taskid.str() : "";
    if (non_empty(topology_name)) {
      name = *topology_name + "_" + timestamp + task_suffix;
    } else {
      if (!runinfo_dir) throw TypeError("A topology launched from jobrix without a topology_name needs a runinfo_dir");
      name = run_directory_name(*runinfo_dir) + task_suffix;
    }
  } else {
    std::string prefix;
    if (non_empty(topology_name)) {
      prefix = *topology_name;
    } else {
      const std::vector<std::string> argv = utils::command_line();
      const std::string program = argv.empty() ? std::string() : argv[0];
      const std::size_t start = program.find_first_not_of(" \t\n\r\f\v");
      if (start == std::string::npos) {
        throw IndexError("The program path is blank: no topology name can be derived from it");
      }
      const std::size_t end = program.find_first_of(" \t\n\r\f\v", start);
      prefix = last_path_component(program.substr(start, end - start));
    }
    name = prefix + "_" + timestamp;
  }
  std::replace(name.begin(), name.end(), ':', '_');
  // Backends name files and directories after the topology: the name must
  // stay one path component whatever the user gave.
  std::replace(name.begin(), name.end(), '/', '_');
  std::replace(name.begin(), name.end(), '\0', '_');
  if (name.empty() || name == "." || name == "..") name = "topology";
  topology_name = name;
}

Map BringUpWorkerBase::_parse_cli_args(utils::ArgvQuotingParser& parser) {
  try {
    return utils::parse_cli_args(parser);
  } catch (const std::exception&) {
    parser.print_usage();
    _raise_exception(std::current_exception());
  }
}

}  // namespace tarvex::morvane::bases
