// The bounds that keep one YAML load from taking unbounded memory, time or
// stack, whatever the input: a testbed file may come from anywhere (a
// FIFO, /dev/stdin, a generated file gone wrong), and a worker must fail
// at load time with a clear error rather than later, or not at all.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvex::utils::yaml {

// Input beyond this many bytes is refused.  Testbeds of 10,000 devices
// take about 11 MB; a file a hundred times larger is still read.
inline constexpr std::uint64_t kMaxInputBytes = std::uint64_t{1} << 30;

// Collections nested deeper than this are refused.  Values are destroyed,
// copied, compared and written recursively, so depth costs stack; real
// testbeds nest fewer than ten levels.
inline constexpr std::size_t kMaxDepth = 1000;

// An alias copies the node it names, so a small document can describe an
// enormous one ("billion laughs").  The nodes and the bytes of text that
// aliases copy are bounded.
inline constexpr std::size_t kMaxAliasNodes = 5'000'000;
inline constexpr std::size_t kMaxAliasTextBytes = std::size_t{256} << 20;

// The limits of one load; the loader uses the defaults, tests lower them.
struct LoadLimits {
  std::uint64_t max_input_bytes = kMaxInputBytes;
  std::size_t max_depth = kMaxDepth;
  std::size_t max_alias_nodes = kMaxAliasNodes;
  std::size_t max_alias_text_bytes = kMaxAliasTextBytes;
};

}  // namespace tarvex::utils::yaml
