// Real container engines for tests: a private podman service, a private
// dockerd and a private registry on loopback, each in a directory of its
// own under the temporary directory, with the test images imported.
//
// A test program gets them through EngineEnvironment::instance(), which
// starts each on first use and stops them all when the program ends:
//
//   TEST_P(MyEngineTest, Works) {
//     MORVANE_REQUIRE_ENGINE(GetParam());   // skip without root or programs
//     auto& engine = EngineEnvironment::instance().engine(GetParam());
//     tarvex::engine::Engine client(engine.socket_path());
//     ... create containers from kBusyboxImage ...
//   }
//
// Nothing here touches the machine's own engines: every socket, storage,
// runtime directory and configuration is private, and what a stopped
// engine leaves (containers' processes, overlay mounts) is removed.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tarvex/process.hpp"

namespace tarvex::testing::engines {

enum class EngineKind { podman, docker };
const char* kind_name(EngineKind kind);

// The images scripts/build-test-images makes: a busybox host (`sleep
// infinity`) and an FRR router (watchfrr on /etc/frr/daemons).
inline constexpr const char* kBusyboxImage = "localhost/morvane-busybox:test";
inline constexpr const char* kFrrImage = "localhost/morvane-frr:test";

// What a program run to its end printed (standard output and error) and
// its exit status (negative: the signal that ended it).
struct ProgramResult {
  int status = -1;
  std::string output;
};
ProgramResult run_program(const std::vector<std::string>& argv,
                          const std::vector<std::pair<std::string, std::string>>& env = {});

// The host's IPv4 forwarding setting ("0" or "1"), which every new network
// namespace copies: an engine must leave it as it found it.
std::string host_ip_forward();

// The programs `kind` needs that are not installed, named for a skip
// message; empty when all are there.
std::string missing_programs(EngineKind kind);
// The same for the loopback registry.
std::string missing_registry_programs();

// A registry (Debian's docker-registry) on 127.0.0.1 and a free port, with
// its storage in a private directory; stopped and removed when destroyed.
class PrivateRegistry {
 public:
  PrivateRegistry();
  ~PrivateRegistry();
  PrivateRegistry(const PrivateRegistry&) = delete;
  PrivateRegistry& operator=(const PrivateRegistry&) = delete;
  // "127.0.0.1:PORT"
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  std::string dir_;
  int port_ = 0;
  process::ChildProcess process_;
};

// One engine service of the tests, with the test images imported.  When
// destroyed it removes every container, stops the service, ends what the
// engine left running, unmounts its storage and removes its directory.
class PrivateEngine {
 public:
  // `registry` is the loopback registry the engine may pull from without
  // TLS ("127.0.0.1:PORT"; empty: none).
  PrivateEngine(EngineKind kind, const std::string& registry);
  ~PrivateEngine();
  PrivateEngine(const PrivateEngine&) = delete;
  PrivateEngine& operator=(const PrivateEngine&) = delete;

  EngineKind kind() const { return kind_; }
  const std::string& socket_path() const { return socket_; }
  // The engine's own command line, pointed at this engine ("podman --url
  // unix://...", "docker -H unix://..."), followed by `arguments`.
  ProgramResult run_cli(const std::vector<std::string>& arguments) const;
  // Imports an image of scripts/build-test-images ("busybox" or "frr").
  void import_image(const std::string& which);

 private:
  void start_podman(const std::string& registry);
  void start_docker();
  void wait_ready();
  void stop();
  std::vector<std::string> cli() const;

  EngineKind kind_;
  std::string dir_;
  std::string socket_;
  process::ChildProcess process_;
  std::vector<std::pair<std::string, std::string>> env_;
  std::vector<std::string> imported_;
};

// The engines and the registry of one test program: each started on first
// use, all stopped when the program ends (a GoogleTest environment).  An
// engine that failed to start fails every later request with the same
// error, without trying again.
class EngineEnvironment : public ::testing::Environment {
 public:
  static EngineEnvironment& instance();

  // The running engine of `kind`, with the busybox image imported.
  PrivateEngine& engine(EngineKind kind);
  PrivateRegistry& registry();
  void TearDown() override;
  // host_ip_forward() before the first engine started (empty before that).
  const std::string& host_ip_forward_before() const { return ip_forward_before_; }

 private:
  std::string ip_forward_before_;
  std::unique_ptr<PrivateRegistry> registry_;
  std::unique_ptr<PrivateEngine> engines_[2];
  std::exception_ptr failures_[2];
  std::exception_ptr registry_failure_;
};

// Skips the test without root or without the engine's programs; fails it
// instead where MORVANE_REQUIRE_ROOT_TESTS is set (CI), so that a run that
// lost its privileges or its packages is noticed.
#define MORVANE_REQUIRE_ENGINE(kind)                                                                              \
  do {                                                                                                            \
    const bool required_ = std::getenv("MORVANE_REQUIRE_ROOT_TESTS") != nullptr;                                  \
    if (::geteuid() != 0) {                                                                                       \
      if (required_) FAIL() << "root is required (MORVANE_REQUIRE_ROOT_TESTS)";                                   \
      GTEST_SKIP() << "needs root to run container engines";                                                      \
    }                                                                                                             \
    const std::string missing_ = ::tarvex::testing::engines::missing_programs(kind);                              \
    if (!missing_.empty()) {                                                                                      \
      if (required_) FAIL() << "the container engine tests need " << missing_ << " (MORVANE_REQUIRE_ROOT_TESTS)"; \
      GTEST_SKIP() << "needs " << missing_ << " (scripts/install-deps installs them)";                            \
    }                                                                                                             \
  } while (0)

}  // namespace tarvex::testing::engines
