// Acting on a running topology by the user's names: a command run inside a
// device, a cable pulled and put back, an interface's egress impaired, the
// routers' running configurations saved.  Each is a remote call of the
// worker; device and interface names are the user's or the actual ones.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "cleaners/frr/vty_client.hpp"
#include "orchestrators/netns/worker_parts.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/files.hpp"
#include "tarvex/log.hpp"
#include "tarvex/morvane/fabric/build.hpp"
#include "tarvex/morvane/fabric/impairment.hpp"
#include "tarvex/morvane/graph.hpp"
#include "tarvex/morvane/orchestrators/netns.hpp"
#include "tarvex/process.hpp"
#include "tarvex/utils/utils.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::morvane::orchestrators::netns {

namespace {

log::Logger& logger() { return log::getLogger("tarvex.morvane.orchestrators.netns"); }

[[noreturn]] void raise_errno(const std::string& what) {
  const int error = errno;
  throw OSError(error, what + ": " + std::strerror(error));
}

// The most of each output stream an exec keeps (the rest is dropped, and
// the result says so).
constexpr std::size_t kMaxOutput = 16 << 20;
// The search path of a command run in a namespace device.
constexpr const char* kDevicePath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
// The longest an exec may be given.
constexpr double kMaxExecSeconds = 24 * 3600;

std::string text_of(const Value& value, const char* what) {
  if (!value.is_str()) throw TypeError(std::string(what) + " must be a text, not " + value.type_name());
  return value.str();
}

std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + py_repr(name);
  return text;
}

struct Pipe {
  UniqueFd read, write;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) raise_errno("Cannot make a pipe");
    read.reset(fds[0]);
    write.reset(fds[1]);
  }
};

