#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "support/temp_dir.hpp"
#include "tarvex/async_.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/topology.hpp"

namespace tarvex::async_ {
namespace {

using namespace std::chrono_literals;

std::shared_ptr<Object> device(const std::string& name) {
  return topology::Device::class_info().construct({}, Kwargs{{"name", name}});
}

// Each target records its pid into a file named after its device, then
// behaves as the device's name says.
Target recording_target(const std::filesystem::path& dir) {
  return [dir](Object& d) {
    const std::string name = d.get_attr("name").str();
    std::ofstream(dir / name) << ::getpid();
    if (name.starts_with("fail")) throw ValueError("cannot clean " + name);
    if (name.starts_with("hang")) std::this_thread::sleep_for(60s);
    if (name.starts_with("slow")) std::this_thread::sleep_for(300ms);
  };
}

bool process_exists(const std::filesystem::path& pid_file) {
  std::ifstream in(pid_file);
  pid_t pid = 0;
  in >> pid;
  return pid > 0 && ::kill(pid, 0) == 0;
}

TEST(Pcall, RunsAllTargetsAtOnceInChildren) {
  testing::TempDir dir;
  const auto start = std::chrono::steady_clock::now();
  pcall({recording_target(dir.path()), recording_target(dir.path()), recording_target(dir.path())}, 30,
        {device("slow1"), device("slow2"), device("slow3")});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 800ms);  // in parallel, not one after another
  for (const char* name : {"slow1", "slow2", "slow3"}) {
    std::ifstream in(dir.path() / name);
    pid_t pid = 0;
    in >> pid;
    EXPECT_NE(pid, ::getpid());
  }
}

TEST(Pcall, AFailureNamesTheDeviceCarriesItsTextAndStopsTheOthers) {
  testing::TempDir dir;
  try {
    pcall({recording_target(dir.path()), recording_target(dir.path())}, 30, {device("fail1"), device("hang1")});
    FAIL() << "no error";
  } catch (const Exception& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("Parallel call failed for device fail1."), std::string::npos) << text;
    EXPECT_NE(text.find("ValueError: cannot clean fail1"), std::string::npos) << text;
  }
  EXPECT_FALSE(process_exists(dir.path() / "hang1"));
}

TEST(Pcall, TheDeadlineStopsAndReapsStragglers) {
  testing::TempDir dir;
  const auto start = std::chrono::steady_clock::now();
  try {
    pcall({recording_target(dir.path()), recording_target(dir.path())}, 0.5, {device("slow1"), device("hang1")});
    FAIL() << "no time-out";
  } catch (const TimeoutError& e) {
    EXPECT_NE(std::string(e.what()).find("still running for device(s): hang1"), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(process_exists(dir.path() / "hang1"));
}

TEST(Pcall, ASameDeviceNamedTwiceRunsTwice) {
  testing::TempDir dir;
  int count_file = 0;
  auto target = [&dir, &count_file](Object& d) {
    std::ofstream(dir.path() / (d.get_attr("name").str() + std::to_string(::getpid()))) << count_file;
  };
  auto r1 = device("r1");
  pcall({target, target}, 30, {r1, r1});
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

TEST(Pcall, MismatchedListsAreRefused) {
  EXPECT_THROW(pcall({[](Object&) {}}, 1, {}), ValueError);
}

}  // namespace
}  // namespace tarvex::async_
