// Construction of the manager: keyword and command-line arguments, the clean
// configuration, and the resolution of the worker class.  Nothing is
// started here.
#include <unistd.h>

#include <csignal>

#include "orvanta/worker_link.hpp"
#include "tarvex/log.hpp"
#include "tarvex/morvane/bases/help.hpp"
#include "tarvex/morvane/bases/options.hpp"
#include "tarvex/morvane/exceptions.hpp"
#include "tarvex/morvane/loader.hpp"
#include "tarvex/morvane/orvanta.hpp"
#include "tarvex/morvane/schema.hpp"
#include "tarvex/registry.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::morvane::orvanta {

using bases::BringUpBase;
using bases::BringUpWorkerBase;

const ClassInfo& BringUp::class_info() {
  static ClassInfo& info = []() -> ClassInfo& {
    static ClassInfo c("tarvex.morvane.orvanta.BringUp", &BringUpBase::class_info(), factory_of<BringUp>());
    c.field("orchestrator", &BringUp::orchestrator)
        .field("clean_files", &BringUp::clean_files)
        .field("_hostname", &BringUp::_hostname)
        .property("_isserverstarted", &BringUp::isserverstarted)
        .property("_serverpid", &BringUp::serverpid)
        .readonly("manager_cli_help_details", &BringUp::manager_cli_help_details)
        .readonly("manager_cli_usage_details", &BringUp::manager_cli_usage_details)
        .readonly("bringup_args", &BringUp::bringup_args)
        .readonly("bringup_kwargs", &BringUp::bringup_kwargs)
        .readonly("debug", &BringUp::debug)
        .property("topology_config", &BringUp::topology_config)
        .property("output_clean_config", static_cast<Value (BringUp::*)() const>(&BringUp::output_clean_config))
        .property("cli_usage_details", &BringUp::cli_usage_details)
        .property("topology_name", &BringUp::topology_name)
        .property("tb_yaml_written", &BringUp::tb_yaml_written)
        .property("cli_help_details", &BringUp::cli_help_details)
        .property("help", &BringUp::help)
        .property("logical_devices", &BringUp::logical_devices)
        .method("update_help", &BringUp::update_help)
        .method("launch_topology", &BringUp::launch_topology);
    c.property("_serverport", static_cast<std::int32_t (BringUp::*)() const>(&BringUp::_serverport));
    c.property("interactive", static_cast<Value (BringUp::*)() const>(&BringUp::interactive));
    c.operation("tear_down_topology", [](Object& self, const List&) {
      static_cast<BringUp&>(self).tear_down_topology();
      return Value();
    });
    return c;
  }();
  return info;
}

