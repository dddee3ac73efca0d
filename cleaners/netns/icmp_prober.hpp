// Pings a set of addresses from the calling thread's network namespace,
// in-process over raw ICMP and ICMPv6 sockets, until each has answered.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tarvex/fd.hpp"

namespace tarvex::morvane::cleaners::netns {

class IcmpProber {
 public:
  struct Target {
    int family = 0;  // 4 or 6
    std::array<std::uint8_t, 16> address{};
    int ifindex = 0;    // the interface facing it (for link-local IPv6)
    std::string label;  // how messages name it
    bool answered = false;
  };

  explicit IcmpProber(std::vector<Target> targets);

  // Sends an echo request to every target that has not answered yet.
  void send_round();
  // Takes answers until every target has answered or `until` has come.
  void receive(std::chrono::steady_clock::time_point until);
  bool all_answered() const;
  const std::vector<Target>& targets() const { return targets_; }

 private:
  void take_answers(int family);

  std::vector<Target> targets_;
  UniqueFd v4_;
  UniqueFd v6_;
  std::uint16_t identifier_;
  std::uint16_t round_ = 0;
};

}  // namespace tarvex::morvane::cleaners::netns
