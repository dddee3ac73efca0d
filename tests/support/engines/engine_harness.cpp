#include "support/engines/engine_harness.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "tarvex/engine/engine.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/fd.hpp"

namespace tarvex::testing::engines {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const ::testing::Environment* const registered = ::testing::AddGlobalTestEnvironment(&EngineEnvironment::instance());

constexpr auto kStartTimeout = 60s;

std::string make_private_dir(const std::string& kind) {
  std::string pattern = (fs::temp_directory_path() / ("morvane-" + kind + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) throw OSError(errno, "cannot make a directory for the test " + kind);
  return pattern;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  if (!out) throw OSError(errno, "cannot write " + path);
}

std::string tail_of(const std::string& path, std::size_t bytes = 2000) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  return all.size() > bytes ? all.substr(all.size() - bytes) : all;
}

bool installed(const std::string& program) {
  if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0;
  return run_program({"sh", "-c", "command -v " + program}).status == 0;
}

// A free TCP port on loopback, as the kernel hands one out.
int free_loopback_port() {
  const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw OSError(errno, "cannot find a free port on 127.0.0.1");
  }
  return ntohs(address.sin_port);
}

bool accepts_connections(int port) {
  const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// A service: its output goes to `log`, it gets `env`, and it ends with
// the test program (the kernel sends it SIGTERM when the program dies).
process::ChildProcess start_service(const std::vector<std::string>& argv, const std::string& log,
                                    const std::vector<std::pair<std::string, std::string>>& env = {}) {
  process::ChildProcess::Options options;
  options.new_process_group = true;
  options.parent_death_signal = SIGTERM;
  return process::ChildProcess::fork(
      [&]() -> int {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return 126;
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, STDIN_FILENO);
        for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        return 127;
      },
      options);
}

// Ends every process whose command line names `dir`: what an engine left
// running for its containers (conmon, containerd and its shims).  The
// directory is this test's own, so no other process can name it.
void kill_processes_naming(const std::string& dir) {
  for (int round = 0; round < 50; ++round) {
    bool found = false;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const pid_t pid = std::stoi(name);
      if (pid == ::getpid()) continue;
      std::ifstream in(entry.path() / "cmdline");
      std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (cmdline.find(dir + "/") == std::string::npos) continue;
      found = true;
      const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
      if (pidfd) ::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0);
    }
    if (!found) return;
    std::this_thread::sleep_for(100ms);
  }
}

// Unmounts whatever is mounted under `dir` (overlay layers, the storage's
// own bind mount, namespaces' files), innermost first.
void unmount_under(const std::string& dir) {
  for (int round = 0; round < 5; ++round) {
    std::vector<std::string> points;
    std::ifstream mountinfo("/proc/self/mountinfo");
    for (std::string line; std::getline(mountinfo, line);) {
      std::istringstream fields(line);
      std::string id, parent, device, root, point;
      fields >> id >> parent >> device >> root >> point;
      // Spaces and other characters come octal-escaped ("\040").
      std::string decoded;
      for (std::size_t i = 0; i < point.size(); ++i) {
        if (point[i] == '\\' && i + 3 < point.size()) {
          decoded += static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8));
          i += 3;
        } else {
          decoded += point[i];
        }
      }
      if (decoded.rfind(dir + "/", 0) == 0) points.push_back(decoded);
    }
    if (points.empty()) return;
    std::sort(points.begin(), points.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    for (const std::string& point : points) ::umount2(point.c_str(), MNT_DETACH);
  }
}

void remove_private_dir(const std::string& dir) {
  kill_processes_naming(dir);
  unmount_under(dir);
  std::error_code ec;
  fs::remove_all(dir, ec);
  if (ec) std::cerr << "cannot remove " << dir << ": " << ec.message() << "\n";
}

std::string script_path() { return std::string(MORVANE_SOURCE_DIR) + "/scripts/build-test-images"; }
std::string image_cache() { return std::string(MORVANE_BINARY_DIR) + "/test-images"; }

}  // namespace

const char* kind_name(EngineKind kind) { return kind == EngineKind::podman ? "podman" : "docker"; }

ProgramResult run_program(const std::vector<std::string>& argv,
                          const std::vector<std::pair<std::string, std::string>>& env) {
  Pipe pipe = Pipe::open();
  process::ChildProcess child = process::ChildProcess::fork([&]() -> int {
    ::dup2(pipe.write.get(), STDOUT_FILENO);
    ::dup2(pipe.write.get(), STDERR_FILENO);
    for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    return 127;
  });
  pipe.write.reset();
  ProgramResult result;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe.read.get(), buffer, sizeof buffer)) > 0;) {
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  result.status = child.wait().value_or(-1);
  return result;
}