// Runs `argv` inside the network namespace `ns` (a child of this process in
// a process group of its own), feeding it `input`; kills the group at
// `timeout`.
Map run_in_namespace(int ns, const std::vector<std::string>& argv, const std::optional<std::string>& input,
                     std::chrono::duration<double> timeout) {
  Pipe in, out, err;
  process::ChildProcess::Options options;
  options.new_process_group = true;
  options.parent_death_signal = SIGKILL;
  options.default_signals = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD};
  process::ChildProcess child = process::ChildProcess::fork(
      [&]() -> int {
        if (::setns(ns, CLONE_NEWNET) != 0) {
          const std::string message = std::string("cannot enter the namespace: ") + std::strerror(errno) + "\n";
          (void)!::write(err.write.get(), message.data(), message.size());
          return 126;
        }
        // As `ip netns exec` does: /sys shows the namespace's interfaces
        // (in a mount namespace of the command's own).
        if (::unshare(CLONE_NEWNS) == 0 && ::mount("", "/", nullptr, MS_SLAVE | MS_REC, nullptr) == 0) {
          ::umount2("/sys", MNT_DETACH);
          ::mount("sysfs", "/sys", "sysfs", 0, nullptr);
        }
        // A device's own environment, as a container's exec gives one: not
        // the caller's (whose loader settings, say, are not the device's).
        const char* home = std::getenv("HOME");
        const std::string home_dir = home ? home : "/root";
        ::clearenv();
        ::setenv("PATH", kDevicePath, 1);
        ::setenv("HOME", home_dir.c_str(), 1);
        ::setenv("LANG", "C.UTF-8", 1);
        ::dup2(in.read.get(), 0);
        ::dup2(out.write.get(), 1);
        ::dup2(err.write.get(), 2);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        const std::string message = argv[0] + ": " + std::strerror(errno) + "\n";
        (void)!::write(2, message.data(), message.size());
        ::_exit(errno == ENOENT ? 127 : 126);
      },
      options);
  in.read.reset();
  out.write.reset();
  err.write.reset();
  std::string feed = input.value_or("");
  std::size_t fed = 0;
  if (feed.empty()) in.write.reset();
  if (in.write) ::fcntl(in.write.get(), F_SETFL, O_NONBLOCK);

  std::string outputs[2];
  bool truncated = false;
  bool timed_out = false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.read || err.read || in.write) {
    pollfd fds[3];
    int count = 0;
    UniqueFd* owners[3];
    for (UniqueFd* fd : {&out.read, &err.read}) {
      if (*fd) {
        fds[count] = {fd->get(), POLLIN, 0};
        owners[count++] = fd;
      }
    }
    if (in.write) {
      fds[count] = {in.write.get(), POLLOUT, 0};
      owners[count++] = &in.write;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    const int ready = ::poll(fds, count, static_cast<int>(std::min<long long>(left.count(), 100)));
    if (ready < 0 && errno != EINTR) raise_errno("Cannot wait for the command's output");
    for (int i = 0; i < count && ready > 0; ++i) {
      if (!fds[i].revents) continue;
      if (owners[i] == &in.write) {
        const ssize_t n = ::write(in.write.get(), feed.data() + fed, feed.size() - fed);
        if (n > 0) fed += static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EINTR) fed = feed.size();  // the command stopped reading
        if (fed == feed.size()) in.write.reset();
        continue;
      }
      char buffer[65536];
      const ssize_t n = ::read(owners[i]->get(), buffer, sizeof buffer);
      if (n <= 0) {
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) owners[i]->reset();
        continue;
      }
      std::string& kept = outputs[owners[i] == &out.read ? 0 : 1];
      const std::size_t room = kMaxOutput - std::min(kMaxOutput, kept.size());
      kept.append(buffer, std::min<std::size_t>(room, static_cast<std::size_t>(n)));
      truncated = truncated || static_cast<std::size_t>(n) > room;
    }
  }
  if (timed_out) child.kill();
  const auto left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
  std::optional<int> status = child.wait(std::max(left, 0.0) + (timed_out ? 5.0 : 0.0));
  if (!status) {
    // Its output is closed but it runs on: the time is up.
    timed_out = true;
    child.kill();
    status = child.wait(5.0);
  }
  Map result{{"returncode", Value(static_cast<std::int64_t>(status.value_or(-SIGKILL)))},
             {"stdout", Value(std::move(outputs[0]))},
             {"stderr", Value(std::move(outputs[1]))},
             {"timed_out", Value(timed_out)}};
  if (truncated) result["truncated"] = Value(true);
  return result;
}

}  // namespace

std::size_t NetnsWorker::device_named(const Value& name) const {
  if (!build_) throw RuntimeError("The topology is not up");
  const std::string text = text_of(name, "the device");
  const fabric::Plan& plan = build_->plan();
  std::vector<std::string> names;
  for (std::size_t d = 0; d < plan.devices.size(); ++d) {
    if (plan.devices[d].logical_name == text || plan.devices[d].actual_name == text) return d;
    names.push_back(plan.devices[d].logical_name);
  }
  std::sort(names.begin(), names.end());
  throw ValueError("No device " + py_repr(text) + " in topology " + topology_name.value_or("") +
                   " (its devices: " + listed(names) + ")");
}

fabric::InterfaceRef NetnsWorker::interface_named(std::size_t device, const Value& name) const {
  const std::string text = text_of(name, "the interface");
  const fabric::PlannedDevice& planned = build_->plan().devices.at(device);
  std::vector<std::string> names;
  for (std::size_t i = 0; i < planned.interfaces.size(); ++i) {
    const fabric::PlannedInterface& interface = planned.interfaces[i];
    if (interface.logical_name == text || interface.name == text) return {device, i};
    names.push_back(interface.logical_name);
  }
  throw ValueError("No interface " + py_repr(text) + " on device " + py_repr(planned.logical_name) +
                   (names.empty() ? std::string(" (it has none)") : " (its interfaces: " + listed(names) + ")"));
}

