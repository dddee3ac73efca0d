// lab-bringup: brings a logical testbed up on the simulated backend, prints
// each device that was built with the name the logical testbed gives it,
// and tears everything down again.
//
//   lab-bringup LOGICAL_TESTBED [bring-up options]
//
// The bring-up options are those `bringup -h` lists, e.g. -sim_plan FILE to
// replay a backend (with injected faults) or -bringup_log_level debug.
// Exit status: 0 after a clean bring-up and teardown, 1 when the bring-up
// failed, 2 for a bad command line.
#include <csignal>
#include <filesystem>
#include <iostream>
#include <string>
#include <tarvex/files.hpp>
#include <tarvex/log.hpp>
#include <tarvex/morvane/exceptions.hpp>
#include <tarvex/morvane/orchestrators/sim.hpp>
#include <tarvex/morvane/orvanta.hpp>
#include <tarvex/signals.hpp>

using namespace tarvex;
using tarvex::morvane::BringUp;

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') {
    std::cerr << "usage: lab-bringup LOGICAL_TESTBED [bring-up options]\n";
    return 2;
  }
  // The sim backend registers itself under the name "sim" when its library
  // is loaded.  Naming something of it here makes the linker keep the
  // library even though nothing else of it is called directly.
  std::cout << "Simulated devices live under " << morvane::orchestrators::sim::state_root() << "\n";

  // The bring-up reads its options from the recorded command line; words
  // that are not its options (the logical testbed here) are ignored.
  morvane::utils::set_command_line(argc, argv);
  // Control-C and SIGTERM are taken at safe points: during the launch they
  // make the worker stop and tear down, and the program gets an error.
  signals::capture({SIGINT, SIGTERM});
  // The readiness wait logs each device to a file of its own, in this
  // directory (in the current directory when none is set): a private one,
  // created 0700 and refused when someone else owns it or can write to it.
  const std::string log_dir = (std::filesystem::temp_directory_path() / "morvane-logs").string();
  files::ensure_private_directory(log_dir);
  log::managed_handlers().tasklog.log_dir = log_dir;

  try {
    auto bringup = create<BringUp>({}, {{"orchestrator", "sim"}, {"logical_testbed_file", std::string(argv[1])}});
    morvane::bases::with_context(*bringup, [](BringUp& b) {
      // The testbed as it was built: actual device names, each carrying the
      // logical name as its alias.
      const Value testbed = b.topology_config();
      std::cout << "Topology " << b.topology_name().str() << " is up:\n";
      for (const auto& [actual, device] : testbed.at("devices").as_map()) {
        const Value alias = device.get("alias");
        std::cout << "  " << actual.str() << " is " << (alias.truthy() ? alias.str() : "(no logical name)") << "\n";
      }
      // ... run tests against the devices here ...
    });  // torn down here, also when the body throws
  } catch (const morvane::exceptions::TopologyTerminatedDueToSignal&) {
    std::cerr << "Interrupted during the launch; the topology was torn down.\n";
    return 1;
  } catch (const KeyboardInterrupt&) {  // not a std::exception: an interrupt, not an error
    std::cerr << "Interrupted.\n";
    return 128 + SIGINT;
  } catch (const SystemExit& e) {  // SIGTERM outside the launch
    return e.code();
  } catch (const Exception& e) {
    // The whole chain, what failed first included (a failure inside the
    // worker arrives as an error of the worker's own type that shows it).
    std::cerr << "Bring-up failed (" << e.type_name() << "):\n" << format_exception(std::current_exception()) << "\n";
    return 1;
  }
  std::cout << "Topology torn down.\n";
  return 0;
}