std::string missing_programs(EngineKind kind) {
  std::vector<std::string> programs = {"runc", "/bin/busybox", "tar"};
  if (kind == EngineKind::podman) {
    programs.insert(programs.end(), {"podman", "conmon"});
  } else {
    programs.insert(programs.end(), {"dockerd", "containerd", "docker"});
  }
  std::string missing;
  for (const std::string& program : programs) {
    if (!installed(program)) missing += (missing.empty() ? "" : ", ") + program;
  }
  return missing;
}

std::string host_ip_forward() {
  std::ifstream in("/proc/sys/net/ipv4/ip_forward");
  std::string value;
  in >> value;
  return value;
}

std::string missing_registry_programs() { return installed("docker-registry") ? "" : "docker-registry"; }

// --- the registry ---

PrivateRegistry::PrivateRegistry() : dir_(make_private_dir("registry")), port_(free_loopback_port()) {
  try {
    write_file(dir_ + "/config.yml",
               "version: 0.1\n"
               "log:\n  level: warn\n"
               "storage:\n  filesystem:\n    rootdirectory: " +
                   dir_ +
                   "/data\n"
                   "http:\n  addr: " +
                   address() + "\n");
    process_ = start_service({"docker-registry", "serve", dir_ + "/config.yml"}, dir_ + "/registry.log");
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!accepts_connections(port_)) {
      if (!process_.is_alive() || std::chrono::steady_clock::now() > deadline) {
        throw RuntimeError("the test registry on " + address() + " did not start: " + tail_of(dir_ + "/registry.log"));
      }
      std::this_thread::sleep_for(50ms);
    }
  } catch (...) {
    process_ = {};
    remove_private_dir(dir_);
    throw;
  }
}

PrivateRegistry::~PrivateRegistry() {
  process_.terminate();
  if (!process_.wait(10.0)) process_.kill();
  process_ = {};
  remove_private_dir(dir_);
}

// --- the engines ---

PrivateEngine::PrivateEngine(EngineKind kind, const std::string& registry)
    : kind_(kind), dir_(make_private_dir(kind_name(kind))) {
  try {
    if (kind == EngineKind::podman) {
      start_podman(registry);
    } else {
      start_docker();
    }
    wait_ready();
  } catch (...) {
    stop();
    throw;
  }
}

PrivateEngine::~PrivateEngine() { stop(); }

void PrivateEngine::start_podman(const std::string& registry) {
  // runc and cgroupfs: crun refuses the hybrid cgroup layout here, and
  // systemd is not the init.  The default ulimits exceed the hard limit of
  // this machine.  File locks and the events file keep this instance apart
  // from any other podman on the machine (the default lock is one shared
  // memory segment for all of them).
  write_file(dir_ + "/containers.conf",
             "[containers]\n"
             "default_ulimits = [\"nofile=4096:4096\", \"nproc=4096:4096\"]\n"
             "[engine]\n"
             "runtime = \"runc\"\n"
             "cgroup_manager = \"cgroupfs\"\n"
             "events_logger = \"file\"\n"
             "lock_type = \"file\"\n");
  std::string registries = "unqualified-search-registries = []\n";
  if (!registry.empty()) registries += "[[registry]]\nlocation = \"" + registry + "\"\ninsecure = true\n";
  write_file(dir_ + "/registries.conf", registries);
  env_ = {{"CONTAINERS_CONF", dir_ + "/containers.conf"}, {"CONTAINERS_REGISTRIES_CONF", dir_ + "/registries.conf"}};
  socket_ = dir_ + "/podman.sock";
  process_ = start_service({"podman", "--root", dir_ + "/storage", "--runroot", dir_ + "/run", "--tmpdir",
                            dir_ + "/tmp", "system", "service", "-t", "0", "unix://" + socket_},
                           dir_ + "/service.log", env_);
}

void PrivateEngine::start_docker() {
  // An empty configuration file, so that the machine's /etc/docker never
  // applies; no bridge and no iptables rules: containers have no network.
  // Nor does it turn the host's IPv4 forwarding on, as it does by default
  // (every new network namespace copies that setting from the host's).
  write_file(dir_ + "/daemon.json", "{}\n");
  socket_ = dir_ + "/docker.sock";
  const std::vector<std::string> argv = {"dockerd",
                                         "--config-file=" + dir_ + "/daemon.json",
                                         "--host=unix://" + socket_,
                                         "--data-root=" + dir_ + "/data",
                                         "--exec-root=" + dir_ + "/exec",
                                         "--pidfile=" + dir_ + "/docker.pid",
                                         "--iptables=false",
                                         "--ip6tables=false",
                                         "--ip-forward=false",
                                         "--bridge=none",
                                         "--exec-opt=native.cgroupdriver=cgroupfs",
                                         "--default-ulimit=nofile=4096:4096",
                                         "--default-ulimit=nproc=4096:4096"};
  process_ = start_service(argv, dir_ + "/service.log");
}