Value NetnsWorker::exec(const Value& device, const Value& argv, const Value& timeout, const Value& input) {
  const std::size_t d = device_named(device);
  std::vector<std::string> args;
  if (argv.is_str()) {
    args = {"sh", "-c", argv.str()};
  } else if (argv.is_list()) {
    for (const Value& arg : argv.as_list()) args.push_back(text_of(arg, "each argument of the command"));
  }
  if (args.empty()) throw ValueError("The command to run on " + py_repr(device.str()) + " is empty");
  for (const std::string& arg : args) {
    if (arg.find('\0') != std::string::npos) throw ValueError("An argument of the command holds a NUL byte");
  }
  const double seconds = timeout.is_none() ? 30.0 : Convert<double>::from(timeout, "timeout");
  if (!(seconds > 0) || seconds > kMaxExecSeconds) {
    throw ValueError("The timeout must be more than 0 and at most " + std::to_string(int(kMaxExecSeconds)) +
                     " seconds, not " + std::to_string(seconds));
  }
  const std::optional<std::string> feed =
      input.is_none() ? std::nullopt : std::optional<std::string>(text_of(input, "the input"));
  if (containers_->set) {
    if (const ContainerSet::Running* container = containers_->set->of_device(d)) {
      const engine::ExecResult result = containers_->set->exec(
          *container, args, feed, std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
      return Map{{"returncode", Value(static_cast<std::int64_t>(result.exit_code))},
                 {"stdout", Value(result.out)},
                 {"stderr", Value(result.err)},
                 {"timed_out", Value(result.timed_out)}};
    }
  }
  return run_in_namespace(build_->namespace_of(d).fd(), args, feed, std::chrono::duration<double>(seconds));
}

void NetnsWorker::link_state(const Value& device, const Value& interface, const Value& state) {
  const std::size_t d = device_named(device);
  const fabric::InterfaceRef ref = interface_named(d, interface);
  const std::string wanted = text_of(state, "the state");
  if (wanted != "up" && wanted != "down") throw ValueError("A link's state is 'up' or 'down', not " + py_repr(wanted));
  if (build_->plan().interface(ref).kind == fabric::InterfaceKind::Loopback) {
    throw ValueError("Interface " + py_repr(build_->plan().interface(ref).logical_name) + " of device " +
                     py_repr(build_->plan().devices[d].logical_name) + " is a loopback: it has no link to take down");
  }
  build_->set_link_up(ref, wanted == "up");
  logger().info("Link of interface {} of device {} is {}.", build_->plan().interface(ref).logical_name,
                build_->plan().devices[d].logical_name, wanted);
}

Value NetnsWorker::impair(const Value& device, const Value& interface, const Value& settings) {
  const std::size_t d = device_named(device);
  const fabric::InterfaceRef ref = interface_named(d, interface);
  const std::string where = "device " + py_repr(build_->plan().devices[d].logical_name) + ", interface " +
                            py_repr(build_->plan().interface(ref).logical_name);
  std::vector<std::string> problems;
  const fabric::Impairment impairment = settings.is_str()
                                            ? fabric::parse_impairment_text(settings.str(), where, problems)
                                            : fabric::parse_impairment(settings, where, problems);
  if (!problems.empty()) {
    std::string text;
    for (const std::string& problem : problems) text += (text.empty() ? "" : "; ") + problem;
    throw ValueError(text);
  }
  build_->impair(ref, impairment);
  logger().info("Impairment of {}: {}.", where, impairment.text());
  return impairment.value();
}

Value NetnsWorker::save(const Value& directory) {
  if (!build_) throw RuntimeError("The topology is not up");
  const std::filesystem::path into(text_of(directory, "the directory"));
  std::filesystem::create_directories(into);
  List written;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (const fabric::PlannedDevice& device : build_->plan().devices) {
    const std::optional<RouterFrr> router = router_frr(device.logical_name);
    if (!router) continue;
    std::string text;
    std::vector<std::string> daemons{"zebra"};
    for (const std::string& daemon : router->setup->daemons) {
      if (daemon != "zebra") daemons.push_back(daemon);
    }
    // Each daemon's part, as vtysh gathers them (a vty starts in view mode).
    for (const std::string& daemon : daemons) {
      cleaners::frr::VtyClient client(router->directory + "/" + daemon + ".vty");
      client.run("enable", deadline);
      text += "! " + daemon + "\n" + client.run("write terminal", deadline);
    }
    const std::filesystem::path file = into / (fabric::name_part(device.logical_name, 64) + ".conf");
    files::write_file(file.string(), text);
    written.emplace_back(file.string());
  }
  // The final testbed as written (or as it would be, when no file was
  // asked for).
  const std::filesystem::path testbed = into / "testbed.yaml";
  if (tb_yaml_written) {
    std::filesystem::copy_file(*tb_yaml_written, testbed, std::filesystem::copy_options::overwrite_existing);
  } else {
    ::tarvex::utils::yaml::dump_file(testbed_config, testbed.string());
  }
  written.emplace_back(testbed.string());
  logger().info("Saved {} file(s) to {}.", written.size(), into.string());
  return written;
}

Value NetnsWorker::graph(const Value& path) {
  if (!build_) throw RuntimeError("The topology is not up");
  graph::Graph picture = graph::graph_of_testbed(testbed_config);
  // What the final testbed cannot tell: cables pulled and impairments.
  const fabric::Plan& plan = build_->plan();
  for (graph::Link& link : picture.links) {
    for (const graph::LinkEnd& end : link.ends) {
      const std::optional<std::size_t> d = plan.device_index(end.device);
      if (!d) continue;
      const auto& interfaces = plan.devices[*d].interfaces;
      for (std::size_t i = 0; i < interfaces.size(); ++i) {
        if (interfaces[i].logical_name != end.interface.name) continue;
        const fabric::InterfaceRef ref{*d, i};
        link.down = link.down || !build_->link_up(ref);
        const fabric::Impairment impairment = build_->impairment_of(ref);
        if (!impairment.empty()) {
          link.impairment +=
              (link.impairment.empty() ? "" : "; ") + end.device + " " + end.interface.name + ": " + impairment.text();
        }
      }
    }
  }
  const std::string file = text_of(path, "the picture's path");
  graph::render(picture, file);
  return Value(file);
}

void NetnsWorker::write_control_file() {
  if (control_port <= 0 || control_token.empty()) return;
  const std::string directory = build_->private_directory("control");
  List devices;
  for (const fabric::PlannedDevice& device : build_->plan().devices) devices.emplace_back(device.logical_name);
  const std::time_t now = std::time(nullptr);
  char started[32];
  std::strftime(started, sizeof started, "%Y-%m-%dT%H:%M:%S%z", std::localtime(&now));
  const Value* testbed = logical_testbed_config.is_map() ? logical_testbed_config.find("testbed") : nullptr;
  const Value* testbed_name = testbed && testbed->is_map() ? testbed->find("name") : nullptr;
  const Map control{
      {"run_id", Value(build_->plan().run_id)},
      {"topology", Value(topology_name.value_or(""))},
      {"testbed", testbed_name && testbed_name->is_str() ? *testbed_name : Value()},
      {"backend", Value("netns")},
      {"pid", Value(static_cast<std::int64_t>(::getpid()))},
      {"start_time", Value(static_cast<std::int64_t>(process::start_time(::getpid()).value_or(0)))},
      {"uid", Value(static_cast<std::int64_t>(::geteuid()))},
      {"started", Value(std::string(started))},
      {"port", Value(static_cast<std::int64_t>(control_port))},
      {"token", Value(control_token)},
      {"devices", Value(std::move(devices))},
  };
  // Readable by the run's owner only: the token lets its reader act on the
  // topology.
  const std::string file = directory + "/" + kControlFileName;
  UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) raise_errno("Cannot create " + file);
  if (!process::write_fully(fd.get(), ::tarvex::utils::yaml::dump(Value(control)))) raise_errno("Cannot write " + file);
}

}  // namespace tarvex::morvane::orchestrators::netns
