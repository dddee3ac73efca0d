#include <gtest/gtest.h>

#include "tarvex/morvane/cli.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Parsers read the recorded command line; recording only the program name
  // keeps GoogleTest's own flags (which InitGoogleTest may leave behind, and
  // which the kernel's record always holds) away from them.
  tarvex::morvane::utils::set_command_line(1, argv);
  return RUN_ALL_TESTS();
}
