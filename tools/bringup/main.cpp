// bringup: brings a topology up through an orchestrator, reports what was
// built, holds it for an interactive user, and tears it down.
//
//   bringup [manager options] [worker options] [-interactive] [-log_dir DIR]
//
// Without -orchestrator and -clean_files the sim orchestrator is used.
// Exit status: 0 after a clean bring-up and teardown, 1 when anything
// failed, 2 for a bad command line, 128 + N when ended by signal N.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string_view>

#include "summary_table.hpp"
#include "tarvex/files.hpp"
#include "tarvex/morvane/bases/help.hpp"
#include "tarvex/morvane/cli.hpp"
#include "tarvex/morvane/front_end.hpp"
#include "tarvex/morvane/leftovers.hpp"
#include "tarvex/morvane/orvanta.hpp"
#include "tarvex/morvane/progress.hpp"
#include "tarvex/signals.hpp"
#include "tarvex/utils/yaml.hpp"
#include "terminal_progress.hpp"

namespace {

using namespace tarvex;
using morvane::BringUp;
using morvane::bringup_tool::TerminalProgress;
namespace utils = morvane::utils;

namespace front_end = morvane::front_end;

// The tool's own options.
utils::ArgvQuotingParser tool_parser() {
  utils::ArgvQuotingParser parser(utils::ArgvQuotingParser::Options{.description = "Options of the bringup tool:"});
  parser.add_argument({.flags = {"-interactive"},
                       .help = "Hold the topology until Control-C (the default when standard input is a terminal).",
                       .action = utils::Argument::Action::StoreTrue});
  parser.add_argument({.flags = {"-log_dir"},
                       .help = "Directory of the per-device logs of the readiness wait, one directory per run "
                               "(default: /run/morvane/logs as root, else $XDG_RUNTIME_DIR/morvane/logs).",
                       .metavar = "DIR"});
  parser.add_argument({.flags = {"-cleanup"},
                       .help = "Remove what runs whose worker died left behind (network namespaces, their "
                               "processes), and the log directories of runs that ended more than 7 days ago; say "
                               "what was removed, and exit.",
                       .action = utils::Argument::Action::StoreTrue});
  return parser;
}

bool asks_for_help(const std::vector<std::string>& argv) {
  for (std::size_t i = 1; i < argv.size(); ++i) {
    if (argv[i] == "-h" || argv[i] == "-help" || argv[i] == "--help") return true;
  }
  return false;
}

// What is wrong with the testbed options, if anything: without a logical
// testbed there is nothing to bring up, and a final testbed file that cannot
// be written would fail the run once everything is built.
std::optional<std::string> logical_testbed_problem() {
  utils::ArgvQuotingParser base;
  morvane::bringup_base_cli_parser::populate_base_bringup_parser(base);
  Map given;
  try {
    given = utils::parse_cli_args(base);
  } catch (const utils::ArgumentError&) {
    return std::nullopt;  // the worker reports a malformed option itself
  }
  const Value* file = given.find("logical_testbed_file");
  if (auto problem = front_end::logical_testbed_problem({}, file ? std::optional<Value>(*file) : Value())) {
    return problem;
  }
  return front_end::output_file_problem(Value(given).get("tb_yaml_output_file_name"));
}

// The first argument that is no option of the tool's, the manager's, the
// worker's nor the chosen backend's.
std::optional<std::string> unknown_argument(const BringUp& bringup, const utils::ArgvQuotingParser& tool) {
  const std::vector<std::unique_ptr<utils::ArgvQuotingParser>> parsers = front_end::option_parsers(bringup);
  std::vector<const utils::ArgvQuotingParser*> all{&tool};
  for (const auto& parser : parsers) all.push_back(parser.get());
  std::vector<std::string> args = utils::command_line();
  if (!args.empty()) args.erase(args.begin());
  return utils::unknown_argument(args, all);
}

bool given(const std::vector<std::string>& argv, const char* option) {
  for (const std::string& arg : argv) {
    if (arg == option || arg.starts_with(std::string(option) + "=")) return true;
  }
  return false;
}

void print_help(const BringUp& bringup, utils::ArgvQuotingParser& tool) {
  // The worker's details are held here: a range-for over a member of a
  // temporary would iterate a list already destroyed.
  const Value usage_details = bringup.cli_usage_details();
  const Value help_details = bringup.cli_help_details();
  std::string usage = "usage: bringup";
  for (const Value& piece : usage_details.as_list()) usage += piece.str();
  std::vector<std::string> tool_usage, tool_help;
  morvane::bases::consolidate_help(tool, tool_usage, tool_help);
  for (const std::string& piece : tool_usage) usage += piece;
  std::cout << usage << "\n\nBrings a network topology up through an orchestrator, reports it, and tears it down.\n";
  for (const Value& section : help_details.as_list()) std::cout << "\n" << section.str();
  for (const std::string& section : tool_help) std::cout << "\n" << section;
}

// On a terminal the table of what was built takes the place of the list of
// devices.
void report_on_terminal(const Value& testbed) { std::cerr << morvane::bringup_tool::summary_table(testbed, true); }

// What was built: the topology's name, its devices and where its testbed
// file is; the testbed itself when no file was asked for.  Only what
// happened is reported: a run that launched nothing fails.
void report(const BringUp& bringup, TerminalProgress* progress) {
  if (!bringup.logical_devices().truthy()) {
    throw Exception(
        "Nothing was brought up: the logical testbed declares no logical device (a device with \"logical: true\").");
  }
  const Value testbed = bringup.topology_config();
  // The phases shown so far are closed first.
  if (progress) progress->pause();
  std::cerr << "\nTopology " << bringup.topology_name().str() << " is up.\n";
  const Value* devices = testbed.find("devices");
  if (progress) {
    report_on_terminal(testbed);
    // A live topology of namespaces and containers: the morvane tool acts on
    // it and draws it.
    bool live = false;
    if (devices && devices->is_map()) {
      for (const auto& [actual, entry] : devices->as_map()) {
        const Value* connections = entry.is_map() ? entry.find("connections") : nullptr;
        live = live || (connections && connections->is_map() && connections->contains("netns"));
      }
    }
    if (live) {
      const std::string name = bringup.topology_name().str();
      const Value* about = testbed.find("testbed");
      const Value* called = about && about->is_map() ? about->find("name") : nullptr;
      const std::string file = (called && called->is_str() ? called->str() : name) + ".svg";
      std::cerr << "Picture: morvane graph --run " << name << " -o " << file
                << " (morvane exec, link, impair and save act on it)\n";
    }
  } else if (devices && devices->is_map()) {
    std::cerr << "Devices (actual name <- your name):\n";
    for (const auto& [actual, entry] : devices->as_map()) {
      const Value alias = entry.is_map() ? entry.get("alias") : Value();
      std::cerr << "  " << actual.str() << " <- " << (alias.truthy() ? alias.str() : "(not in the logical testbed)")
                << "\n";
    }
  }
  utils::ArgvQuotingParser base;
  morvane::bringup_base_cli_parser::populate_base_bringup_parser(base);
  const Value output = Value(utils::parse_cli_args(base)).get("tb_yaml_output_file_name");
  if (output.truthy()) {
    const Value written = bringup.tb_yaml_written();
    if (written.truthy()) {
      std::cerr << "Testbed YAML written to " << written.str() << "\n";
    } else {
      std::cerr << "No testbed YAML was written to " << output.str() << " (the testbed is empty).\n";
    }
  } else {
    std::cerr << "Testbed YAML (no -tb_yaml_output_file_name given):\n";
    std::cout << tarvex::utils::yaml::dump(testbed) << std::flush;
  }
}

// -cleanup: removes the leftovers of dead runs, and the log directories of
// runs long over.
int remove_leftovers(const std::string& log_dir) {
  const morvane::leftovers::Cleanup cleanup = morvane::leftovers::remove_all();
  if (cleanup.removed.empty() && cleanup.skipped.empty() && cleanup.kept.empty()) {
    std::cerr << "No leftovers of dead runs found.\n";
  }
  for (const std::string& line : cleanup.removed) std::cerr << "Removed " << line << "\n";
  for (const std::string& line : cleanup.skipped) std::cerr << "Skipped, not the run's: " << line << "\n";
  for (const std::string& line : cleanup.kept) std::cerr << "Kept " << line << "\n";
  for (const std::string& directory : front_end::prune_log_dirs(log_dir)) {
    std::cerr << "Removed the log directory " << directory << " of a run that ended more than "
              << front_end::LOG_RETENTION.count() / 24 << " days ago\n";
  }
  return front_end::EXIT_OK;
}

// The progress display, when standard error is a terminal and a topology
// is to be brought up; its records are turned on before the worker is
// forked, so that the worker sends them too.
std::optional<TerminalProgress> start_terminal_progress(const std::vector<std::string>& command) {
  if (asks_for_help(command) || !TerminalProgress::wanted()) return std::nullopt;
  morvane::progress::enable();
  return std::optional<TerminalProgress>(std::in_place);
}

int run(int argc, char** argv) {
  utils::set_command_line(argc, argv);
  // Signals are taken at safe points: SIGINT and SIGTERM end a hold, reach
  // the worker during a launch (which then tears down), and always lead to
  // a full teardown before the tool exits.
  signals::capture({SIGINT, SIGTERM, SIGHUP, SIGQUIT});

  utils::ArgvQuotingParser tool = tool_parser();
  Map options;
  try {
    options = utils::parse_cli_args(tool);
  } catch (const utils::ArgumentError& e) {
    tool.print_usage(stderr);
    std::cerr << "bringup: error: " << e.what() << "\n";
    return front_end::EXIT_BAD_COMMAND_LINE;
  }
  // The per-device logs of the readiness wait: in a private directory
  // unless one is given.
  const Value log_dir_option = Value(options).get("log_dir");
  const std::string log_dir =
      front_end::use_log_dir(log_dir_option.truthy() ? std::optional<std::string>(log_dir_option.str()) : std::nullopt);
  if (Value(options).get("cleanup").truthy()) return remove_leftovers(log_dir);

  const std::vector<std::string> command = utils::command_line();
  if (!asks_for_help(command)) {
    const std::optional<std::string> problem = logical_testbed_problem();
    if (problem) {
      tool.print_usage(stderr);
      std::cerr << "bringup: error: " << *problem << "\n";
      return front_end::EXIT_BAD_COMMAND_LINE;
    }
  }

  Kwargs kwargs{{"interactive", Value(options).get("interactive").truthy() || ::isatty(STDIN_FILENO) == 1}};
  front_end::complete_keywords(kwargs, given(command, "-orchestrator") || given(command, "-clean_files"));

  // Made before the manager, so that it shows the manager's last records
  // (its worker's teardown on an error) before it stops.
  std::optional<TerminalProgress> progress = start_terminal_progress(command);
  std::unique_ptr<BringUp> bringup;
  try {
    bringup = create<BringUp>({}, kwargs);
  } catch (const utils::ArgumentError& e) {
    if (progress) progress->finish();
    std::cerr << "bringup: error: " << e.what() << "\n";
    return front_end::EXIT_BAD_COMMAND_LINE;
  }
  // A misspelt option would silently build something else.
  if (const std::optional<std::string> unknown = unknown_argument(*bringup, tool)) {
    if (progress) progress->finish();
    tool.print_usage(stderr);
    std::cerr << "bringup: error: " << *unknown << "\n";
    return front_end::EXIT_BAD_COMMAND_LINE;
  }
  if (progress && morvane::orvanta::logger().is_enabled_for(log::DEBUG)) progress->show_info_records();
  morvane::bases::with_context(*bringup, [&](BringUp& b) {
    if (b.help() == Value(true)) {
      if (progress) progress->pause();
      print_help(b, tool);
      return;
    }
    report(b, progress ? &*progress : nullptr);
    // (What the tool asked for: reading the worker's attribute would be one
    // more call for a Control-C to fall into.)
    if (progress) progress->settle(kwargs.at("interactive").truthy());
  });
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const tarvex::KeyboardInterrupt&) {
    std::cerr << "bringup: interrupted\n";
    return front_end::exit_status(std::current_exception());
  } catch (const tarvex::SystemExit& e) {
    std::cerr << "bringup: ended by signal " << e.code() - 128 << "\n";
    return front_end::exit_status(std::current_exception());
  } catch (const tarvex::morvane::utils::ArgumentError& e) {
    std::cerr << "bringup: error: " << e.what() << "\n";
    return front_end::EXIT_BAD_COMMAND_LINE;
  } catch (...) {
    const std::exception_ptr error = std::current_exception();
    std::cerr << "bringup: error: " << tarvex::format_exception(error) << "\n";
    return front_end::exit_status(error);
  }
}
