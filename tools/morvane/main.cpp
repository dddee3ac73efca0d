// morvane: acts on live runs of the netns backend by the user's names.
//
//   morvane list [--json]
//   morvane exec [--run RUN] [--timeout SECONDS] DEVICE -- COMMAND...
//   morvane link [--run RUN] DEVICE INTERFACE up|down
//   morvane impair [--run RUN] DEVICE INTERFACE SETTING=VALUE... | clear
//   morvane save [--run RUN] DIRECTORY
//   morvane graph [--run RUN | LOGICAL.yaml] -o FILE
//
// A run is found from its control file (`<run directory>/<run id>.control/
// access.yaml`, readable by the run's owner only), which names its worker's
// port and token.  Exit status: the command's for exec, else 0 on success,
// 1 on failure, 2 for a bad command line.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tarvex/exceptions.hpp"
#include "tarvex/morvane/graph.hpp"
#include "tarvex/process.hpp"
#include "tarvex/utils/yaml.hpp"
#include "tarvex/xmlrpc.hpp"

namespace {

using namespace tarvex;

constexpr const char* kUsage =
    "usage: morvane list [--json]\n"
    "       morvane exec [--run RUN] [--timeout SECONDS] DEVICE -- COMMAND...\n"
    "       morvane link [--run RUN] DEVICE INTERFACE up|down\n"
    "       morvane impair [--run RUN] DEVICE INTERFACE SETTING=VALUE... | clear\n"
    "       morvane save [--run RUN] DIRECTORY\n"
    "       morvane graph [--run RUN | LOGICAL.yaml] -o FILE\n";

const std::map<std::string, std::string> kHelp = {
    {"list",
     "morvane list [--json]\n\nLists the live runs of this machine: run id, topology, testbed, owner, "
     "worker pid, backend, devices and start time.\n"},
    {"exec",
     "morvane exec [--run RUN] [--timeout SECONDS] DEVICE -- COMMAND...\n\nRuns COMMAND inside DEVICE (its "
     "network namespace, or its container) and exits with its status (124 when the timeout, 30 s by "
     "default, ended it).  DEVICE is your name for it or the actual one.\n"},
    {"link",
     "morvane link [--run RUN] DEVICE INTERFACE up|down\n\nPulls the cable of INTERFACE (both ends lose "
     "their carrier) or puts it back.\n"},
    {"impair",
     "morvane impair [--run RUN] DEVICE INTERFACE SETTING=VALUE... | clear\n\nShapes the egress of "
     "INTERFACE: delay=50ms jitter=5ms loss=1% rate=10mbit duplicate=0.1% corrupt=0.1% reorder=1% (units "
     "as tc writes them); `clear` removes it.\n"},
    {"save",
     "morvane save [--run RUN] DIRECTORY\n\nWrites each FRR router's running configuration (DEVICE.conf) "
     "and the final testbed (testbed.yaml) into DIRECTORY.\n"},
    {"graph",
     "morvane graph [--run RUN | LOGICAL.yaml] -o FILE\n\nDraws the running topology (or the one a "
     "logical testbed asks for) as SVG, PNG or dot text, by FILE's extension.\n"},
};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Where the netns backend keeps its runs.
std::string run_directory() {
  const char* chosen = std::getenv("MORVANE_NETNS_RUN_DIR");
  return chosen && *chosen ? chosen : "/run/morvane/netns";
}

struct Run {
  std::string directory;  // its control directory
  Value control;          // access.yaml, when readable
  uid_t owner = 0;
  std::string text(const char* key) const {
    const Value* value = control.is_map() ? control.find(key) : nullptr;
    return value && value->is_str() ? value->str() : value && value->is_int() ? std::to_string(value->as_int()) : "";
  }
  bool alive() const {
    const Value* pid = control.find("pid");
    const Value* start = control.find("start_time");
    if (!pid || !start || !pid->is_int() || !start->is_int()) return false;
    const std::optional<process::ProcessStat> stat = process::read_stat(static_cast<pid_t>(pid->as_int()));
    return stat && static_cast<std::int64_t>(stat->start_time) == start->as_int() && stat->state != 'Z';
  }
};

nlohmann::json json_of(const Value& value) {
  if (value.is_map()) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [key, item] : value.as_map()) object[key.str()] = json_of(item);
    return object;
  }
  if (value.is_list()) {
    nlohmann::json array = nlohmann::json::array();
    for (const Value& item : value.as_list()) array.push_back(json_of(item));
    return array;
  }
  if (value.is_str()) return value.str();
  if (value.is_int()) return value.as_int();
  if (value.is_bool()) return value.truthy();
  if (value.is_none()) return nullptr;
  return value.repr();
}

std::string owner_text(uid_t uid) { return "uid " + std::to_string(uid); }

