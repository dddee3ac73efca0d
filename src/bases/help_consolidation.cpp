// Consolidation of command-line help texts, so that the bring-up tool can
// show the options of every parser involved.
#include "tarvex/morvane/bases/help.hpp"
#include "tarvex/morvane/bases/worker.hpp"

namespace tarvex::morvane::bases {

void consolidate_help(utils::ArgvQuotingParser& parser, std::vector<std::string>& usage_details,
                      std::vector<std::string>& help_details) {
  const std::string usage = parser.format_usage();
  const std::size_t bracket = usage.find('[');
  if (bracket != std::string::npos) {
    usage_details.emplace_back("\n");
    // Blanks as long as "usage: prog ", so the option list lines up under
    // the options of the usage line that precedes it.
    usage_details.emplace_back(bracket, ' ');
    std::string options = usage.substr(bracket);
    options.erase(options.find_last_not_of(" \t\n\r\f\v") + 1);
    usage_details.push_back(std::move(options));
  }
  parser.usage = std::string(utils::SUPPRESS);
  std::string help = parser.format_help();
  if (!help.empty()) help_details.push_back(std::move(help));
}

void BringUpWorkerBase::update_help() {
  if (base_cli_parser) _update_help(*base_cli_parser);
  // The options tables' (a backend's own options), base class first.
  for (const auto& parser : option_parsers_) _update_help(*parser);
}

void BringUpWorkerBase::_update_help(utils::ArgvQuotingParser& parser) {
  consolidate_help(parser, cli_usage_details, cli_help_details);
}

}  // namespace tarvex::morvane::bases
