// Small general helpers of the framework.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace tarvex::utils::utils {

// A point in local time that formats itself like a datetime: strftime's
// directives plus %f, the six-digit microseconds.
class Time {
 public:
  explicit Time(std::chrono::system_clock::time_point when) : when_(when) {}
  std::string strftime(std::string_view format) const;
  std::chrono::system_clock::time_point when() const { return when_; }

 private:
  std::chrono::system_clock::time_point when_;
};

// The current time.
Time get_time();

}  // namespace tarvex::utils::utils
