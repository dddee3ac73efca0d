// The operations on a running topology, passed to the worker, which knows
// the names and holds the namespaces and containers.
#include "tarvex/morvane/orvanta.hpp"

namespace tarvex::morvane::orvanta {

Value BringUp::worker_call(const std::string& method, const List& params) {
  if (!worker_reachable()) throw RuntimeError("No topology is up: " + method + " needs a running bring-up");
  return remote(method, params);
}

BringUp::CommandResult BringUp::exec(const std::string& device, const std::vector<std::string>& argv, double timeout,
                                     const std::optional<std::string>& input) {
  List args;
  for (const std::string& arg : argv) args.emplace_back(arg);
  const Value result =
      worker_call("exec", {Value(device), Value(std::move(args)), Value(timeout), input ? Value(*input) : Value()});
  CommandResult out;
  out.returncode = static_cast<int>(result.at("returncode").as_int());
  out.out = result.at("stdout").str();
  out.err = result.at("stderr").str();
  out.timed_out = result.at("timed_out").truthy();
  return out;
}

void BringUp::link_state(const std::string& device, const std::string& interface, bool up) {
  worker_call("link_state", {Value(device), Value(interface), Value(up ? "up" : "down")});
}

Value BringUp::impair(const std::string& device, const std::string& interface, const Value& settings) {
  return worker_call("impair", {Value(device), Value(interface), settings});
}

std::vector<std::string> BringUp::save(const std::string& directory) {
  std::vector<std::string> files;
  for (const Value& file : worker_call("save", {Value(directory)}).as_list()) files.push_back(file.str());
  return files;
}

}  // namespace tarvex::morvane::orvanta
