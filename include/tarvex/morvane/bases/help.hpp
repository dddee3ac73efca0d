// The rule by which the worker and the manager collect the usage and help
// texts of their command-line parsers.
#pragma once

#include <string>
#include <vector>

#include "tarvex/morvane/cli.hpp"

namespace tarvex::morvane::bases {

// Appends the parser's option list (a line break, an indentation and the
// bracketed options) to `usage_details` when its usage text has one, marks
// its usage as suppressed, and appends its help text (now without the usage
// section) to `help_details` when that is non-empty.
void consolidate_help(utils::ArgvQuotingParser& parser, std::vector<std::string>& usage_details,
                      std::vector<std::string>& help_details);

}  // namespace tarvex::morvane::bases
