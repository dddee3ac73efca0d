// What the netns tests that need root share: the root requirement, a
// private journal directory per test, and looks at namespaces from outside
// (with `ip` and `ping`, independent of the backend's own code).
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/root.hpp"
#include "support/temp_dir.hpp"
#include "tarvex/morvane/fabric/journal.hpp"
#include "tarvex/morvane/leftovers.hpp"
#include "tarvex/process.hpp"
#include "tarvex/utils/yaml.hpp"
#include "tarvex/value.hpp"

namespace tarvex::testing {

// Points the backend's journals at a directory of the test's own, so that
// tests running side by side never see each other's runs.
// Whatever a failing test leaves behind is removed with it: its journals
// are the only record of what the runs created.
class PrivateRunDir {
 public:
  PrivateRunDir() { ::setenv(morvane::fabric::kRunDirVariable, dir_.path().c_str(), 1); }
  ~PrivateRunDir() {
    // A worker may still be tearing down (its journal goes last); a dead
    // one's leftovers are removed as `bringup -cleanup` does.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string said;
    while (!journals().empty() && std::chrono::steady_clock::now() < deadline) {
      try {
        const morvane::leftovers::Cleanup cleanup = morvane::leftovers::remove_all();
        said.clear();
        for (const auto* lines : {&cleanup.removed, &cleanup.skipped, &cleanup.kept}) {
          for (const std::string& line : *lines) said += line + "\n";
        }
      } catch (const std::exception& e) {
        ADD_FAILURE() << "cannot remove what the test left: " << e.what();
        break;
      }
      if (!journals().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string left;
    for (const std::string& name : journals()) {
      std::ifstream in(dir_.path() / name);
      const std::string text(std::istreambuf_iterator<char>(in), {});
      left += "--- " + name + "\n" + text;
      // Whether its owner still runs, and as what.
      const std::size_t owner = text.find("owner ");
      if (owner != std::string::npos) {
        const std::string pid = text.substr(owner + 6, text.find(' ', owner + 6) - owner - 6);
        std::ifstream stat("/proc/" + pid + "/stat");
        left += "(owner now: " + std::string(std::istreambuf_iterator<char>(stat), {}) + ")\n";
      }
    }
    EXPECT_TRUE(journals().empty()) << "runs of the test still hold journals in " << dir_.path() << "\n"
                                    << left << "--- the last cleanup said:\n"
                                    << said;
    ::unsetenv(morvane::fabric::kRunDirVariable);
  }
  PrivateRunDir(const PrivateRunDir&) = delete;
  PrivateRunDir& operator=(const PrivateRunDir&) = delete;
  std::string path() const { return dir_.path().string(); }
  std::vector<std::string> journals() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path(), ec)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

 private:
  TempDir dir_;
};

// Runs `action` when the scope ends, also when an assertion ends a test
// early: what a test built in this process is torn down whatever happens.
class AtScopeExit {
 public:
  explicit AtScopeExit(std::function<void()> action) : action_(std::move(action)) {}
  ~AtScopeExit() {
    try {
      action_();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "tearing down at the end of the test failed: " << e.what();
    }
  }
  AtScopeExit(const AtScopeExit&) = delete;
  AtScopeExit& operator=(const AtScopeExit&) = delete;

 private:
  std::function<void()> action_;
};

// A topology name tag no other test uses: namespaces start with it.
inline std::string unique_tag(const char* kind) {
  static std::atomic<int> counter{0};
  return std::string(kind) + std::to_string(::getpid() % 10000) + "x" + std::to_string(counter++);
}

// Runs a shell command; its standard output, and its exit status in `status`.
inline std::string run_command(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int raw = ::pclose(pipe);
  if (status) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

// `ip -j ...` output as a value (JSON reads as YAML).
inline Value ip_json(const std::string& arguments) {
  const std::string out = run_command("ip -j " + arguments + " 2>/dev/null");
  return out.empty() ? Value(List{}) : tarvex::utils::yaml::load_string(out, "ip -j " + arguments);
}

// One ping from inside a namespace.
inline bool pings(const std::string& ns, const std::string& address) {
  int status = -1;
  run_command("ip netns exec " + ns + " ping -c 1 -W 2 -q " + address + " >/dev/null 2>&1", &status);
  return status == 0;
}

// The names under /run/netns that start with `prefix`.
inline std::vector<std::string> namespaces_named(const std::string& prefix) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  return names;
}

// The interfaces of the root namespace: "NAME" per line.
inline std::string root_interfaces() { return run_command("ip -o link show | awk -F': ' '{print $2}' | sort"); }

// A process inside a namespace, as a test would start a daemon there.
inline process::ChildProcess start_inside(const std::string& ns) {
  process::ChildProcess child = process::ChildProcess::fork([&]() -> int {
    ::execlp("ip", "ip", "netns", "exec", ns.c_str(), "sleep", "60", static_cast<char*>(nullptr));
    return 127;
  });
  // Wait until it is inside (ip enters the namespace, then runs sleep).
  struct stat own {
  }, its{};
  ::stat("/proc/self/ns/net", &own);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::stat(("/proc/" + std::to_string(child.pid()) + "/ns/net").c_str(), &its) == 0 && its.st_ino != own.st_ino &&
        run_command("cat /proc/" + std::to_string(child.pid()) + "/comm") == "sleep\n") {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return child;
}

}  // namespace tarvex::testing
