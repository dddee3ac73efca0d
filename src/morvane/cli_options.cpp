// The option sets of the bring-up: the worker's base options (which testbed
// to bring up and where to write the result) and the manager's (which
// orchestrator and clean configuration to use).  Both parsers read the same
// command line, so no flag may appear in both sets.
#include "tarvex/morvane/cli.hpp"

namespace tarvex::morvane::bringup_base_cli_parser {

void populate_base_bringup_parser(utils::ArgvQuotingParser& parser) {
  using utils::Argument;
  parser.add_argument({.flags = {"-testbed_file"},
                       .help = "Path of the static testbed YAML file (the devices that already exist and are not "
                               "brought up dynamically)."});
  parser.add_argument({.flags = {"-logical_testbed_file"},
                       .help = "Path of the logical testbed YAML file: the devices and links to bring up, under "
                               "the names your tests use."});
  parser.add_argument(
      {.flags = {"-topology_name"}, .help = "Name of the topology; a time stamp is appended to make it unique."});
  parser.add_argument({.flags = {"-tb_yaml_output_file_name"},
                       .help = "Where to write the testbed YAML file of the topology as it was actually built."});
  parser.add_argument({.flags = {"-help", "-h"},
                       .dest = "help",
                       .help = "Show the options of the bring-up and of the chosen orchestrator, then exit.",
                       .action = Argument::Action::StoreTrue});
}

}  // namespace tarvex::morvane::bringup_base_cli_parser

namespace tarvex::morvane::orvanta_cli_parser {

void populate_orvanta_parser(utils::ArgvQuotingParser& parser) {
  using utils::Argument;
  parser.add_argument({.flags = {"-orchestrator"},
                       .help = "Name of the orchestrator that brings the topology up (overrides the class named "
                               "in the clean configuration)."});
  parser.add_argument({.flags = {"-clean_files"},
                       .help = "Clean configuration files; later files override earlier ones key by key.",
                       .nargs = Argument::Nargs::OneOrMore});
  // No choices: an unknown level name falls back to info when the logger is
  // set up, instead of stopping the bring-up over a typo.
  parser.add_argument(
      {.flags = {"-bringup_log_level"}, .help = "Log level of the bring-up: debug, info, warning, error or critical."});
}

}  // namespace tarvex::morvane::orvanta_cli_parser
