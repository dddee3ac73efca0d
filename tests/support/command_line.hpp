// Records a command line for the life of a test and puts the previous one
// back afterwards, so that tests do not leak command lines into each other.
#pragma once

#include <string>
#include <vector>

#include "tarvex/morvane/cli.hpp"

namespace tarvex::testing {

class ScopedCommandLine {
 public:
  explicit ScopedCommandLine(std::vector<std::string> argv) : saved_(morvane::utils::command_line()) {
    morvane::utils::set_command_line(std::move(argv));
  }
  ~ScopedCommandLine() { morvane::utils::set_command_line(saved_); }
  ScopedCommandLine(const ScopedCommandLine&) = delete;
  ScopedCommandLine& operator=(const ScopedCommandLine&) = delete;

 private:
  std::vector<std::string> saved_;
};

}  // namespace tarvex::testing