namespace {

std::uint64_t next_serial() {
  static std::uint64_t serial = 0;
  return ++serial;
}

constexpr std::string_view kOwnKeywords[] = {"orchestrator", "clean_config",      "bringup_clean_config",
                                             "clean_files",  "bringup_log_level", "debug"};

bool is_own_keyword(const Value& key) {
  for (std::string_view own : kOwnKeywords) {
    if (key == Value(own)) return true;
  }
  return false;
}

// Replaces the error being handled by a plain error with `message`, caused
// by it.
[[noreturn]] void raise_instead(const std::string& message) {
  Exception replacement(message);
  replacement.set_cause(std::current_exception());
  throw replacement;
}

// The clean configuration: the `clean_config` argument when given, else
// what the clean files hold.
Value load_clean_configuration(const Kwargs& kwargs, const Value& clean_files) {
  Value clean_config = kwarg(kwargs, "clean_config");
  if (clean_config.truthy() || !clean_files.truthy()) return clean_config;
  try {
    const List sources = clean_files.is_list() ? clean_files.as_list() : List{clean_files};
    return loader::MorvaneFileLoader().load(sources);
  } catch (const KeyError&) {
    raise_instead("Could not load clean configuration.");
  } catch (const TypeError&) {
    raise_instead("Could not load clean configuration.");
  } catch (const AttributeError&) {
    raise_instead("Could not load clean configuration.");
  }
}

// The worker's section of the clean configuration is the first one under
// "bringup"; it is taken from there unless the `bringup_clean_config`
// argument gave one.  Returns the section's name when it came from the
// clean configuration.
std::optional<Value> take_worker_section() {
  Value section_name;
  const Value& sections = BringUpBase::clean_config.is_map() ? BringUpBase::clean_config.get("bringup") : Value();
  if (sections.is_map() && !sections.as_map().empty()) {
    section_name = sections.as_map().front().first;
  } else {
    logger().debug("Could not find bringup worker class name.");
  }
  if (!BringUpBase::clean_config.truthy() || BringUpBase::bringup_clean_config.truthy()) return std::nullopt;
  const Value* section = sections.is_map() ? sections.find(section_name) : nullptr;
  if (!section) {
    logger().debug("Could not derive bringup clean configuration.");
    return std::nullopt;
  }
  BringUpBase::bringup_clean_config = *section;
  return section_name;
}

// The settings of the worker's section in each clean file: the class, the
// log level and the worker's options, each good.  Anything else is an
// error naming the file and the key, so that a typo does not pass for a
// setting.
void check_clean_file_settings(const Value& clean_files, const ClassInfo& worker_class) {
  const Value* sections = BringUpBase::clean_config.is_map() ? BringUpBase::clean_config.find("bringup") : nullptr;
  if (!clean_files.truthy() || !sections || !sections->is_map() || sections->as_map().empty()) return;
  const Value section_name = sections->as_map().front().first;
  std::vector<const bases::WorkerOptions*> tables;
  for (const ClassInfo* cls = &worker_class; cls; cls = cls->base()) {
    if (const bases::WorkerOptions* table = bases::options_of(*cls)) tables.push_back(table);
  }
  std::vector<std::string> problems;
  for (const Value& file : clean_files.is_list() ? clean_files.as_list() : List{clean_files}) {
    if (!file.is_str()) continue;
    const Value content = tarvex::utils::yaml::load_file(file.as_str());
    const Value* bringup = content.is_map() ? content.find("bringup") : nullptr;
    const Value* section = bringup && bringup->is_map() ? bringup->find(section_name) : nullptr;
    if (!section || !section->is_map()) continue;
    for (const auto& [key, value] : section->as_map()) {
      const std::string where = file.as_str() + ": bringup/" + section_name.str() + "/" + key.str();
      if (key == Value("class")) continue;
      if (key == Value("log_level")) {
        if (!value.is_str() || !bases::is_bringup_log_level(value.as_str())) {
          problems.push_back(where + ": " + value.repr() + " is not a log level (" + bases::BRINGUP_LOG_LEVEL_NAMES +
                             ")");
        }
        continue;
      }
      const bases::WorkerOptions* owner = nullptr;
      for (const bases::WorkerOptions* table : tables) {
        if (table->has(key.str())) owner = table;
      }
      if (!owner) {
        std::string known = "class, log_level";
        for (const bases::WorkerOptions* table : tables) {
          for (const std::string& name : table->names()) known += ", " + name;
        }
        problems.push_back(where + ": not a setting of " + worker_class.name() + " (its settings: " + known + ")");
      } else if (const std::optional<std::string> problem = owner->problem_with(key.str(), value)) {
        problems.push_back(where + ": " + *problem);
      }
    }
  }
  if (problems.empty()) return;
  std::string text = "The clean configuration holds settings that cannot be used:";
  for (const std::string& problem : problems) text += "\n  " + problem;
  throw ValueError(text);
}

// Whether the class the clean configuration names is the requested one.
bool names_class(const Value& configured, const ClassInfo& cls) {
  if (configured == Value(cls)) return true;
  return configured.is_str() &&
         (configured.as_str() == cls.name() || worker_classes().find(configured.as_str()) == &cls);
}

// The worker section's "class" is removed whether or not it is used (also
// from the clean configuration, which holds the same section).  It becomes
// the worker class when none was requested; a requested class wins.
const ClassInfo* resolve_configured_class(const ClassInfo* requested, const std::optional<Value>& section_name) {
  if (!BringUpBase::bringup_clean_config.truthy()) return requested;
  const Value* found = BringUpBase::bringup_clean_config.find("class");
  if (!found) {
    logger().debug("The bringup class was not imported successfully.");
    return requested;
  }
  const Value configured = *found;
  BringUpBase::bringup_clean_config.as_map().erase("class");
  if (section_name) BringUpBase::clean_config["bringup"][*section_name].as_map().erase("class");
  if (requested) {
    if (configured.truthy() && !names_class(configured, *requested)) {
      logger().debug("Ignoring the bringup class {} specified as part of clean configuration.", configured);
    }
    return requested;
  }
  if (!configured.truthy()) return nullptr;
  try {
    return configured.is_class() ? &configured.as_class() : &schema::translate(configured.str());
  } catch (const std::exception&) {
    raise_instead("Could not import bringup class.");
  }
}

// The worker class answers attribute reads and connection tests through
// the operations the server dispatches to.
void prepare_for_serving(const ClassInfo& worker_class) {
  worker_class.attach("_dispatch", [](Object& self, const List& params) -> Value {
    return _dispatch(self, params.at(0).as_str(), params.at(1).as_list());
  });
  worker_class.attach("test_connection", [](Object& self, const List&) { return test_connection(self); });
}

}  // namespace

BringUp::BringUp() : link_(std::make_unique<detail::WorkerLink>()) {}

bool BringUp::isserverstarted() const { return link_->_isserverstarted; }
std::optional<int> BringUp::serverpid() const { return link_->_serverpid; }

detail::WorkerLink& detail::link_of(const BringUp& manager) { return *manager.link_; }

BringUp::~BringUp() {
  // A worker subprocess still running tears its topology down on SIGTERM;
  // give it the time to do so before it is killed.
  auto& process = link_->_svr_process;
  if (process && process->is_alive()) {
    process->terminate();
    if (!process->wait(600.0)) process->kill();
  }
}

