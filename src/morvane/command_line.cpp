// The process's command line as the parsers see it: the one `main` recorded,
// or else the kernel's record of it, and the parse of it with one parser.
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "tarvex/morvane/cli.hpp"

namespace tarvex::morvane::utils {
namespace {

// The recorded command line; empty while nothing is recorded.  Guarded by a
// mutex because parsers may read it from any thread.
struct RecordedCommandLine {
  std::mutex mutex;
  std::vector<std::string> argv;
};

RecordedCommandLine& recorded() {
  static RecordedCommandLine instance;
  return instance;
}

// /proc/self/cmdline holds every argument followed by a NUL, so an empty
// argument shows as two NULs in a row and must be kept.
std::vector<std::string> kernel_command_line() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  if (!in) return {};
  const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> argv;
  std::size_t start = 0;
  while (start < raw.size()) {
    std::size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    argv.emplace_back(raw, start, end - start);
    start = end + 1;
  }
  return argv;
}

}  // namespace

void set_command_line(std::vector<std::string> argv) {
  RecordedCommandLine& record = recorded();
  std::lock_guard lock(record.mutex);
  record.argv = std::move(argv);
}

void set_command_line(int argc, const char* const* argv) {
  std::vector<std::string> args;
  args.reserve(argc > 0 ? static_cast<std::size_t>(argc) : 0);
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  set_command_line(std::move(args));
}

std::vector<std::string> command_line() {
  {
    RecordedCommandLine& record = recorded();
    std::lock_guard lock(record.mutex);
    if (!record.argv.empty()) return record.argv;
  }
  return kernel_command_line();
}

Map parse_cli_args(const ArgvQuotingParser& parser) {
  std::vector<std::string> argv = command_line();
  if (!argv.empty()) argv.erase(argv.begin());
  return parser.parse_known_args(argv);
}

}  // namespace tarvex::morvane::utils
