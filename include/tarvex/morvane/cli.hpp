// Command-line services of the bring-up package: the parser with single-dash
// long options (-testbed_file FILE), and the parsing of the process's command
// line.
//
// Several parsers read the same command line (the manager's and the
// worker's), so each one takes only its own options and ignores the others'.
// A parse returns only the options actually given, so an absent option never
// overrides a keyword argument.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvex/exceptions.hpp"
#include "tarvex/value.hpp"

namespace tarvex::morvane::utils {

// A bad value for one of a parser's own options; the message names the
// option.
TARVEX_DECLARE_EXCEPTION(ArgumentError, ValueError)

// The marker that, set as a parser's `usage`, removes the usage section from
// its help text.
inline constexpr std::string_view SUPPRESS = "==SUPPRESS==";

// One option of a parser.  Every member has a default initializer so that
// options can be declared with designated initializers naming only what
// differs from the defaults, without -Wextra's missing-initializer warning.
struct Argument {
  enum class Action { Store, StoreTrue };
  enum class Nargs { One, OneOrMore };
  enum class Type { Str, Int, Float };

  std::vector<std::string> flags{};  // e.g. {"-help", "-h"}; the first names the option
  std::string dest{};                // attribute name; derived from the first flag when empty
  std::string help{};
  std::string metavar{};  // derived from dest (upper case) when empty
  Action action = Action::Store;
  Nargs nargs = Nargs::One;
  Type type = Type::Str;
  std::vector<std::string> choices{};
};

class ArgvQuotingParser {
 public:
  struct Options {
    std::string prog{};  // program name in usage texts; argv[0]'s last component when empty
    std::string description{};
    bool add_help = false;  // when true, -h/-help is added automatically
  };

  ArgvQuotingParser() : ArgvQuotingParser(Options{}) {}
  explicit ArgvQuotingParser(Options options);

  ArgvQuotingParser& add_argument(Argument argument);
  const std::vector<Argument>& arguments() const { return arguments_; }
  const std::string& prog() const { return prog_; }

  // Parses `args` (without the program name).  Options of other parsers and
  // their values are skipped.  Returns dest -> value for the options given
  // (strings, numbers by type, true for flags, a list for one-or-more).
  // ArgumentError for a missing or malformed value of an own option.
  Map parse_known_args(const std::vector<std::string>& args) const;

  // "usage: prog [-opt OPT] ...\n", wrapped at 80 columns with continuation
  // lines aligned under the first option; empty when usage is SUPPRESS.
  std::string format_usage() const;
  // The usage section (unless suppressed), the description, then every
  // option with its help text.
  std::string format_help() const;
  void print_usage(std::FILE* out = stdout) const;
  void print_help(std::FILE* out = stdout) const;

  // Replaces the generated usage text; SUPPRESS removes it.  "%(prog)s" in
  // it (and in the description and help texts) stands for the program name.
  std::optional<std::string> usage;

 private:
  std::string prog_;
  std::string description_;
  std::vector<Argument> arguments_;
};

// Records the process's command line (argv[0] included); `main` calls it.
// Without a recorded command line, the kernel's record of it is read.
// Recording an empty command line drops the record (a real one always holds
// argv[0]), so the kernel's record is read again.
void set_command_line(std::vector<std::string> argv);
void set_command_line(int argc, const char* const* argv);
std::vector<std::string> command_line();

// Parses the process's command line (without argv[0]) with `parser`.
Map parse_cli_args(const ArgvQuotingParser& parser);

// What is wrong with a command line that `parsers` read together: the
// first argument none of them takes, as "-orchestartor: unknown option (did
// you mean -orchestrator?)" or "'lab.yaml': unexpected argument ..."; nothing
// when every argument is some parser's option or its value.
std::optional<std::string> unknown_argument(const std::vector<std::string>& args,
                                            const std::vector<const ArgvQuotingParser*>& parsers);

}  // namespace tarvex::morvane::utils

namespace tarvex::morvane::bringup_base_cli_parser {

// Adds the base bring-up options of a worker: -testbed_file,
// -logical_testbed_file, -topology_name, -tb_yaml_output_file_name and
// -help (-h).
void populate_base_bringup_parser(utils::ArgvQuotingParser& parser);

}  // namespace tarvex::morvane::bringup_base_cli_parser

namespace tarvex::morvane::orvanta_cli_parser {

// Adds the manager's options: -orchestrator, -clean_files (one or more) and
// -bringup_log_level.
void populate_orvanta_parser(utils::ArgvQuotingParser& parser);

}  // namespace tarvex::morvane::orvanta_cli_parser