void BringUp::init(const Args& args, const Kwargs& kwargs) {
  Kwargs extra;
  for (const auto& [key, value] : kwargs) {
    if (!is_own_keyword(key)) extra.insert_or_assign(key, value);
  }
  BringUpBase::init(args, extra);
  serial_ = next_serial();
  orchestrator = Convert<std::optional<std::string>>::from(kwarg(kwargs, "orchestrator"), "orchestrator");
  clean_files = kwarg(kwargs, "clean_files");
  bringup_log_level =
      Convert<std::optional<std::string>>::from(kwarg(kwargs, "bringup_log_level"), "bringup_log_level");
  const Value bringup_clean_config_arg = kwarg(kwargs, "bringup_clean_config");
  BringUpBase::bringup_clean_config = bringup_clean_config_arg.truthy() ? bringup_clean_config_arg : Value(Map{});
  link_->_svr_process.reset();
  _hostname = std::string(LOCALHOST);
  link_->_isserverstarted = false;
  _serverport(REQUEST_KERNEL_TO_ALLOCATE_PORT);
  link_->_serverpid.reset();

  merge_command_line();

  // The worker class: the requested one, else the clean configuration's.
  logger().debug("Detecting and importing the bringup worker class...");
  log::getLogger("tarvex.utils.yaml.loader").set_level(level_to_set);
  bring_up_class = nullptr;
  if (orchestrator && !orchestrator->empty()) {
    try {
      bring_up_class = &schema::translate(*orchestrator);
      logger().debug("Import of {} successful.", *orchestrator);
    } catch (const std::exception&) {
      raise_instead("Could not import bringup class.");
    }
  }
  BringUpBase::clean_config = load_clean_configuration(kwargs, clean_files);
  bring_up_class = resolve_configured_class(bring_up_class, take_worker_section());
  if (!bring_up_class) throw exceptions::NoOrchestratorSpecified();
  if (!bring_up_class->is_subclass_of(BringUpWorkerBase::class_info())) {
    throw Exception("The specified bringup class " + Value(*bring_up_class).repr() +
                    " does not inherit from BringUpWorkerBase as required.");
  }

  // Files are read only when no clean configuration was given.
  if (!kwarg(kwargs, "clean_config").truthy()) check_clean_file_settings(clean_files, *bring_up_class);
  _derive_and_set_log_level();
  logger().info("Using the following bringup class : {}.", Value(*bring_up_class).repr());
  prepare_for_serving(*bring_up_class);

  manager_cli_help_details.clear();
  manager_cli_usage_details.clear();
  link_->bringup_worker.reset();
  bringup_args = args;
  bringup_kwargs = extra;
  debug = Convert<bool>::from(kwarg(kwargs, "debug", false), "debug");
  log_construction();
}

void BringUp::merge_command_line() {
  cli_parser = std::make_unique<utils::ArgvQuotingParser>(
      utils::ArgvQuotingParser::Options{.description = "Options of the bring-up manager:", .add_help = false});
  orvanta_cli_parser::populate_orvanta_parser(*cli_parser);
  Map cliargs;
  try {
    cliargs = utils::parse_cli_args(*cli_parser);
  } catch (...) {
    cli_parser->print_usage();
    throw;
  }
  // A level typed on the command line is checked: a typo would quietly
  // log at another level.
  if (const Value* level = cliargs.find("bringup_log_level");
      level && level->is_str() && level->as_str() != "None" && !bases::is_bringup_log_level(level->as_str())) {
    cli_parser->print_usage();
    throw utils::ArgumentError("argument -bringup_log_level: invalid choice: " + level->repr() + " (choose from " +
                               bases::BRINGUP_LOG_LEVEL_NAMES + ")");
  }
  for (const auto& [name, value] : cliargs) set_attr(name.str(), value);
  if (bringup_log_level == "None") bringup_log_level.reset();
}

void BringUp::log_construction() const {
  if (!logger().is_enabled_for(log::DEBUG)) return;
  logger().debug(log::utils::banner("Bringup instantiated."));
  logger().debug(fmt::format(
      "clean_files={}\norchestrator={}\nbringup_log_level={}\nclean_config={}\nbringup_clean_config={}\ndebug={}",
      clean_files.pformat(), Convert<std::optional<std::string>>::to(orchestrator),
      Convert<std::optional<std::string>>::to(bringup_log_level), BringUpBase::clean_config.pformat(),
      BringUpBase::bringup_clean_config.pformat(), Value(debug)));
}

void BringUp::_set_log_level(int level) { logger().set_level(level); }

void BringUp::update_help() { _update_help(*cli_parser); }

void BringUp::_update_help(utils::ArgvQuotingParser& parser) {
  bases::consolidate_help(parser, manager_cli_usage_details, manager_cli_help_details);
}

}  // namespace tarvex::morvane::orvanta
