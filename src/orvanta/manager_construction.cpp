// Construction of the manager: keyword and command-line arguments, the clean
// configuration, and the resolution of the worker class.  Nothing is
// started here.
#include <unistd.h>

#include <csignal>

#include "tarvex/log.hpp"
#include "tarvex/morvane/bases/help.hpp"
#include "tarvex/morvane/exceptions.hpp"
#include "tarvex/morvane/loader.hpp"
#include "tarvex/morvane/orvanta.hpp"
#include "tarvex/morvane/schema.hpp"
#include "orvanta/worker_link.hpp"
#include "tarvex/registry.hpp"

namespace tarvex::morvane::orvanta {

using bases::BringUpBase;
using bases::BringUpWorkerBase;

const ClassInfo& BringUp::class_info() {
  static ClassInfo& info = []() -> ClassInfo& {
    static ClassInfo c("tarvex.morvane.orvanta.BringUp", &BringUpBase::class_info(), factory_of<BringUp>());
    c.field("orchestrator", &BringUp::orchestrator)
        .field("clean_files", &BringUp::clean_files)
        .field("_hostname", &BringUp::_hostname)
        .readonly("_isserverstarted", &BringUp::_isserverstarted)
        .readonly("_serverpid", &BringUp::_serverpid)
        .readonly("manager_cli_help_details", &BringUp::manager_cli_help_details)
        .readonly("manager_cli_usage_details", &BringUp::manager_cli_usage_details)
        .readonly("bringup_args", &BringUp::bringup_args)
        .readonly("bringup_kwargs", &BringUp::bringup_kwargs)
        .readonly("debug", &BringUp::debug)
        .property("topology_config", &BringUp::topology_config)
        .property("output_clean_config", static_cast<Value (BringUp::*)() const>(&BringUp::output_clean_config))
        .property("cli_usage_details", &BringUp::cli_usage_details)
        .property("topology_name", &BringUp::topology_name)
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

}  // namespace

BringUp::BringUp() : link_(std::make_unique<detail::WorkerLink>()) {}

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
  // 1. and 2.
  BringUpBase::init(args, extra);
  serial_ = next_serial();
  orchestrator = Convert<std::optional<std::string>>::from(kwarg(kwargs, "orchestrator"), "orchestrator");
  clean_files = kwarg(kwargs, "clean_files");
  bringup_log_level =
      Convert<std::optional<std::string>>::from(kwarg(kwargs, "bringup_log_level"), "bringup_log_level");

  // 3. and 4.
  const Value bringup_clean_config_arg = kwarg(kwargs, "bringup_clean_config");
  BringUpBase::bringup_clean_config = bringup_clean_config_arg.truthy() ? bringup_clean_config_arg : Value(Map{});
  link_->_svr_process.reset();
  _hostname = std::string(LOCALHOST);
  _isserverstarted = false;
  _serverport(REQUEST_KERNEL_TO_ALLOCATE_PORT);
  _serverpid.reset();

  // 5. to 8. The manager's command-line options.
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
  for (const auto& [name, value] : cliargs) set_attr(name.str(), value);
  if (bringup_log_level == "None") bringup_log_level.reset();

  // 9. to 12. The worker class, when it is named.
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

  // 13. and 14. The clean configuration.
  Value clean_config = kwarg(kwargs, "clean_config");
  if (!clean_config.truthy() && clean_files.truthy()) {
    try {
      const List sources = clean_files.is_list() ? clean_files.as_list() : List{clean_files};
      clean_config = loader::MorvaneFileLoader().load(sources);
    } catch (const KeyError&) {
      raise_instead("Could not load clean configuration.");
    } catch (const TypeError&) {
      raise_instead("Could not load clean configuration.");
    } catch (const AttributeError&) {
      raise_instead("Could not load clean configuration.");
    }
  }
  BringUpBase::clean_config = clean_config;

  // 15. and 16. The worker's section of the clean configuration: the first
  // section under "bringup".
  Value section_name;
  const Value& bringup_sections =
      BringUpBase::clean_config.is_map() ? BringUpBase::clean_config.get("bringup") : Value();
  if (bringup_sections.is_map() && !bringup_sections.as_map().empty()) {
    section_name = bringup_sections.as_map().front().first;
  } else {
    logger().debug("Could not find bringup worker class name.");
  }
  bool section_from_clean_config = false;
  if (BringUpBase::clean_config.truthy() && !BringUpBase::bringup_clean_config.truthy()) {
    const Value* section = bringup_sections.is_map() ? bringup_sections.find(section_name) : nullptr;
    if (section) {
      BringUpBase::bringup_clean_config = *section;
      section_from_clean_config = true;
    } else {
      logger().debug("Could not derive bringup clean configuration.");
    }
  }

  // 17. The section's "class" is removed whether or not it is used; the
  // section is the very mapping held in the clean configuration, so the
  // removal shows there as well.
  if (BringUpBase::bringup_clean_config.truthy()) {
    const Value* configured = BringUpBase::bringup_clean_config.find("class");
    if (!configured) {
      logger().debug("The bringup class was not imported successfully.");
    } else {
      const Value configured_class = *configured;
      BringUpBase::bringup_clean_config.as_map().erase("class");
      if (section_from_clean_config) BringUpBase::clean_config["bringup"][section_name].as_map().erase("class");
      if (bring_up_class) {
        if (configured_class.truthy() && configured_class != Value(*bring_up_class) &&
            !(configured_class.is_str() && (configured_class.as_str() == bring_up_class->name() ||
                                            worker_classes().find(configured_class.as_str()) == bring_up_class))) {
          logger().debug("Ignoring the bringup class {} specified as part of clean configuration.", configured_class);
        }
      } else if (configured_class.truthy()) {
        try {
          bring_up_class =
              configured_class.is_class() ? &configured_class.as_class() : &schema::translate(configured_class.str());
        } catch (const std::exception&) {
          raise_instead("Could not import bringup class.");
        }
      }
    }
  }

  // 18. and 19. The class must be a worker class.
  if (!bring_up_class) throw exceptions::NoOrchestratorSpecified();
  if (!bring_up_class->is_subclass_of(BringUpWorkerBase::class_info())) {
    throw Exception("The specified bringup class " + Value(*bring_up_class).repr() +
                    " does not inherit from BringUpWorkerBase as required.");
  }

  // 20. and 21.
  _derive_and_set_log_level();
  logger().info("Using the following bringup class : {}.", Value(*bring_up_class).repr());

  // 22. The worker class answers attribute reads and connection tests.
  bring_up_class->attach("_dispatch", [](Object& self, const List& params) -> Value {
    return _dispatch(self, params.at(0).as_str(), params.at(1).as_list());
  });
  bring_up_class->attach("test_connection", [](Object& self, const List&) { return test_connection(self); });

  // 23. to 25.
  manager_cli_help_details.clear();
  manager_cli_usage_details.clear();
  link_->bringup_worker.reset();
  bringup_args = args;
  bringup_kwargs = extra;
  debug = Convert<bool>::from(kwarg(kwargs, "debug", false), "debug");
  if (logger().is_enabled_for(log::DEBUG)) {
    logger().debug(log::utils::banner("Bringup instantiated."));
    logger().debug(
        fmt::format("clean_files={}\norchestrator={}\nbringup_log_level={}\nclean_config={}\n"
                    "bringup_clean_config={}\ndebug={}",
                    clean_files.pformat(), Convert<std::optional<std::string>>::to(orchestrator),
                    Convert<std::optional<std::string>>::to(bringup_log_level), BringUpBase::clean_config.pformat(),
                    BringUpBase::bringup_clean_config.pformat(), Value(debug)));
  }
}

void BringUp::_set_log_level(int level) { logger().set_level(level); }

void BringUp::update_help() { _update_help(*cli_parser); }

void BringUp::_update_help(utils::ArgvQuotingParser& parser) {
  bases::consolidate_help(parser, manager_cli_usage_details, manager_cli_help_details);
}

}  // namespace tarvex::morvane::orvanta
