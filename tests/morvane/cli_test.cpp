#include "tarvex/morvane/cli.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/command_line.hpp"

namespace tarvex::morvane::utils {
namespace {

using Action = Argument::Action;
using Nargs = Argument::Nargs;
using Type = Argument::Type;

using testing::ScopedCommandLine;

// Parse results are compared by their printable form: it shows the order of
// the options and tells 1 from 1.0 and '1', which Value equality does not.
std::string parsed(const ArgvQuotingParser& parser, const std::vector<std::string>& args) {
  return Value(parser.parse_known_args(args)).repr();
}

std::string error_of(const ArgvQuotingParser& parser, const std::vector<std::string>& args) {
  try {
    parser.parse_known_args(args);
  } catch (const ArgumentError& error) {
    return error.what();
  }
  return "no error";
}

ArgvQuotingParser worker_like_parser() {
  ArgvQuotingParser parser({.prog = "tool"});
  parser.add_argument({.flags = {"-testbed_file"}});
  parser.add_argument({.flags = {"-topology_name"}});
  parser.add_argument({.flags = {"-verbose", "-v"}, .action = Action::StoreTrue});
  parser.add_argument({.flags = {"-clean_files"}, .nargs = Nargs::OneOrMore});
  return parser;
}

TEST(ArgvQuotingParserParse, TakesOwnOptionsAndSkipsForeignOnesWithTheirValues) {
  const ArgvQuotingParser parser = worker_like_parser();
  EXPECT_EQ(parsed(parser, {"-foreign", "a", "b", "-testbed_file", "tb.yaml", "stray", "-other=x", "-v",
                            "-sim_launch_delay", "-2", "-topology_name", "ring"}),
            "{'testbed_file': 'tb.yaml', 'verbose': True, 'topology_name': 'ring'}");
  EXPECT_EQ(parsed(parser, {}), "{}");
  EXPECT_EQ(parsed(parser, {"positional", "-unknown"}), "{}");
}

TEST(ArgvQuotingParserParse, OneOrMoreStopsAtTheNextOptionOfAnyParser) {
  const ArgvQuotingParser parser = worker_like_parser();
  EXPECT_EQ(parsed(parser, {"-clean_files", "a.yaml", "b.yaml", "-testbed_file", "tb.yaml"}),
            "{'clean_files': ['a.yaml', 'b.yaml'], 'testbed_file': 'tb.yaml'}");
  EXPECT_EQ(parsed(parser, {"-clean_files", "a.yaml", "-orchestrator", "docker", "b.yaml"}),
            "{'clean_files': ['a.yaml']}");
  EXPECT_EQ(parsed(parser, {"-clean_files", "a.yaml", "b.yaml"}), "{'clean_files': ['a.yaml', 'b.yaml']}");
  // With "=" the option carries exactly the one value attached to it.
  EXPECT_EQ(parsed(parser, {"-clean_files=a.yaml", "b.yaml"}), "{'clean_files': ['a.yaml']}");
}

TEST(ArgvQuotingParserParse, ValueMayBeAttachedWithEquals) {
  const ArgvQuotingParser parser = worker_like_parser();
  EXPECT_EQ(parsed(parser, {"-testbed_file=dir/a=b.yaml", "-topology_name="}),
            "{'testbed_file': 'dir/a=b.yaml', 'topology_name': ''}");
  EXPECT_EQ(error_of(parser, {"-verbose=yes"}), "argument -verbose/-v: ignored explicit argument 'yes'");
}

TEST(ArgvQuotingParserParse, NegativeNumbersAndDashedPhrasesAreValues) {
  ArgvQuotingParser parser({.prog = "tool"});
  parser.add_argument({.flags = {"-offset"}, .type = Type::Int});
  parser.add_argument({.flags = {"-weights"}, .nargs = Nargs::OneOrMore, .type = Type::Float});
  parser.add_argument({.flags = {"-extra_args"}});
  EXPECT_EQ(parsed(parser, {"-offset", "-1", "-weights", "1", "-2.5", "-.5", "-extra_args", "-x 1"}),
            "{'offset': -1, 'weights': [1.0, -2.5, -0.5], 'extra_args': '-x 1'}");
  EXPECT_EQ(parsed(parser, {"-offset=-3"}), "{'offset': -3}");
  // A lone dash conventionally names standard input.
  EXPECT_EQ(parsed(parser, {"-extra_args", "-"}), "{'extra_args': '-'}");
  // A dashed word is an option, even when it starts like a number.
  EXPECT_EQ(error_of(parser, {"-offset", "-1x"}), "argument -offset: expected one argument");
  EXPECT_EQ(error_of(parser, {"-extra_args", "-verbose"}), "argument -extra_args: expected one argument");
}

TEST(ArgvQuotingParserParse, DoubleDashEndsOptionParsing) {
  const ArgvQuotingParser parser = worker_like_parser();
  EXPECT_EQ(parsed(parser, {"-testbed_file", "a.yaml", "--", "-topology_name", "ring"}), "{'testbed_file': 'a.yaml'}");
  EXPECT_EQ(parsed(parser, {"-clean_files", "a.yaml", "--", "b.yaml"}), "{'clean_files': ['a.yaml']}");
  EXPECT_EQ(error_of(parser, {"-testbed_file", "--", "a.yaml"}), "argument -testbed_file: expected one argument");
}

TEST(ArgvQuotingParserParse, RepeatedOptionKeepsTheLastValue) {
  const ArgvQuotingParser parser = worker_like_parser();
  EXPECT_EQ(parsed(parser, {"-testbed_file", "a.yaml", "-v", "-testbed_file=b.yaml", "-clean_files", "x", "y",
                            "-clean_files", "z", "-verbose"}),
            "{'testbed_file': 'b.yaml', 'verbose': True, 'clean_files': ['z']}");
}

TEST(ArgvQuotingParserParse, OptionNamesMustMatchExactly) {
  const ArgvQuotingParser parser = worker_like_parser();
  // Prefixes and extensions of an option belong to other parsers.
  EXPECT_EQ(parsed(parser, {"-testbed", "a.yaml", "-testbed_f=b.yaml", "-testbed_file_list", "c.yaml", "--verbose",
                            "-Verbose", "-topology"}),
            "{}");
}

TEST(ArgvQuotingParserParse, ValuesAreConvertedByType) {
  ArgvQuotingParser parser({.prog = "tool"});
  parser.add_argument({.flags = {"-count"}, .type = Type::Int});
  parser.add_argument({.flags = {"-sim_launch_delay"}, .type = Type::Float});
  parser.add_argument({.flags = {"-name"}});
  const Map given = parser.parse_known_args({"-count", "+12", "-sim_launch_delay", "3", "-name", "7"});
  ASSERT_TRUE(given.at("count").is_int());
  EXPECT_EQ(given.at("count").as_int(), 12);
  ASSERT_TRUE(given.at("sim_launch_delay").is_float());
  EXPECT_DOUBLE_EQ(given.at("sim_launch_delay").as_float(), 3.0);
  EXPECT_TRUE(given.at("name").is_str());
  EXPECT_EQ(parsed(parser, {"-sim_launch_delay", "1e-3", "-count", " 007 "}),
            "{'sim_launch_delay': 0.001, 'count': 7}");
}

TEST(ArgvQuotingParserErrors, MalformedValuesNameTheOption) {
  ArgvQuotingParser parser({.prog = "tool"});
  parser.add_argument({.flags = {"-count"}, .type = Type::Int});
  parser.add_argument({.flags = {"-sim_launch_delay"}, .type = Type::Float});
  EXPECT_EQ(error_of(parser, {"-sim_launch_delay", "abc"}), "argument -sim_launch_delay: invalid float value: 'abc'");
  EXPECT_EQ(error_of(parser, {"-sim_launch_delay", "0x10"}), "argument -sim_launch_delay: invalid float value: '0x10'");
  EXPECT_EQ(error_of(parser, {"-sim_launch_delay", "+-1"}), "argument -sim_launch_delay: invalid float value: '+-1'");
  EXPECT_EQ(error_of(parser, {"-count", "1.5"}), "argument -count: invalid int value: '1.5'");
  EXPECT_EQ(error_of(parser, {"-count="}), "argument -count: invalid int value: ''");
  EXPECT_EQ(error_of(parser, {"-count", "99999999999999999999"}),
            "argument -count: invalid int value: '99999999999999999999'");
  // The error is part of the ValueError family that callers already handle.
  EXPECT_THROW(parser.parse_known_args({"-count", "x"}), ValueError);
}

TEST(ArgvQuotingParserErrors, ChoicesAreChecked) {
  ArgvQuotingParser parser({.prog = "tool"});
  parser.add_argument({.flags = {"-x"}, .choices = {"a", "b"}});
  parser.add_argument({.flags = {"-n"}, .type = Type::Int, .choices = {"1", "2"}});
  parser.add_argument({.flags = {"-many"}, .nargs = Nargs::OneOrMore, .choices = {"a", "b"}});
  EXPECT_EQ(parsed(parser, {"-x", "b", "-n", "02", "-many", "a", "b", "a"}),
            "{'x': 'b', 'n': 2, 'many': ['a', 'b', 'a']}");
  EXPECT_EQ(error_of(parser, {"-x", "q"}), "argument -x: invalid choice: 'q' (choose from 'a', 'b')");
  EXPECT_EQ(error_of(parser, {"-x=A"}), "argument -x: invalid choice: 'A' (choose from 'a', 'b')");
  EXPECT_EQ(error_of(parser, {"-n", "3"}), "argument -n: invalid choice: 3 (choose from 1, 2)");
  EXPECT_EQ(error_of(parser, {"-many", "a", "c"}), "argument -many: invalid choice: 'c' (choose from 'a', 'b')");
}

TEST(ArgvQuotingParserErrors, MissingValues) {
  ArgvQuotingParser parser = worker_like_parser();
  parser.add_argument({.flags = {"-log", "-l"}});
  EXPECT_EQ(error_of(parser, {"-testbed_file"}), "argument -testbed_file: expected one argument");
  EXPECT_EQ(error_of(parser, {"-testbed_file", "-foreign", "x"}), "argument -testbed_file: expected one argument");
  EXPECT_EQ(error_of(parser, {"-clean_files", "-v"}), "argument -clean_files: expected at least one argument");
  EXPECT_EQ(error_of(parser, {"-clean_files"}), "argument -clean_files: expected at least one argument");
  EXPECT_EQ(error_of(parser, {"-l"}), "argument -log/-l: expected one argument");
}

TEST(ArgvQuotingParserErrors, BadDeclarationsAreRefused) {
  ArgvQuotingParser parser({.prog = "tool", .add_help = true});
  EXPECT_THROW(parser.add_argument({.flags = {}}), ValueError);
  EXPECT_THROW(parser.add_argument({.flags = {"name"}}), ValueError);
  EXPECT_THROW(parser.add_argument({.flags = {"-"}}), ValueError);
  EXPECT_THROW(parser.add_argument({.flags = {"-5"}}), ValueError);
  try {
    parser.add_argument({.flags = {"-help"}});
    ADD_FAILURE() << "a second -help was accepted";
  } catch (const ArgumentError& error) {
    EXPECT_STREQ(error.what(), "argument -help: conflicting option string: -help");
  }
  EXPECT_EQ(parser.arguments().size(), 1u);
}

TEST(ArgvQuotingParserDeclare, NamesAreDerivedFromTheFirstFlag) {
  ArgvQuotingParser parser({.prog = "tool", .add_help = true});
  parser.add_argument({.flags = {"-log-level", "-L"}});
  parser.add_argument({.flags = {"-out"}, .dest = "output_file", .metavar = "PATH"});
  ASSERT_EQ(parser.arguments().size(), 3u);
  EXPECT_EQ(parser.arguments()[0].dest, "help");
  EXPECT_EQ(parser.arguments()[1].dest, "log_level");
  EXPECT_EQ(parser.arguments()[1].metavar, "LOG_LEVEL");
  EXPECT_EQ(parser.arguments()[2].metavar, "PATH");
  EXPECT_EQ(parsed(parser, {"-L", "debug", "-out", "o.yaml", "-help"}),
            "{'log_level': 'debug', 'output_file': 'o.yaml', 'help': True}");
  EXPECT_EQ(parsed(parser, {"-h"}), "{'help': True}");
}

// A small parser whose usage does not fit on one line.
ArgvQuotingParser formatted_parser() {
  ArgvQuotingParser parser({.prog = "tool", .description = "Brings a test topology up and writes its testbed file."});
  parser.add_argument({.flags = {"-testbed_file"}, .help = "Path of the static testbed file."});
  parser.add_argument({.flags = {"-verbose", "-v"}, .help = "Say more.", .action = Action::StoreTrue});
  parser.add_argument({.flags = {"-clean_files"},
                       .help = "Clean configuration files; later files override earlier ones key by key, "
                               "so that a lab file only needs the keys it changes.",
                       .nargs = Nargs::OneOrMore});
  parser.add_argument({.flags = {"-topo_name"}, .help = "Name of the topology."});
  parser.add_argument({.flags = {"-abcdefghijklmnopqrst"}, .help = "Long flag.", .action = Action::StoreTrue});
  parser.add_argument({.flags = {"-q"}, .action = Action::StoreTrue});
  return parser;
}

TEST(ArgvQuotingParserFormat, UsageWrapsUnderTheFirstOption) {
  EXPECT_EQ(formatted_parser().format_usage(),
            "usage: tool [-testbed_file TESTBED_FILE] [-verbose]\n"
            "            [-clean_files CLEAN_FILES [CLEAN_FILES ...]] [-topo_name TOPO_NAME]\n"
            "            [-abcdefghijklmnopqrst] [-q]\n");
  ArgvQuotingParser short_one({.prog = "tool"});
  EXPECT_EQ(short_one.format_usage(), "usage: tool\n");
  short_one.add_argument({.flags = {"-x"}});
  short_one.add_argument({.flags = {"-many"}, .nargs = Nargs::OneOrMore});
  short_one.add_argument({.flags = {"-f", "-flag"}, .action = Action::StoreTrue});
  EXPECT_EQ(short_one.format_usage(), "usage: tool [-x X] [-many MANY [MANY ...]] [-f]\n");
}

TEST(ArgvQuotingParserFormat, UsageLinesFillUpToEightyColumns) {
  ArgvQuotingParser parser({.prog = "p"});
  for (const char* name : {"-aaaaaa", "-bbbbbb", "-cccccc", "-dddddd", "-eeeeee"}) {
    parser.add_argument({.flags = {name}});
  }
  EXPECT_EQ(parser.format_usage(),
            "usage: p [-aaaaaa AAAAAA] [-bbbbbb BBBBBB] [-cccccc CCCCCC] [-dddddd DDDDDD]\n"
            "         [-eeeeee EEEEEE]\n");
  // A usage of exactly 80 columns stays on one line; one column more moves
  // the last option down.
  const std::string options = "[-aaaaaa AAAAAA] [-bbbbbb BBBBBB] [-cccccc CCCCCC]";
  ArgvQuotingParser exact({.prog = "prog_fifteen_ch"});
  ArgvQuotingParser longer({.prog = "prog_fifteen_chx"});
  for (ArgvQuotingParser* each : {&exact, &longer}) {
    for (const char* name : {"-aaaaaa", "-bbbbbb", "-cccccc", "-d"}) each->add_argument({.flags = {name}});
  }
  EXPECT_EQ(exact.format_usage(), "usage: prog_fifteen_ch " + options + " [-d D]\n");
  EXPECT_EQ(longer.format_usage(), "usage: prog_fifteen_chx " + options + "\n" + std::string(24, ' ') + "[-d D]\n");
  // The same holds for a line of a usage that is wrapped anyway.
  exact.add_argument({.flags = {"-e"}});
  longer.add_argument({.flags = {"-e"}});
  EXPECT_EQ(exact.format_usage(),
            "usage: prog_fifteen_ch " + options + " [-d D]\n" + std::string(23, ' ') + "[-e E]\n");
  EXPECT_EQ(longer.format_usage(),
            "usage: prog_fifteen_chx " + options + "\n" + std::string(24, ' ') + "[-d D] [-e E]\n");
}

TEST(ArgvQuotingParserFormat, LongProgramNameGetsALineOfItsOwn) {
  const std::string prog(60, 'p');
  ArgvQuotingParser parser({.prog = prog});
  parser.add_argument({.flags = {"-testbed_file"}});
  parser.add_argument({.flags = {"-topology_name"}});
  EXPECT_EQ(parser.format_usage(), "usage: " + prog +
                                       "\n"
                                       "       [-testbed_file TESTBED_FILE] [-topology_name TOPOLOGY_NAME]\n");
}

TEST(ArgvQuotingParserFormat, HelpListsEveryOptionUnderItsUsage) {
  EXPECT_EQ(formatted_parser().format_help(),
            "usage: tool [-testbed_file TESTBED_FILE] [-verbose]\n"
            "            [-clean_files CLEAN_FILES [CLEAN_FILES ...]] [-topo_name TOPO_NAME]\n"
            "            [-abcdefghijklmnopqrst] [-q]\n"
            "\n"
            "Brings a test topology up and writes its testbed file.\n"
            "\n"
            "options:\n"
            "  -testbed_file TESTBED_FILE\n"
            "                        Path of the static testbed file.\n"
            "  -verbose, -v          Say more.\n"
            "  -clean_files CLEAN_FILES [CLEAN_FILES ...]\n"
            "                        Clean configuration files; later files override earlier\n"
            "                        ones key by key, so that a lab file only needs the keys\n"
            "                        it changes.\n"
            "  -topo_name TOPO_NAME  Name of the topology.\n"
            "  -abcdefghijklmnopqrst\n"
            "                        Long flag.\n"
            "  -q\n");
}

TEST(ArgvQuotingParserFormat, HelpWrapsTextAndDescription) {
  ArgvQuotingParser parser({.prog = "tool",
                            .description = "First paragraph of a description that is long enough to need a second "
                                           "line at eighty columns.\n\nSecond   paragraph."});
  parser.add_argument({.flags = {"-n"},
                       .help = "A help text with a word that is longer than the whole help column: "
                               "https://example.org/a/very/long/path/that/does/not/fit/anywhere"});
  EXPECT_EQ(parser.format_help(),
            "usage: tool [-n N]\n"
            "\n"
            "First paragraph of a description that is long enough to need a second line at\n"
            "eighty columns.\n"
            "\n"
            "Second paragraph.\n"
            "\n"
            "options:\n"
            "  -n N                  A help text with a word that is longer than the whole\n"
            "                        help column: https://example.org/a/very/long/path/that/d\n"
            "                        oes/not/fit/anywhere\n");
}

TEST(ArgvQuotingParserFormat, UsageCanBeReplacedOrSuppressed) {
  ArgvQuotingParser parser = formatted_parser();
  parser.usage = "%(prog)s -testbed_file FILE [options]";
  EXPECT_EQ(parser.format_usage(), "usage: tool -testbed_file FILE [options]\n");
  EXPECT_EQ(parser.format_help().substr(0, 48), "usage: tool -testbed_file FILE [options]\n\nBrings");

  parser.usage = std::string(SUPPRESS);
  EXPECT_EQ(parser.format_usage(), "");
  const std::string help = parser.format_help();
  EXPECT_EQ(help.substr(0, 65), "Brings a test topology up and writes its testbed file.\n\noptions:\n");
  EXPECT_EQ(help.find("usage"), std::string::npos);

  // Nothing to show: callers rely on the empty text to leave such a parser
  // out of a combined help.
  ArgvQuotingParser empty({.prog = "tool"});
  empty.usage = std::string(SUPPRESS);
  EXPECT_EQ(empty.format_help(), "");
  ArgvQuotingParser described({.prog = "tool", .description = "Only a description."});
  described.usage = std::string(SUPPRESS);
  EXPECT_EQ(described.format_help(), "Only a description.\n");
  ArgvQuotingParser bare({.prog = "tool"});
  EXPECT_EQ(bare.format_help(), "usage: tool\n");
}

std::string printed(void (ArgvQuotingParser::*print)(std::FILE*) const, const ArgvQuotingParser& parser) {
  std::FILE* file = std::tmpfile();
  if (!file) return "tmpfile failed";
  (parser.*print)(file);
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

TEST(ArgvQuotingParserFormat, PrintWritesTheTexts) {
  const ArgvQuotingParser parser = formatted_parser();
  EXPECT_EQ(printed(&ArgvQuotingParser::print_usage, parser), parser.format_usage());
  EXPECT_EQ(printed(&ArgvQuotingParser::print_help, parser), parser.format_help());
}

TEST(CliCommandLine, ParseReturnsOnlyTheOptionsGiven) {
  ScopedCommandLine recorded({"/opt/morvane/bin/bringup", "-testbed_file", "tb.yaml", "-worker_only", "7"});
  ArgvQuotingParser parser;
  parser.add_argument({.flags = {"-testbed_file"}});
  parser.add_argument({.flags = {"-topology_name"}});
  parser.add_argument({.flags = {"-verbose"}, .action = Action::StoreTrue});
  EXPECT_EQ(Value(parse_cli_args(parser)).repr(), "{'testbed_file': 'tb.yaml'}");
}

TEST(CliCommandLine, ProgramNameIsNotParsed) {
  // Login shells start argv[0] with a dash; it must not read as an option.
  ScopedCommandLine recorded({"-testbed_file", "tb.yaml"});
  ArgvQuotingParser parser;
  parser.add_argument({.flags = {"-testbed_file"}});
  EXPECT_EQ(Value(parse_cli_args(parser)).repr(), "{}");
}

TEST(CliCommandLine, ProgDefaultsToTheProgramsFileName) {
  {
    ScopedCommandLine recorded({"/usr/local/bin/bringup-worker", "-x"});
    EXPECT_EQ(ArgvQuotingParser().prog(), "bringup-worker");
    EXPECT_EQ(ArgvQuotingParser({.prog = "custom"}).prog(), "custom");
  }
  {
    ScopedCommandLine recorded({"relative-name"});
    EXPECT_EQ(ArgvQuotingParser().prog(), "relative-name");
  }
  {
    ScopedCommandLine recorded({""});
    EXPECT_EQ(ArgvQuotingParser().prog(), "bringup");
  }
}

TEST(CliCommandLine, RecordsArgcArgvAndFallsBackToTheKernelsRecord) {
  const char* argv[] = {"/bin/bringup", "-topology_name", "", "ring"};
  {
    ScopedCommandLine saved({});
    set_command_line(4, argv);
    EXPECT_EQ(command_line(), (std::vector<std::string>{"/bin/bringup", "-topology_name", "", "ring"}));
  }
  // GoogleTest keeps the arguments the program was started with, flags
  // included: exactly what the kernel recorded.
  ScopedCommandLine unrecorded({});
  EXPECT_EQ(command_line(), ::testing::internal::GetArgvs());
}

TEST(CliOptionSets, EachParserTakesExactlyItsOwnOptions) {
  ScopedCommandLine recorded({"/usr/bin/bringup", "-testbed_file", "static.yaml", "-clean_files", "base.yaml",
                              "lab.yaml", "-logical_testbed_file", "logical.yaml", "-orchestrator", "docker",
                              "-topology_name", "ring", "-bringup_log_level", "debug", "-sim_launch_delay", "2.5",
                              "-tb_yaml_output_file_name", "built.yaml", "-h"});
  ArgvQuotingParser worker;
  bringup_base_cli_parser::populate_base_bringup_parser(worker);
  ArgvQuotingParser manager;
  orvanta_cli_parser::populate_orvanta_parser(manager);

  EXPECT_EQ(Value(parse_cli_args(worker)).repr(),
            "{'testbed_file': 'static.yaml', 'logical_testbed_file': 'logical.yaml', 'topology_name': 'ring', "
            "'tb_yaml_output_file_name': 'built.yaml', 'help': True}");
  EXPECT_EQ(Value(parse_cli_args(manager)).repr(),
            "{'clean_files': ['base.yaml', 'lab.yaml'], 'orchestrator': 'docker', 'bringup_log_level': 'debug'}");
}

TEST(CliOptionSets, OptionsAreDeclaredInTheirUsageOrder) {
  ArgvQuotingParser worker({.prog = "bringup"});
  bringup_base_cli_parser::populate_base_bringup_parser(worker);
  EXPECT_EQ(worker.format_usage(),
            "usage: bringup [-testbed_file TESTBED_FILE]\n"
            "               [-logical_testbed_file LOGICAL_TESTBED_FILE]\n"
            "               [-topology_name TOPOLOGY_NAME]\n"
            "               [-tb_yaml_output_file_name TB_YAML_OUTPUT_FILE_NAME] [-help]\n");
  ArgvQuotingParser manager({.prog = "bringup"});
  orvanta_cli_parser::populate_orvanta_parser(manager);
  EXPECT_EQ(manager.format_usage(),
            "usage: bringup [-orchestrator ORCHESTRATOR]\n"
            "               [-clean_files CLEAN_FILES [CLEAN_FILES ...]]\n"
            "               [-bringup_log_level BRINGUP_LOG_LEVEL]\n");
  // The log level is free text: an unknown name is dealt with when the
  // logger is set up, not refused here.
  EXPECT_EQ(Value(manager.parse_known_args({"-bringup_log_level", "chatty"})).repr(),
            "{'bringup_log_level': 'chatty'}");
  for (const Argument& argument : manager.arguments()) {
    for (const std::string& flag : argument.flags) {
      EXPECT_EQ(worker.parse_known_args({flag, "value"}).size(), 0u) << flag << " is declared by both parsers";
    }
  }
}

}  // namespace
}  // namespace tarvex::morvane::utils
