#include "tarvex/log.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/temp_dir.hpp"
#include "tarvex/process.hpp"

namespace tarvex::log {
namespace {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(Logging, LevelsAreInheritedFromTheNearestConfiguredAncestor) {
  Logger& parent = getLogger("tests.hier");
  Logger& child = getLogger("tests.hier.child.grandchild");
  parent.set_level(ERROR);
  EXPECT_EQ(child.effective_level(), ERROR);
  getLogger("tests.hier.child").set_level(DEBUG);
  EXPECT_EQ(child.effective_level(), DEBUG);
  getLogger("tests.hier.child").set_level(NOTSET);
  EXPECT_EQ(child.effective_level(), ERROR);
  EXPECT_EQ(getLogger("tests.hierarchy").effective_level(), getLogger("").effective_level());
  parent.set_level(NOTSET);
}

TEST(Logging, CaptureSeesRecordsThatPassTheLevel) {
  LogCapture capture;
  Logger& logger = getLogger("tests.capture");
  logger.set_level(INFO);
  logger.debug("hidden {}", 1);
  logger.info("shown {}", 2);
  logger.warning("careful");
  EXPECT_EQ(capture.texts(), (std::vector<std::string>{"shown 2", "careful"}));
  EXPECT_TRUE(capture.contains(WARNING, "careful"));
  EXPECT_EQ(capture.records()[0].logger, "tests.capture");
}

TEST(Logging, ForkedChildWritesToTheScopedLogFile) {
  testing::TempDir dir;
  TaskLog& tasklog = managed_handlers().tasklog;
  tasklog.log_dir = dir.path();
  {
    auto scope = tasklog.next_fork_logfile("BringUp_42.log");
    auto child = process::ChildProcess::fork([] {
      getLogger("tests.fork").warning("hello from the child");
      return 0;
    });
    EXPECT_EQ(child.wait(), 0);
    // The scope covers only the next fork.
    auto second = process::ChildProcess::fork([] { return 0; });
    EXPECT_EQ(second.wait(), 0);
  }
  tasklog.log_dir.clear();
  const std::string text = read_file(dir.path() / "BringUp_42.log");
  EXPECT_NE(text.find("WARNING tests.fork: hello from the child"), std::string::npos) << text;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Logging, ForkRegistrationNamesChildLogsByPattern) {
  testing::TempDir dir;
  TaskLog& tasklog = managed_handlers().tasklog;
  tasklog.log_dir = dir.path();
  tasklog.enableForked();
  const std::string saved = tasklog.forked_log_pattern;
  tasklog.forked_log_pattern = "{parent}_DeviceLaunch_:pid-{pid}";
  auto child = process::ChildProcess::fork([] {
    getLogger("tests.fork").warning("device log");
    return 0;
  });
  const int pid = child.pid();
  EXPECT_EQ(child.wait(), 0);
  tasklog.forked_log_pattern = saved;
  tasklog.disableForked();
  tasklog.log_dir.clear();
  const auto expected = dir.path() / ("test_framework_DeviceLaunch_:pid-" + std::to_string(pid));
  EXPECT_NE(read_file(expected).find("device log"), std::string::npos);
}

TEST(Logging, OutputPendingBeforeAForkIsWrittenOnce) {
  testing::TempDir dir;
  const std::string path = (dir.path() / "out.txt").string();
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  std::FILE* file = std::freopen(path.c_str(), "w", stdout);
  ASSERT_NE(file, nullptr);
  std::printf("pending-line ");  // still in stdio's buffer when the fork happens
  auto child = process::ChildProcess::fork([] {
    std::printf("child\n");
    return 0;
  });
  child.wait();
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  const std::string text = read_file(path);
  EXPECT_EQ(text.find("pending-line"), text.rfind("pending-line")) << text;
  EXPECT_NE(text.find("child"), std::string::npos);
}

TEST(Logging, BannerFramesTheText) {
  const std::string banner = utils::banner("Bringup instantiated.");
  EXPECT_NE(banner.find("|                            Bringup instantiated."), std::string::npos) << banner;
  EXPECT_EQ(banner.front(), '+');
  EXPECT_EQ(banner.back(), '+');
}

}  // namespace
}  // namespace tarvex::log