void PrivateEngine::wait_ready() {
  engine::EngineOptions options;
  options.connect_timeout = 1s;
  options.request_timeout = 5s;
  engine::Engine client(socket_, options);
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (!client.ping()) {
    if (!process_.is_alive() || std::chrono::steady_clock::now() > deadline) {
      throw RuntimeError(std::string("the test ") + kind_name(kind_) + " did not start (" + dir_ + "):\n" +
                         tail_of(dir_ + "/service.log"));
    }
    std::this_thread::sleep_for(50ms);
  }
}

std::vector<std::string> PrivateEngine::cli() const {
  if (kind_ == EngineKind::podman) return {"podman", "--url", "unix://" + socket_};
  // The docker.io package's own client, of the daemon's version.
  return {installed("/usr/bin/docker") ? "/usr/bin/docker" : "docker", "-H", "unix://" + socket_};
}

ProgramResult PrivateEngine::run_cli(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv = cli();
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_program(argv, env_);
}

void PrivateEngine::import_image(const std::string& which) {
  if (std::find(imported_.begin(), imported_.end(), which) != imported_.end()) return;
  std::vector<std::string> argv = {script_path(), "--cache", image_cache(), "--only", which, "--"};
  const std::vector<std::string> engine_cli = cli();
  argv.insert(argv.end(), engine_cli.begin(), engine_cli.end());
  const ProgramResult result = run_program(argv, env_);
  if (result.status != 0) {
    throw RuntimeError("cannot import the " + which + " test image into " + kind_name(kind_) + ":\n" + result.output);
  }
  imported_.push_back(which);
}

void PrivateEngine::stop() {
  if (process_.valid() && process_.is_alive()) {
    // Containers first, while the engine can still stop them its own way.
    try {
      engine::EngineOptions options;
      options.request_timeout = 60s;
      engine::Engine client(socket_, options);
      std::vector<std::string> ids;
      for (const auto& container : client.list({}, true)) ids.push_back(container.id);
      for (const auto& result : client.remove_all(ids)) {
        if (!result.ok()) std::cerr << "test engine teardown: " << *result.error << "\n";
      }
    } catch (const std::exception& e) {
      std::cerr << "test engine teardown: " << e.what() << "\n";
    }
    process_.terminate();
    if (!process_.wait(30.0)) process_.kill();
  }
  process_ = {};
  if (kind_ == EngineKind::podman && fs::exists(dir_ + "/storage")) {
    const ProgramResult reset = run_program({"podman", "--root", dir_ + "/storage", "--runroot", dir_ + "/run",
                                             "--tmpdir", dir_ + "/tmp", "system", "reset", "-f"},
                                            env_);
    if (reset.status != 0) std::cerr << "test podman teardown: system reset failed:\n" << reset.output << "\n";
  }
  remove_private_dir(dir_);
}

// --- the environment ---

EngineEnvironment& EngineEnvironment::instance() {
  // Owned by GoogleTest once registered (it deletes its environments).
  static EngineEnvironment* const environment = new EngineEnvironment;
  return *environment;
}

PrivateRegistry& EngineEnvironment::registry() {
  if (registry_failure_) std::rethrow_exception(registry_failure_);
  if (!registry_) {
    try {
      registry_ = std::make_unique<PrivateRegistry>();
    } catch (...) {
      registry_failure_ = std::current_exception();
      throw;
    }
  }
  return *registry_;
}

PrivateEngine& EngineEnvironment::engine(EngineKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  if (failures_[index]) std::rethrow_exception(failures_[index]);
  if (!engines_[index]) {
    if (ip_forward_before_.empty()) ip_forward_before_ = host_ip_forward();
    try {
      // Podman reads which registries are insecure when it starts.
      const std::string registry = missing_registry_programs().empty() ? this->registry().address() : "";
      auto engine = std::make_unique<PrivateEngine>(kind, registry);
      engine->import_image("busybox");
      engines_[index] = std::move(engine);
    } catch (...) {
      failures_[index] = std::current_exception();
      throw;
    }
  }
  return *engines_[index];
}

void EngineEnvironment::TearDown() {
  for (auto& engine : engines_) engine.reset();
  registry_.reset();
}

}  // namespace tarvex::testing::engines