// The runs whose control file this user can read; those it cannot are
// named in `refused`.
std::vector<Run> find_runs(std::vector<std::string>& refused) {
  const std::string root = run_directory();
  DIR* dir = ::opendir(root.c_str());
  if (!dir) {
    if (errno == ENOENT) return {};
    struct stat info {};
    const std::string owner = ::stat(root.c_str(), &info) == 0 ? owner_text(info.st_uid) : "another user";
    throw OSError(errno, "Cannot read the live runs in " + root + ": " + std::strerror(errno) + ". They belong to " +
                             owner + "; only their owner or root may act on them.");
  }
  std::vector<Run> runs;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() <= 8 || name.compare(name.size() - 8, 8, ".control") != 0) continue;
    Run run;
    run.directory = root + "/" + name;
    struct stat info {};
    if (::lstat(run.directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    run.owner = info.st_uid;
    try {
      run.control = utils::yaml::load_file(run.directory + "/access.yaml");
    } catch (const std::exception&) {
      if (::access((run.directory + "/access.yaml").c_str(), R_OK) != 0 && errno == EACCES) {
        refused.push_back(name.substr(0, name.size() - 8) + " (" + owner_text(run.owner) + ")");
      }
      continue;
    }
    runs.push_back(std::move(run));
  }
  ::closedir(dir);
  return runs;
}

Run choose_run(const std::optional<std::string>& wanted) {
  std::vector<std::string> refused;
  std::vector<Run> runs = find_runs(refused);
  std::vector<Run> matching;
  for (Run& run : runs) {
    if (!wanted || run.text("run_id") == *wanted || run.text("topology") == *wanted || run.text("testbed") == *wanted) {
      matching.push_back(std::move(run));
    }
  }
  if (matching.empty()) {
    std::string message = wanted ? "No live run " + *wanted + " of yours" : std::string("No live run of yours");
    if (!refused.empty()) {
      message += "; the run(s) ";
      for (const std::string& run : refused) message += run + " ";
      message += "belong to another user, and only their owner or root may act on them";
    }
    throw RuntimeError(message + ".");
  }
  if (matching.size() > 1) {
    std::string names;
    for (const Run& run : matching) names += " " + run.text("run_id") + " (" + run.text("topology") + ")";
    throw UsageError(std::to_string(matching.size()) + " live runs:" + names + "; name one with --run");
  }
  Run run = std::move(matching.front());
  if (!run.alive()) {
    throw RuntimeError("Run " + run.text("run_id") + " (topology " + run.text("topology") + "): its worker (pid " +
                       run.text("pid") + ") has died, leaving its topology behind; remove it with: bringup -cleanup");
  }
  return run;
}

Value call(const Run& run, const std::string& method, const List& params) {
  xmlrpc::ServerProxy::Options options;
  options.token = run.text("token");
  xmlrpc::ServerProxy proxy("http://127.0.0.1:" + run.text("port"), std::move(options));
  try {
    return proxy.call(method, params);
  } catch (const xmlrpc::Fault& fault) {
    throw RuntimeError(fault.remote_message().empty() ? fault.fault_string() : fault.remote_message());
  }
}

std::string absolute(const std::string& path) { return std::filesystem::absolute(path).lexically_normal().string(); }

// The options a subcommand takes before its operands: --run, --timeout,
// -o; `--` ends them.
struct Parsed {
  std::optional<std::string> run, output;
  double timeout = 30;
  bool json = false;
  std::vector<std::string> operands;
  std::vector<std::string> command;  // after --
};

Parsed parse(const std::string& sub, const std::vector<std::string>& args) {
  Parsed parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
      return args[++i];
    };
    if (arg == "--") {
      parsed.command.assign(args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    }
    if (arg == "--run") {
      parsed.run = value();
    } else if (arg == "--timeout" && sub == "exec") {
      const std::string text = value();
      char* end = nullptr;
      parsed.timeout = std::strtod(text.c_str(), &end);
      if (end == text.c_str() || *end || !(parsed.timeout > 0))
        throw UsageError("--timeout takes seconds, not " + text);
    } else if ((arg == "-o" || arg == "--output") && sub == "graph") {
      parsed.output = value();
    } else if (arg == "--json" && sub == "list") {
      parsed.json = true;
    } else if (arg.size() > 1 && arg[0] == '-' && arg.find('=') == std::string::npos) {
      throw UsageError("unknown option " + arg + " for " + sub);
    } else {
      parsed.operands.push_back(arg);
    }
  }
  return parsed;
}

void need(const Parsed& parsed, std::size_t count, const std::string& what) {
  if (parsed.operands.size() != count) throw UsageError("expected " + what);
}

