// The post-launch processing as a whole, and the final testbed file.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bases/post_launch_support.hpp"
#include "support/temp_dir.hpp"

namespace tarvex::morvane::bases {
namespace {

using test_support::PostLaunchTest;
using test_support::yaml;
using Messages = std::vector<std::string>;
namespace fs = std::filesystem;

// Equality that also holds the keys of every mapping to the same order:
// the testbed is written, logged and read back in insertion order.
::testing::AssertionResult same_in_order(const Value& actual, const Value& expected, const std::string& path = "") {
  if (!(actual == expected)) {
    return ::testing::AssertionFailure() << "at '" << path << "': " << actual.pformat() << "\n  expected "
                                         << expected.pformat();
  }
  if (!actual.is_map()) return ::testing::AssertionSuccess();
  if (actual.as_map().keys() != expected.as_map().keys()) {
    return ::testing::AssertionFailure() << "at '" << path << "': keys " << Value(actual.as_map().keys()).repr()
                                         << "\n  expected " << Value(expected.as_map().keys()).repr();
  }
  for (const auto& [key, value] : expected.as_map()) {
    auto nested = same_in_order(actual.at(key), value, path + "/" + key.str());
    if (!nested) return nested;
  }
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------- whole runs over fixture files

// Each fixture holds the user's logical testbed, the backend's testbed and
// cross-reference, the static testbed, and the expected testbed, actual
// devices and messages (every message of the bases logger, in order).
class ProcessTestbedConfig : public PostLaunchTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ProcessTestbedConfig, ProducesTheExpectedTestbedAndMessages) {
  const Value fixture =
      tarvex::utils::yaml::load_file(std::string(MORVANE_SOURCE_DIR) + "/tests/bases/fixtures/" + GetParam() + ".yaml");
  BringUpWorkerBase::logical_testbed_config = fixture.at("logical");
  BringUpWorkerBase::static_testbed_config = fixture.at("static");
  BringUpBase::logical_devices = fixture.at("logical_devices");
  worker.testbed_config = fixture.at("backend");
  worker.dev_name_xref = fixture.at("dev_name_xref");

  worker._process_tb_config(fixture.at("add_aliases").as_bool(),
                            fixture.at("allow_log_act_content_transfer").as_bool());

