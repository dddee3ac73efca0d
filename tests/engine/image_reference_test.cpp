// Image references and the engine socket: what is accepted, split how, and
// what is refused with which reason.
#include "tarvex/engine/image_reference.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "tarvex/engine/engine_socket.hpp"
#include "tarvex/exceptions.hpp"

namespace tarvex::engine {
namespace {

struct Accepted {
  const char* text;
  const char* domain;
  const char* path;
  const char* tag;
  const char* digest;
};

const std::string kHex(64, 'a');

TEST(ImageReference, AcceptedReferencesSplitIntoTheirParts) {
  const std::string digest = "sha256:" + kHex;
  const std::string with_digest = "localhost/frr@" + digest;
  const std::string with_both = "reg.example/x/y:1@" + digest;
  const Accepted cases[] = {
      {"busybox", "", "busybox", "", ""},
      {"localhost/frr:8.4", "localhost", "frr", "8.4", ""},
      {"registry.example:5000/team/nos:2.1", "registry.example:5000", "team/nos", "2.1", ""},
      {"team/nos", "", "team/nos", "", ""},
      {"127.0.0.1:5000/lab/host", "127.0.0.1:5000", "lab/host", "", ""},
      {"[::1]:5000/lab/host:v_1-x.2", "[::1]:5000", "lab/host", "v_1-x.2", ""},
      {"Registry.Example/a", "Registry.Example", "a", "", ""},
      {"ab__c--d_e/f.g", "", "ab__c--d_e/f.g", "", ""},
      {"localhost:5000", "", "localhost", "5000", ""},
      {"x:_tag", "", "x", "_tag", ""},
      {with_digest.c_str(), "localhost", "frr", "", digest.c_str()},
      {with_both.c_str(), "reg.example", "x/y", "1", digest.c_str()},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(c.text);
    const ImageReference reference = parse_image_reference(c.text);
    EXPECT_EQ(reference.domain, c.domain);
    EXPECT_EQ(reference.path, c.path);
    EXPECT_EQ(reference.tag, c.tag);
    EXPECT_EQ(reference.digest, c.digest);
    EXPECT_EQ(reference.str(), c.text);
  }
  EXPECT_EQ(parse_image_reference("busybox").tag_or_latest(), "latest");
  EXPECT_EQ(parse_image_reference("registry.example:5000/team/nos:2.1").repository(), "registry.example:5000/team/nos");
}

TEST(ImageReference, RefusedReferencesSayWhy) {
  const std::string long_tag = "x:" + std::string(129, 't');
  const std::string long_name = std::string(256, 'a');
  const std::string short_sha = "x@sha256:" + std::string(63, 'a');
  const std::string upper_sha = "x@sha256:" + std::string(64, 'A');
  const std::pair<std::string, const char*> cases[] = {
      {"", "empty"},
      {"Busybox", "upper case"},
      {"team/Nos:1", "upper case"},
      {"frr:8.4 ", "white space"},
      {"fr r", "white space"},
      {"x:-bad", "bad tag"},
      {"x:.bad", "bad tag"},
      {"x:", "empty tag"},
      {long_tag, "longer than 128"},
      {":tag", "no repository"},
      {"reg.example:abc/x", "bad port"},
      {"reg.example:70000/x", "bad port"},
      {"reg.example:0/x", "bad port"},
      {"reg.example:/x", "empty port"},
      {"-reg.example/x", "bad registry host"},
      {"reg..example/x", "bad registry host"},
      {"[::1/x", "lacks its ']'"},
      {"a//b", "empty path component"},
      {"a/", "empty path component"},
      {"-a", "start and end"},
      {"a-", "start and end"},
      {"a...b", "separator '...'"},
      {"a___b", "separator '___'"},
      {"x@sha256", "lacks its algorithm"},
      {short_sha, "64 lower-case hex"},
      {upper_sha, "64 lower-case hex"},
      {"x@md5:zz", "not hexadecimal"},
      {"x@1sha:" + std::string(32, 'a'), "bad digest algorithm"},
      {kHex, "image id"},
      {long_name, "longer than 255"},
      {"caf\xc3\xa9", "printable ASCII"},
  };
  for (const auto& [text, reason] : cases) {
    SCOPED_TRACE(text);
    try {
      parse_image_reference(text);
      ADD_FAILURE() << "accepted";
    } catch (const ValueError& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find(reason), std::string::npos) << message;
      EXPECT_NE(message.find("'" + text + "'"), std::string::npos) << message;
    }
  }
}

// The environment is the process's own: each case sets what it needs and
// puts the variables back.
class EngineSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"DOCKER_HOST", "CONTAINER_HOST"}) {
      if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
      ::unsetenv(name);
    }
  }
  void TearDown() override {
    ::unsetenv("DOCKER_HOST");
    ::unsetenv("CONTAINER_HOST");
    for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
  }

 private:
  std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(EngineSocketTest, GivenUrlThenEnvironmentThenDefaults) {
  EXPECT_EQ(engine_socket("unix:///tmp/x.sock"), "/tmp/x.sock");
  ::setenv("CONTAINER_HOST", "unix:///run/c.sock", 1);
  EXPECT_EQ(engine_socket(), "/run/c.sock");
  ::setenv("DOCKER_HOST", "unix:///run/d.sock", 1);
  EXPECT_EQ(engine_socket(), "/run/d.sock");
  EXPECT_EQ(engine_socket("unix:///tmp/y.sock"), "/tmp/y.sock");
  ::unsetenv("DOCKER_HOST");
  ::unsetenv("CONTAINER_HOST");
  const std::string fallback = engine_socket();
  EXPECT_TRUE(fallback == "/run/podman/podman.sock" || fallback == "/var/run/docker.sock") << fallback;
}

TEST_F(EngineSocketTest, OtherSchemesAreRefusedByName) {
  for (const char* url : {"tcp://127.0.0.1:2375", "ssh://lab-vm/run/x.sock", "unix://relative.sock", "/run/x.sock"}) {
    SCOPED_TRACE(url);
    try {
      engine_socket(std::string(url));
      ADD_FAILURE() << "accepted";
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find(url), std::string::npos) << e.what();
    }
  }
  ::setenv("DOCKER_HOST", "tcp://127.0.0.1:2375", 1);
  try {
    engine_socket();
    ADD_FAILURE() << "accepted";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("DOCKER_HOST"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace tarvex::engine