int list(const Parsed& parsed) {
  need(parsed, 0, "no operands");
  std::vector<std::string> refused;
  const std::vector<Run> runs = find_runs(refused);
  List all;
  for (const Run& run : runs) {
    Value entry = run.control;
    entry.as_map().erase(Value("token"));
    entry.as_map().erase(Value("port"));
    entry["alive"] = Value(run.alive());
    all.push_back(std::move(entry));
  }
  if (parsed.json) {
    std::cout << json_of(Value(all)).dump(2) << "\n";
  } else if (all.empty()) {
    std::cout << "No live run of yours.\n";
  } else {
    for (const Run& run : runs) {
      std::cout << run.text("run_id") << "  " << run.text("topology") << "  testbed " << run.text("testbed") << "  uid "
                << run.text("uid") << "  pid " << run.text("pid") << "  " << run.text("backend") << "  "
                << run.control.at("devices").as_list().size() << " device(s)  since " << run.text("started")
                << (run.alive() ? "" : "  (worker dead: bringup -cleanup)") << "\n";
    }
  }
  for (const std::string& run : refused) std::cout << "(not yours: " << run << ")\n";
  return 0;
}

int run_subcommand(const std::string& sub, const std::vector<std::string>& args) {
  const Parsed parsed = parse(sub, args);
  if (sub == "list") return list(parsed);
  if (sub == "graph" && !parsed.run && parsed.operands.size() == 1) {
    if (!parsed.output) throw UsageError("graph needs -o FILE");
    morvane::graph::render(morvane::graph::graph_of_logical(utils::yaml::load_file(parsed.operands[0])),
                           *parsed.output);
    std::cout << "Drew " << *parsed.output << "\n";
    return 0;
  }
  if (sub == "exec") {
    need(parsed, 1, "DEVICE -- COMMAND...");
    if (parsed.command.empty()) throw UsageError("exec needs a command after --");
    List argv;
    for (const std::string& arg : parsed.command) argv.emplace_back(arg);
    const Value result =
        call(choose_run(parsed.run), "exec", {Value(parsed.operands[0]), Value(argv), Value(parsed.timeout), Value()});
    std::cout << result.at("stdout").str() << std::flush;
    std::cerr << result.at("stderr").str() << std::flush;
    if (result.at("timed_out").truthy()) return 124;
    const std::int64_t status = result.at("returncode").as_int();
    return status < 0 ? 128 + static_cast<int>(-status) : static_cast<int>(status);
  }
  if (sub == "link") {
    need(parsed, 3, "DEVICE INTERFACE up|down");
    call(choose_run(parsed.run), "link_state",
         {Value(parsed.operands[0]), Value(parsed.operands[1]), Value(parsed.operands[2])});
    std::cout << "Link of " << parsed.operands[0] << " " << parsed.operands[1] << " is " << parsed.operands[2] << ".\n";
    return 0;
  }
  if (sub == "impair") {
    if (parsed.operands.size() < 3) throw UsageError("expected DEVICE INTERFACE SETTING=VALUE... | clear");
    std::string settings;
    if (!(parsed.operands.size() == 3 && parsed.operands[2] == "clear")) {
      for (std::size_t i = 2; i < parsed.operands.size(); ++i) settings += parsed.operands[i] + " ";
    }
    const Value now =
        call(choose_run(parsed.run), "impair", {Value(parsed.operands[0]), Value(parsed.operands[1]), Value(settings)});
    std::cout << "Impairment of " << parsed.operands[0] << " " << parsed.operands[1] << ": "
              << (now.is_map() && !now.as_map().empty() ? utils::yaml::dump(now) : std::string("none\n"));
    return 0;
  }
  if (sub == "save") {
    need(parsed, 1, "DIRECTORY");
    const Value files = call(choose_run(parsed.run), "save", {Value(absolute(parsed.operands[0]))});
    for (const Value& file : files.as_list()) std::cout << file.str() << "\n";
    return 0;
  }
  if (sub == "graph") {
    need(parsed, 0, "--run RUN or LOGICAL.yaml, and -o FILE");
    if (!parsed.output) throw UsageError("graph needs -o FILE");
    std::cout << "Drew " << call(choose_run(parsed.run), "graph", {Value(absolute(*parsed.output))}).str() << "\n";
    return 0;
  }
  throw UsageError("unknown command " + sub);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    std::cout << kUsage;
    return args.empty() ? 2 : 0;
  }
  const std::string sub = args[0];
  args.erase(args.begin());
  if (const auto help = kHelp.find(sub); help != kHelp.end()) {
    for (const std::string& arg : args) {
      if (arg == "--") break;
      if (arg == "-h" || arg == "--help") {
        std::cout << "usage: " << help->second;
        return 0;
      }
    }
  }
  try {
    return run_subcommand(sub, args);
  } catch (const UsageError& error) {
    std::cerr << kUsage << "morvane: error: " << error.what() << "\n";
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "morvane: error: " << error.what() << "\n";
    return 1;
  }
}