  EXPECT_TRUE(same_in_order(worker.testbed_config, fixture.at("expected")));
  EXPECT_EQ(worker.actual_devices, fixture.at("expected_actual_devices"));
  Messages expected_messages;
  for (const Value& text : fixture.at("expected_messages").as_list()) expected_messages.push_back(text.as_str());
  EXPECT_EQ(all_messages(), expected_messages);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ProcessTestbedConfig,
                         ::testing::Values("process_renamed_devices", "process_backend_aliases", "process_static_only",
                                           "process_without_transfer"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// ---------------------------------------------------------------- process steps

using ProcessSteps = PostLaunchTest;

TEST_F(ProcessSteps, RefusesToRunWithoutCrossReference) {
  worker.dev_name_xref = Value();
  try {
    worker._process_tb_config();
    ADD_FAILURE() << "no error";
  } catch (const AssertionError& error) {
    EXPECT_EQ(error.message(), "The physical-to-logical device name xref is not populated.");
  }
  EXPECT_TRUE(all_messages().empty());
}

TEST_F(ProcessSteps, ActualDevicesAreKeptWhenTheOrchestratorReportsNone) {
  for (const char* testbed : {"topology: {}", "devices: null", "devices: [act-R1]"}) {
    SCOPED_TRACE(testbed);
    worker.testbed_config = yaml(testbed);
    worker.dev_name_xref = Map{};
    worker.actual_devices = yaml("[from-before]");
    capture.clear();
    worker._process_tb_config(false);
    EXPECT_EQ(worker.actual_devices, yaml("[from-before]"));
    EXPECT_EQ(all_messages(), Messages{"DEBUG No actual devices have come back from the orchestrator."});
  }
}

TEST_F(ProcessSteps, InterfaceAliasesNeedACrossReference) {
  worker.testbed_config = yaml("devices: {act-R1: {}}\ntopology: {act-R1: {interfaces: {eth1: {link: L-a}}}}");
  worker.dev_name_xref = Map{};
  worker._process_tb_config();
  EXPECT_EQ(all_messages(), Messages{"DEBUG Starting logical to physical device name mapping..."});
  EXPECT_EQ(worker.actual_devices, yaml("[act-R1]"));
}

TEST_F(ProcessSteps, MergeErrorsPropagateBeforeTheStaticTestbedIsApplied) {
  BringUpWorkerBase::logical_testbed_config = yaml("devices: {R1: {clean: {images: [a.bin]}}}");
  BringUpWorkerBase::static_testbed_config = yaml("devices: {R1: {os: linux}}");
  worker.testbed_config = yaml("devices: {R1: {clean: none-here}}");
  worker.dev_name_xref = Map{};
  EXPECT_THROW(worker._process_tb_config(true, false), TypeError);
  EXPECT_FALSE(worker.testbed_config.at("devices").at("R1").contains("os"));
}

// ---------------------------------------------------------------- final testbed file

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> entries_of(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class FinalTestbedFile : public PostLaunchTest {
 protected:
  FinalTestbedFile() {
    tarvex::testing::set_final_tb_yaml_write_delay(std::chrono::milliseconds(0));
    worker.testbed_config = yaml("testbed: {name: run-1}\ndevices: {act-R1: {os: frr, alias: R1}}");
  }
  ~FinalTestbedFile() override { tarvex::testing::set_final_tb_yaml_write_delay(std::nullopt); }

  tarvex::testing::TempDir dir;
};

TEST_F(FinalTestbedFile, FileNameFollowsTheFirstMatchingRule) {
  struct Case {
    const char* title;
    const char* explicit_name;  // in the temporary directory; null: none
    bool jobrix;
    Value taskid;
    bool with_runinfo_dir;
    std::vector<std::string> expected_files;
    Messages warnings;
  };
  const Case cases[] = {
      {"explicit name wins", "out.yaml", true, 42, true, {"out.yaml"}, {}},
      {"jobrix task", nullptr, true, 42, true, {"testbed_42.actual.yaml"}, {}},
      {"jobrix task named by text", nullptr, true, "job-7", true, {"testbed_job-7.actual.yaml"}, {}},
      {"jobrix without task", nullptr, true, Value(), true, {"testbed.actual.yaml"}, {}},
      {"jobrix with an empty task", nullptr, true, "", true, {"testbed.actual.yaml"}, {}},
      {"empty explicit name counts as none", "", true, Value(), true, {"testbed.actual.yaml"}, {}},
      {"not under jobrix", nullptr, false, 42, true, {}, {}},
      {"jobrix without run information directory",
       nullptr,
       true,
       42,
       false,
       {},
       {"Not writing the final testbed file: running under jobrix but no run information directory is known."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const tarvex::testing::TempDir run;
    worker.tb_yaml_output_file_name.reset();
    if (c.explicit_name) worker.tb_yaml_output_file_name = *c.explicit_name ? run.file(c.explicit_name) : "";
    worker.jobrix = c.jobrix;
    worker.taskid = c.taskid;
    worker.runinfo_dir.reset();
    if (c.with_runinfo_dir) worker.runinfo_dir = run.path().string();
    capture.clear();

    worker._write_final_actual_tb_yaml_file();

    EXPECT_EQ(entries_of(run.path()), c.expected_files);
    for (const std::string& name : c.expected_files) {
      EXPECT_EQ(tarvex::utils::yaml::load_file(run.file(name)), worker.testbed_config);
    }
    EXPECT_EQ(messages(log::WARNING), c.warnings);
    EXPECT_EQ(messages(log::DEBUG), Messages{});
  }
}

TEST_F(FinalTestbedFile, EmptyTestbedWritesNoFile) {
  worker.testbed_config = Map{};
  worker.tb_yaml_output_file_name = dir.file("out.yaml");
  worker._write_final_actual_tb_yaml_file();
  EXPECT_TRUE(entries_of(dir.path()).empty());
}

TEST_F(FinalTestbedFile, WrittenFileLoadsBackToTheSameData) {
  worker.testbed_config = yaml(R"(
testbed: {name: run-1, alias: lab}
devices:
  act-R1:
    alias: R1
    os: frr
    flags: ['yes', 'no', 'on', 'null', '~', '1.0', '0x1F', '', '2001-12-14', 'a: b', '#x']
    numbers: [0, -7, 1.5, 1.0e+20]
    nothing: null
    enabled: true
topology:
  act-R1:
    interfaces:
      Gi0/1: {link: R1-R2, alias: Gi1, description: "to R2, via patch panel"}
)");
  worker.tb_yaml_output_file_name = dir.file("final.yaml");
  worker._write_final_actual_tb_yaml_file();
  EXPECT_EQ(tarvex::utils::yaml::load_file(dir.file("final.yaml")), worker.testbed_config);
  EXPECT_EQ(read_file(dir.file("final.yaml")), tarvex::utils::yaml::dump(worker.testbed_config));
  EXPECT_TRUE(all_messages().empty());
}

TEST_F(FinalTestbedFile, ExistingFileIsReplaced) {
  std::ofstream(dir.file("final.yaml")) << "stale: true\nand: a much longer text than the new content has\n";
  worker.tb_yaml_output_file_name = dir.file("final.yaml");
  worker._write_final_actual_tb_yaml_file();
  EXPECT_EQ(read_file(dir.file("final.yaml")), tarvex::utils::yaml::dump(worker.testbed_config));
  EXPECT_EQ(entries_of(dir.path()), std::vector<std::string>{"final.yaml"});
}

TEST_F(FinalTestbedFile, FileModeIsTheUsualOne) {
  worker.tb_yaml_output_file_name = dir.file("final.yaml");
  const mode_t saved = ::umask(022);
  worker._write_final_actual_tb_yaml_file();
  ::umask(saved);
  EXPECT_EQ(fs::status(dir.file("final.yaml")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(FinalTestbedFile, MissingDirectoryIsAnErrorNamingTheFile) {
  const std::string target = dir.file("missing/final.yaml");
  worker.tb_yaml_output_file_name = target;
  try {
    worker._write_final_actual_tb_yaml_file();
    ADD_FAILURE() << "no error";
  } catch (const OSError& error) {
    EXPECT_NE(error.message().find(target), std::string::npos) << error.message();
  }
  EXPECT_TRUE(entries_of(dir.path()).empty());
}

TEST_F(FinalTestbedFile, FailedWriteLeavesNoTemporaryFileBehind) {
  // The final name is taken by a directory: the content is written, but it
  // cannot be put in place.
  fs::create_directory(dir.file("final.yaml"));
  worker.tb_yaml_output_file_name = dir.file("final.yaml");
  try {
    worker._write_final_actual_tb_yaml_file();
    ADD_FAILURE() << "no error";
  } catch (const OSError& error) {
    EXPECT_NE(error.message().find(dir.file("final.yaml")), std::string::npos) << error.message();
  }
  EXPECT_EQ(entries_of(dir.path()), std::vector<std::string>{"final.yaml"});
  EXPECT_TRUE(fs::is_empty(dir.file("final.yaml")));
}

// The changes the kernel reports for `name` in a watched directory, in
// order.
std::vector<std::uint32_t> events_for(int inotify_fd, const std::string& name) {
  std::vector<std::uint32_t> masks;
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t length = ::read(inotify_fd, buffer, sizeof buffer);
    if (length <= 0) break;
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      if (event->len > 0 && name == event->name) masks.push_back(event->mask);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return masks;
}

TEST_F(FinalTestbedFile, FinalNameOnlyEverReceivesTheCompleteFile) {
  // A reader must never find a partly written file under the final name,
  // whether the file is new or replaces one: the only change the final
  // name may see is the rename of a complete file onto it.  The kernel's
  // record of the directory's changes shows this without racing the
  // writer.
  for (const bool replaces : {false, true}) {
    SCOPED_TRACE(replaces ? "replacing a file" : "new file");
    const tarvex::testing::TempDir run;
    const std::string target = run.file("final.yaml");
    if (replaces) std::ofstream(target) << "previous: content\n";
    worker.tb_yaml_output_file_name = target;
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(
        ::inotify_add_watch(watch, run.path().c_str(),
                            IN_CREATE | IN_OPEN | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE),
        0);

    worker._write_final_actual_tb_yaml_file();

    const std::vector<std::uint32_t> events = events_for(watch, "final.yaml");
    ::close(watch);
    EXPECT_EQ(events, std::vector<std::uint32_t>{IN_MOVED_TO});
    EXPECT_EQ(read_file(target), tarvex::utils::yaml::dump(worker.testbed_config));
    EXPECT_EQ(entries_of(run.path()), std::vector<std::string>{"final.yaml"});
  }
}

TEST_F(FinalTestbedFile, ShippedPauseBeforeWritingIsOneSecond) {
  tarvex::testing::set_final_tb_yaml_write_delay(std::nullopt);
  worker.tb_yaml_output_file_name = dir.file("final.yaml");
  const auto start = std::chrono::steady_clock::now();
  worker._write_final_actual_tb_yaml_file();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::seconds(1));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  EXPECT_TRUE(fs::exists(dir.file("final.yaml")));
}

}  // namespace
}  // namespace tarvex::morvane::bases
