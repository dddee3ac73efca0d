// The tool's command line as a user meets it: the help, and the mistakes a
// user makes (a wrong path, a broken file, a misspelt name, a bad value),
// each of which must fail with an error that names it and leave nothing.
#include <gtest/gtest.h>

#include "bringup_runner.hpp"

namespace tarvex::testing {
namespace {

using namespace std::chrono_literals;

TEST(BringupCommandLine, HelpListsTheManagersAndTheOrchestratorsOptionsAndLaunchesNothing) {
  TempDir dir;
  const RunResult result = run_bringup(dir, {"-h", "-log_dir", dir.file("logs")});
  ASSERT_TRUE(result.ended && result.exited) << result.describe();
  EXPECT_EQ(result.exit_code, 0) << result.describe();
  EXPECT_LT(result.seconds, 4.0) << "help must not wait for a topology to settle\n" << result.describe();
  EXPECT_TRUE(result.out.starts_with("usage: bringup")) << result.describe();
  for (const char* option :
       {"-orchestrator", "-clean_files", "-logical_testbed_file", "-testbed_file", "-tb_yaml_output_file_name",
        "-sim_plan", "-sim_launch_delay", "-interactive", "-log_dir"}) {
    EXPECT_NE(result.out.find(option), std::string::npos) << option << " missing from\n" << result.out;
  }
  EXPECT_EQ(result.err.find("Launching topology"), std::string::npos) << result.describe();
  EXPECT_FALSE(std::filesystem::exists(BringupRun::sim_state_root(dir)));
  expect_nothing_left(result, dir);
}

// A mistake on the command line or in a file it names.
struct Mistake {
  std::string name;
  std::string logical_file_text;   // written to DIR/logical.yaml when not empty
  std::vector<std::string> args;   // "DIR" stands for the test's directory
  std::vector<std::string> shown;  // each must be on standard error, once ("DIR" as above)
  int exit_code;                   // 1: failed; 2: bad command line
  std::string clean_file_text{};   // written to DIR/clean.yaml when not empty

