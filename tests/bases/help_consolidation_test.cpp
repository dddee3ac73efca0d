#include <gtest/gtest.h>

#include "tarvex/morvane/bases/help.hpp"
#include "worker_fixture.hpp"

namespace tarvex::testing {
namespace {

using morvane::utils::Argument;
using morvane::utils::ArgvQuotingParser;

ArgvQuotingParser parser_with(std::vector<Argument> arguments, std::string description = {}) {
  ArgvQuotingParser parser(ArgvQuotingParser::Options{.prog = "bringup", .description = std::move(description)});
  for (auto& argument : arguments) parser.add_argument(std::move(argument));
  return parser;
}

TEST(HelpConsolidation, OptionListIsAlignedUnderTheUsageLine) {
  ArgvQuotingParser parser = parser_with({Argument{.flags = {"-testbed_file"}, .help = "Static testbed."}});
  ASSERT_EQ(parser.format_usage(), "usage: bringup [-testbed_file TESTBED_FILE]\n");
  std::vector<std::string> usage, help;
  morvane::bases::consolidate_help(parser, usage, help);
  EXPECT_EQ(usage, (std::vector<std::string>{"\n", std::string(15, ' '), "[-testbed_file TESTBED_FILE]"}));
  ASSERT_EQ(help.size(), 1u);
  EXPECT_EQ(help[0].find("usage:"), std::string::npos) << "the usage was suppressed first";
  EXPECT_NE(help[0].find("-testbed_file TESTBED_FILE"), std::string::npos);
  EXPECT_EQ(parser.format_usage(), "");
}

TEST(HelpConsolidation, UsageWithoutOptionsContributesOnlyItsHelp) {
  ArgvQuotingParser parser = parser_with({}, "Brings a simulated topology up.");
  std::vector<std::string> usage, help;
  morvane::bases::consolidate_help(parser, usage, help);
  EXPECT_TRUE(usage.empty());
  ASSERT_EQ(help.size(), 1u);
  EXPECT_NE(help[0].find("Brings a simulated topology up."), std::string::npos);
}

TEST(HelpConsolidation, EmptyHelpContributesOnlyUsage) {
  ArgvQuotingParser parser = parser_with({});
  parser.usage = "bringup [-x X]";
  std::vector<std::string> usage, help;
  morvane::bases::consolidate_help(parser, usage, help);
  EXPECT_EQ(usage.size(), 3u);
  EXPECT_TRUE(help.empty());
}

using WorkerHelp = WorkerTest;

TEST_F(WorkerHelp, UpdateHelpCollectsTheBaseOptionsAgainOnEachCall) {
  auto worker = make();
  worker->update_help();
  ASSERT_EQ(worker->cli_usage_details.size(), 3u);
  EXPECT_TRUE(worker->cli_usage_details[2].starts_with("[-testbed_file TESTBED_FILE]"));
  ASSERT_EQ(worker->cli_help_details.size(), 1u);
  EXPECT_NE(worker->cli_help_details[0].find("-help, -h"), std::string::npos);
  worker->update_help();
  EXPECT_EQ(worker->cli_help_details.size(), 2u);   // appended again
  EXPECT_EQ(worker->cli_usage_details.size(), 3u);  // the usage is suppressed now

  worker->base_cli_parser.reset();
  worker->update_help();
  EXPECT_EQ(worker->cli_help_details.size(), 2u);
}

}  // namespace
}  // namespace tarvex::testing
