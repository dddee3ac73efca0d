#include <gtest/gtest.h>

#ifdef MORVANE_TEST_RECORD_COMMAND_LINE
#include "tarvex/morvane/cli.hpp"
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
#ifdef MORVANE_TEST_RECORD_COMMAND_LINE
  // Parsers read the recorded command line; recording only the program name
  // keeps GoogleTest's own flags (which InitGoogleTest may leave behind, and
  // which the kernel's record always holds) away from them.
  tarvex::morvane::utils::set_command_line(1, argv);
#endif
  return RUN_ALL_TESTS();
}
