// The frame every readiness cleaner's wait for one device shares: who the
// device is in messages, the time allowed, and the error when it runs out.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "tarvex/exceptions.hpp"
#include "tarvex/morvane/bases/base_cleaner.hpp"

namespace tarvex::morvane::bases {

class ReadinessDeadline {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts now.  The device is named "<kind> <alias> (<where>)", from its
  // alias and the `where` of its clean settings ("network namespace
  // lab-x-r1"), else "<kind> <name>"; the wait is bounded by the cleaner's
  // `timeout` attribute (seconds), else `default_timeout`.
  ReadinessDeadline(const BaseCleaner& cleaner, const topology::Device& device, std::string_view kind,
                    double default_timeout = 30);

  const std::string& who() const { return who_; }
  double timeout() const { return timeout_; }
  Clock::time_point deadline() const { return deadline_; }
  bool passed() const { return Clock::now() >= deadline_; }
  // Seconds since the start.
  double elapsed() const;
  // "<who> <state> after <timeout> s: <what>", e.g. "... is not ready after
  // 30 s: eth1 has no carrier".
  Exception failure(std::string_view state, const std::string& what) const;

 private:
  std::string who_;
  double timeout_;
  Clock::time_point started_;
  Clock::time_point deadline_;
};

}  // namespace tarvex::morvane::bases