  friend void PrintTo(const Mistake& mistake, std::ostream* out) { *out << mistake.name; }
};

std::string in_dir(std::string text, const TempDir& dir) {
  for (std::size_t at; (at = text.find("DIR")) != std::string::npos;) text.replace(at, 3, dir.path().string());
  return text;
}

class UserMistake : public ::testing::TestWithParam<Mistake> {};

TEST_P(UserMistake, FailsNamingTheProblemAndLeavesNothing) {
  const Mistake& mistake = GetParam();
  TempDir dir;
  if (!mistake.logical_file_text.empty()) write_file(dir.file("logical.yaml"), mistake.logical_file_text);
  if (!mistake.clean_file_text.empty()) write_file(dir.file("clean.yaml"), mistake.clean_file_text);
  std::vector<std::string> args;
  for (const std::string& arg : mistake.args) args.push_back(in_dir(arg, dir));
  args.insert(args.end(), {"-log_dir", dir.file("logs")});

  const RunResult result = run_bringup(dir, args, 30s);
  ASSERT_TRUE(result.ended && result.exited) << result.describe();
  EXPECT_EQ(result.exit_code, mistake.exit_code) << result.describe();
  EXPECT_NE(result.err.find("bringup: error: "), std::string::npos) << result.describe();
  for (const std::string& text : mistake.shown) {
    const std::string wanted = in_dir(text, dir);
    const std::size_t at = result.err.find(wanted);
    EXPECT_NE(at, std::string::npos) << "missing: " << text << "\n" << result.describe();
    if (at != std::string::npos) {
      EXPECT_EQ(result.err.find(wanted, at + wanted.size()), std::string::npos)
          << "shown more than once: " << text << "\n"
          << result.describe();
    }
  }
  EXPECT_EQ(result.err.find("Launching topology"), std::string::npos) << result.describe();
  // The error's first line says what it is.
  EXPECT_EQ(result.err.find("bringup: error: \n"), std::string::npos) << result.describe();
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.yaml"))) << result.describe();
  expect_nothing_left(result, dir);
}

const std::string kLab = std::string(MORVANE_SOURCE_DIR) + "/examples/lab/logical.yaml";

INSTANTIATE_TEST_SUITE_P(
    BringupTool, UserMistake,
    ::testing::Values(Mistake{"MissingLogicalTestbedFile",
                              "",
                              {"-logical_testbed_file", "DIR/no-such-lab.yaml"},
                              {"No such file or directory", "DIR/no-such-lab.yaml"},
                              1},
                      // The third device line is indented one space short.
                      Mistake{"MalformedLogicalTestbedFile",
                              "devices:\n  R1:\n    type: router\n   logical: true\n",
                              {"-logical_testbed_file", "DIR/logical.yaml"},
                              {"Error in YAML file 'DIR/logical.yaml', line 4"},
                              1},
                      // A lab that would come up as something else than it says: an
                      // interface written twice (the last would replace the first)
                      // and a NUL that no device can take.
                      Mistake{
                          "LogicalTestbedThatWouldBuildSomethingElse",
                          "devices:\n  r1: {logical: true, os: linux}\n"
                          "  r2: {logical: true, os: linux, note: \"a\\0b\"}\n"
                          "topology:\n  r1:\n    interfaces:\n"
                          "      to-r2: {link: l1, ipv4: 10.0.0.1/30}\n"
                          "      to-r2: {link: l1, ipv4: 10.0.0.5/30}\n"
                          "  r2:\n    interfaces:\n      to-r1: {link: l1}\n",
                          {"-logical_testbed_file", "DIR/logical.yaml", "-tb_yaml_output_file_name", "DIR/out.yaml"},
                          {"bringup: error: ValueError: DIR/logical.yaml: line 3: devices/r2/note: "
                           "the text holds the control character U+0000 (NUL)\n",
                           "\nDIR/logical.yaml: line 7 and line 8: interface 'to-r2' of device "
                           "'r1' appears twice\n"},
                          1},
                      Mistake{"UnknownOrchestrator",
                              "",
                              {"-orchestrator", "nosuch", "-logical_testbed_file", kLab},
                              {"No worker class named 'nosuch' is registered", "(registered: netns, sim,"},
                              1},
                      Mistake{"BadOptionValue",
                              "",
                              {"-sim_launch_delay", "abc", "-logical_testbed_file", kLab},
                              {"argument -sim_launch_delay: invalid float value: 'abc'"},
                              2},
                      // A misspelt option is not ignored (it would build
                      // something else), nor a stray word.
                      Mistake{"MisspeltOption",
                              "",
                              {"-logical_testbed_file", kLab, "-sim_lauch_delay", "3"},
                              {"-sim_lauch_delay: unknown option (did you mean -sim_launch_delay?)"},
                              2},
                      Mistake{"StrayArgument",
                              "",
                              {"-logical_testbed_file", kLab, "-interactive", "lab.yaml"},
                              {"'lab.yaml': unexpected argument (it belongs to no option)"},
                              2},
                      // A log level or setting nobody knows does not pass for one.
                      Mistake{"UnknownLogLevel",
                              "",
                              {"-logical_testbed_file", kLab, "-bringup_log_level", "bogus"},
                              {"argument -bringup_log_level: invalid choice: 'bogus' (choose from debug, info, "
                               "warning, error, critical)"},
                              2},
                      Mistake{"CleanFileSettings",
                              "",
                              {"-logical_testbed_file", kLab, "-clean_files", "DIR/clean.yaml"},
                              {"DIR/clean.yaml: bringup/sim/log_level: 'bogus' is not a log level",
                               "DIR/clean.yaml: bringup/sim/colour: not a setting of "
                               "tarvex.morvane.orchestrators.sim.SimWorker (its settings: class, log_level, sim_plan",
                               "DIR/clean.yaml: bringup/sim/sim_launch_delay: sim_launch_delay: expected float, got "
                               "str 'abc'"},
                              1,
                              "bringup:\n  sim:\n    class: sim\n    log_level: bogus\n    colour: blue\n"
                              "    sim_launch_delay: abc\n"},
                      Mistake{"OutputFolderMissing",
                              "",
                              {"-logical_testbed_file", kLab, "-tb_yaml_output_file_name", "DIR/nowhere/out.yaml"},
                              {"-tb_yaml_output_file_name: the folder 'DIR/nowhere' of "
                               "'DIR/nowhere/out.yaml' does not exist"},
                              2}),
    [](const ::testing::TestParamInfo<Mistake>& info) { return info.param.name; });

}  // namespace
}  // namespace tarvex::testing
