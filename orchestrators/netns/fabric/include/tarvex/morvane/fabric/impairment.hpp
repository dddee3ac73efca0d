// What a user declares to impair an interface's egress (`impair: {delay:
// 20ms, loss: 0.5%, rate: 100mbit}`), read from the testbed or from
// `key=value` texts, checked, and held in the exact integer units the
// kernel's queueing disciplines take.  Nothing here touches the kernel.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvex/value.hpp"

namespace tarvex::morvane::fabric {

// A probability as netem takes it: 0 is never, kAlways (2^32 - 1) is
// every packet; a percentage p is round(p / 100 * kAlways), as tc rounds it.
using Probability = std::uint32_t;
inline constexpr Probability kAlways = UINT32_MAX;

// The largest delay netem takes here: libnl-route 3.7 passes it as a 32-bit
// count of the kernel's 64 ns scheduler ticks.
inline constexpr std::chrono::microseconds kMaxDelay{274'877'906};
// The largest jitter: netem draws the random part of a delay as a 32-bit
// count of nanoseconds.
inline constexpr std::chrono::microseconds kMaxJitter{2'147'483};
// The rates the shaper takes, in bits per second: libnl-route 3.7 passes a
// rate as a signed 32-bit count of bytes per second; below the least, the
// shaper's bucket (a full packet) would take minutes to fill.
inline constexpr std::uint64_t kMinRate = 8'000;
inline constexpr std::uint64_t kMaxRate = std::uint64_t{INT32_MAX} * 8;

// The impairment of one interface's egress.  Every setting is optional; an
// empty one means "not impaired".  `rate` is shaped by a token bucket, the
// others by netem.
struct Impairment {
  std::optional<std::chrono::microseconds> delay;
  // The delay varies uniformly within delay ± jitter; needs `delay`.
  std::optional<std::chrono::microseconds> jitter;
  std::optional<Probability> loss;
  std::optional<std::uint64_t> rate;  // bits per second, a whole number of bytes
  std::optional<Probability> duplicate;
  std::optional<Probability> corrupt;
  // Packets sent at once, ahead of the delayed ones; needs `delay`.
  std::optional<Probability> reorder;

  bool empty() const;
  // Whether any setting other than `rate` is given (a netem qdisc is needed).
  bool needs_netem() const;

  // The canonical text, settings in the order above, each value in the
  // largest unit that shows it exactly: "delay 20ms jitter 2ms loss 0.5%
  // rate 100mbit"; "none" when empty.
  std::string text() const;
  // The mapping the final testbed holds, with the canonical value texts
  // ({delay: "20ms", loss: "0.5%"}); reading it back gives an equal
  // impairment.
  Value value() const;

  bool operator==(const Impairment&) const = default;
};

// Reads an `impair` mapping of the testbed (null reads as no impairment).
// Every problem found is appended to `problems` as one text that starts
// with `where` ("device 'r1', interface 'eth1'") and names the setting and
// the value; settings with problems are left unset, so that a caller can
// report all problems of a testbed at once.
Impairment parse_impairment(const Value& declaration, const std::string& where, std::vector<std::string>& problems);

// The same from a text of `key=value` words ("delay=50ms loss=1%"), as a
// command line gives it.
Impairment parse_impairment_text(std::string_view text, const std::string& where, std::vector<std::string>& problems);

// The value texts, as parse_impairment reads them and text() writes them.
// Each returns its value, or appends a problem naming `key` and the text
// (after `where`) and returns nothing.  Units are tc's, in any case: times
// in us/usec, ms/msec, s/sec (plurals too); rates in bit, kbit, mbit, gbit,
// tbit (bits per second) or bps, kbps, mbps, gbps, tbps (bytes per second,
// as tc reads them), with kibit, mibps... for powers of 1024; percentages
// with %.  A bare number is refused: tc would read a time as microseconds, a
// rate as bits and a percentage as a percentage, and a reader of the
// testbed cannot tell.
std::optional<std::chrono::microseconds> parse_time(std::string_view text, const std::string& key,
                                                    const std::string& where, std::vector<std::string>& problems);
std::optional<std::uint64_t> parse_rate(std::string_view text, const std::string& key, const std::string& where,
                                        std::vector<std::string>& problems);
std::optional<Probability> parse_percentage(std::string_view text, const std::string& key, const std::string& where,
                                            std::vector<std::string>& problems);

std::string time_text(std::chrono::microseconds time);
std::string rate_text(std::uint64_t bits_per_second);
// The shortest decimal percentage that reads back as the same probability.
std::string percentage_text(Probability probability);

}  // namespace tarvex::morvane::fabric
