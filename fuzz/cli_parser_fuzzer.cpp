// The command-line parser on arbitrary argument vectors: it may refuse a
// command line (ArgumentError), never crash or raise anything else.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarvex/morvane/cli.hpp"

using tarvex::morvane::utils::Argument;
using tarvex::morvane::utils::ArgvQuotingParser;

namespace {

const ArgvQuotingParser& parser() {
  static const ArgvQuotingParser* made = [] {
    auto* p = new ArgvQuotingParser();
    tarvex::morvane::bringup_base_cli_parser::populate_base_bringup_parser(*p);
    tarvex::morvane::orvanta_cli_parser::populate_orvanta_parser(*p);
    p->add_argument({.flags = {"-delay"}, .type = Argument::Type::Float});
    p->add_argument({.flags = {"-count"}, .type = Argument::Type::Int});
    p->add_argument({.flags = {"-mode"}, .choices = {"fast", "slow"}});
    return p;
  }();
  return *made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Arguments are separated by NUL bytes, as in /proc/PID/cmdline.
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back() += static_cast<char>(data[i]);
    }
  }
  try {
    parser().parse_known_args(args);
  } catch (const tarvex::morvane::utils::ArgumentError&) {
  }
  return 0;
}
