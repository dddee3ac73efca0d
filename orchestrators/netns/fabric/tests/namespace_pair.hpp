// What the fabric's root tests build and measure with: two network
// namespaces of the test's own joined by a veth pair, an rtnetlink socket
// inside one of them, and traffic between them (ping, a TCP transfer),
// looked at from outside the fabric's code.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <string>

struct nl_sock;

namespace tarvex::morvane::fabric::testing {

// Skips the test without root; fails it instead where MORVANE_REQUIRE_ROOT_TESTS
// is set (CI), so that a run that silently lost its privileges is noticed.
#define MORVANE_REQUIRE_ROOT()                                                                                  \
  do {                                                                                                          \
    if (::geteuid() != 0) {                                                                                     \
      if (std::getenv("MORVANE_REQUIRE_ROOT_TESTS")) FAIL() << "root is required (MORVANE_REQUIRE_ROOT_TESTS)"; \
      GTEST_SKIP() << "needs root (CAP_NET_ADMIN and CAP_SYS_ADMIN) to create network namespaces";              \
    }                                                                                                           \
  } while (0)

// A network namespace made by `ip netns add` and removed by `ip netns del`
// when the object goes.
class OwnedNamespace {
 public:
  explicit OwnedNamespace(std::string name);
  ~OwnedNamespace();
  OwnedNamespace(const OwnedNamespace&) = delete;
  OwnedNamespace& operator=(const OwnedNamespace&) = delete;
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

// Two namespaces, "<tag>a" holding veth end "va" (10.199.0.1/30) and
// "<tag>b" holding "vb" (10.199.0.2/30), both up, with permanent neighbour
// entries so that no address resolution crosses an impaired link.  Only
// namespaces it created are removed, whatever happened (the pair goes with
// them).
class NamespacePair {
 public:
  static constexpr const char* kAddressA = "10.199.0.1";
  static constexpr const char* kAddressB = "10.199.0.2";

  // Throws std::runtime_error naming the command that failed.
  NamespacePair();

  const std::string& a() const { return a_.name(); }
  const std::string& b() const { return b_.name(); }

 private:
  static std::string unique_tag();

  std::string tag_ = unique_tag();
  OwnedNamespace a_{tag_ + "a"};
  OwnedNamespace b_{tag_ + "b"};
};

// An rtnetlink socket made inside a named namespace, and the index of one of
// its interfaces.
class NetlinkIn {
 public:
  NetlinkIn(const std::string& ns, const std::string& interface);
  ~NetlinkIn();
  NetlinkIn(const NetlinkIn&) = delete;
  NetlinkIn& operator=(const NetlinkIn&) = delete;

  nl_sock* sock() const { return sock_; }
  int ifindex() const { return ifindex_; }

 private:
  nl_sock* sock_ = nullptr;
  int ifindex_ = 0;
};

// What `ping -q` reports.
struct PingSummary {
  int transmitted = 0;
  int received = 0;
  double average_ms = -1;  // -1 when nothing came back

  double loss_percent() const { return transmitted ? 100.0 * (transmitted - received) / transmitted : 100.0; }
};
PingSummary ping(const std::string& ns, const std::string& address, int count, const char* interval);

// Sends `bytes` over one TCP connection from namespace `from` to a listener
// at `to_address` in namespace `to`; the goodput in bits per second.
double tcp_goodput(const std::string& from, const std::string& to, const char* to_address, std::size_t bytes);

}  // namespace tarvex::morvane::fabric::testing
