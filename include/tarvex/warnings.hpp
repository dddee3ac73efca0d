// The runtime-warnings channel: notices to the user that are not log
// records (retries while a server starts, a server already started).  They
// go to standard error with their category and can be captured in tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarvex::warnings {

void warn(std::string_view message, std::string_view category = "RuntimeWarning");

// Collects every warning issued while it exists; captured warnings are not
// written to standard error.
class WarningCapture {
 public:
  struct Warning {
    std::string category;
    std::string message;
  };
  WarningCapture();
  ~WarningCapture();
  WarningCapture(const WarningCapture&) = delete;
  WarningCapture& operator=(const WarningCapture&) = delete;
  const std::vector<Warning>& warnings() const { return warnings_; }
  std::vector<std::string> messages() const;

 private:
  friend void warn(std::string_view, std::string_view);
  std::vector<Warning> warnings_;
};

}  // namespace tarvex::warnings
