// The worker's state offered as properties of the manager, read through
// the worker server.
#include <csignal>
#include <utility>

#include "orvanta/worker_link.hpp"
#include "tarvex/morvane/orvanta.hpp"

namespace tarvex::morvane::orvanta {

namespace {

// One memo entry per memoised property, shared by all managers of the
// process and keyed by the manager: the first value read for a manager (null
// included) is returned again until a read for another manager replaces it.
// A read that fails leaves the entry as it was.
struct Memo {
  std::uint64_t owner = 0;
  Value value;
};

template <class Read>
Value memoised(Memo& memo, std::uint64_t owner, Read&& read) {
  if (memo.owner == owner) return memo.value;
  Value value = read();
  memo = {owner, value};
  return value;
}

Memo interactive_memo, help_memo, logical_devices_memo;

Value joined(const std::vector<std::string>& manager_list, const Value& worker_list) {
  List out;
  for (const std::string& text : manager_list) out.emplace_back(text);
  if (worker_list.is_list()) {
    for (const Value& text : worker_list.as_list()) out.push_back(text);
  }
  return out;
}

}  // namespace

Value BringUp::remote_read(const char* message, const char* name) const {
  if (!worker_reachable()) return Value();
  logger().debug(message);
  // A read is short: a signal that arrives meanwhile is left to the next
  // wait (the settling wait, the hold, the caller's own) rather than passed
  // on to the worker, which would end its serving and tear down under the
  // reader, who would then see the connection fail instead of the signal.
  detail::WorkerLink& link = *link_;
  link.forward_signals = false;
  struct Restore {
    detail::WorkerLink& link;
    ~Restore() {
      link.forward_signals = true;
      if (const std::optional<int> signum = std::exchange(link.deferred_signal, std::nullopt)) ::raise(*signum);
    }
  } restore{link};
  return remote(name);
}

Value BringUp::topology_config() const {
  return remote_read("Retrieving testbed details from bringup worker...", "testbed_config");
}

Value BringUp::output_clean_config() const {
  return remote_read("Retrieving output clean configuration details from bringup worker...", "output_clean_config");
}

Value BringUp::cli_usage_details() const {
  if (!worker_reachable()) return Value();
  return joined(manager_cli_usage_details,
                remote_read("Retrieving CLI usage details from bringup worker...", "cli_usage_details"));
}

Value BringUp::tb_yaml_written() const {
  return remote_read("Retrieving where the final testbed file was written...", "tb_yaml_written");
}

Value BringUp::topology_name() const {
  return remote_read("Retrieving topology name from bringup worker...", "topology_name");
}

Value BringUp::cli_help_details() const {
  if (!worker_reachable()) return Value();
  return joined(manager_cli_help_details,
                remote_read("Retrieving CLI help details from bringup worker...", "cli_help_details"));
}

Value BringUp::interactive() const {
  return memoised(interactive_memo, serial_,
                  [&] { return remote_read("Retrieving interactive mode from bringup worker...", "interactive"); });
}

void BringUp::interactive(bool value) {
  if (!worker_reachable()) {
    logger().error("Cannot set interactive attribute of bringup worker.");
    return;
  }
  logger().debug("Setting interactive mode on bringup worker...");
  remote("set_interactive", {Value(value)});
}

Value BringUp::help() const {
  return memoised(help_memo, serial_,
                  [&] { return remote_read("Retrieving help mode from bringup worker...", "help"); });
}

Value BringUp::logical_devices() const {
  return memoised(logical_devices_memo, serial_, [&] {
    return remote_read("Retrieving list of logical devices from bringup worker...", "logical_devices");
  });
}

}  // namespace tarvex::morvane::orvanta
