#include "tarvex/process.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tarvex/exceptions.hpp"

namespace tarvex::process {
namespace {

TEST(ChildProcess, RunsEntryAndReportsItsStatus) {
  auto child = ChildProcess::fork([] { return 7; });
  EXPECT_EQ(child.wait(), 7);
  EXPECT_FALSE(child.is_alive());
}

TEST(ChildProcess, AnEscapedErrorEndsTheChildWithStatusOne) {
  auto child = ChildProcess::fork([]() -> int { throw ValueError("boom"); });
  EXPECT_EQ(child.wait(), 1);
  auto exiting = ChildProcess::fork([]() -> int { throw SystemExit(3); });
  EXPECT_EQ(exiting.wait(), 3);
}

TEST(ChildProcess, TerminateAndWaitWithTimeout) {
  auto child = ChildProcess::fork([] {
    ::pause();
    return 0;
  });
  EXPECT_TRUE(child.is_alive());
  EXPECT_EQ(child.wait(0.05), std::nullopt);
  child.terminate();
  EXPECT_EQ(child.wait(5.0), -SIGTERM);
  child.terminate();  // an ended child: nothing happens
  EXPECT_EQ(child.exit_status(), -SIGTERM);
}

TEST(ChildProcess, DestroyingAHandleNeverLeavesTheChildRunning) {
  pid_t pid;
  {
    auto child = ChildProcess::fork([] {
      ::pause();
      return 0;
    });
    pid = child.pid();
  }
  EXPECT_EQ(::kill(pid, 0), -1);  // killed and reaped
}

TEST(ChildProcess, ParentDeathSignalReachesTheGrandchild) {
  // The middle process forks a grandchild that asks for SIGTERM when its
  // parent dies, then the middle process dies; the grandchild reports that
  // it got the signal through a pipe.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  auto middle = ChildProcess::fork([&] {
    ChildProcess::Options options;
    options.parent_death_signal = SIGTERM;
    auto grandchild = ChildProcess::fork(
        [&] {
          ::signal(SIGTERM, [](int) {
            const char byte = 'T';
            [[maybe_unused]] auto n = ::write(3, &byte, 1);
            ::_exit(0);
          });
          ::dup2(fds[1], 3);
          const char ready = 'R';
          [[maybe_unused]] auto n = ::write(fds[1], &ready, 1);
          ::pause();
          return 0;
        },
        options);
    char ready;
    [[maybe_unused]] auto n = ::read(fds[0], &ready, 1);
    ::_exit(0);  // dies without reaping or killing the grandchild
    return 0;
  });
  ::close(fds[1]);
  EXPECT_EQ(middle.wait(), 0);
  char got = 0;
  ASSERT_EQ(::read(fds[0], &got, 1), 1);  // the middle process read 'R' already
  EXPECT_EQ(got, 'T');
  ::close(fds[0]);
}

TEST(SharedInt32Cell, IsSharedWithAForkedChild) {
  SharedInt32Cell cell(0);
  auto child = ChildProcess::fork([&] {
    cell.store(-12345);
    return 0;
  });
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(cell.load(), -12345);
}

TEST(SharedInt32Cell, SurvivesAChildDyingWhileWriting) {
  SharedInt32Cell cell(5);
  for (int i = 0; i < 3; ++i) {
    auto child = ChildProcess::fork([&] {
      for (;;) cell.store(9);
      return 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    child.kill();
    child.wait();
  }
  EXPECT_EQ(cell.load(), 9);  // the lock is usable even if a child died holding it
  cell.store(1);
  EXPECT_EQ(cell.load(), 1);
}

}  // namespace
}  // namespace tarvex::process
