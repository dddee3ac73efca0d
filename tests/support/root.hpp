// Tests that need root (namespaces, daemons, container engines).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

// Skips the test without root; fails it instead where MORVANE_REQUIRE_ROOT_TESTS
// is set (CI), so that a run that silently lost its privileges is noticed.
#define MORVANE_REQUIRE_ROOT()                                                                                  \
  do {                                                                                                          \
    if (::geteuid() != 0) {                                                                                     \
      if (std::getenv("MORVANE_REQUIRE_ROOT_TESTS")) FAIL() << "root is required (MORVANE_REQUIRE_ROOT_TESTS)"; \
      GTEST_SKIP() << "needs root (CAP_NET_ADMIN and CAP_SYS_ADMIN) to create network namespaces";              \
    }                                                                                                           \
  } while (0)
