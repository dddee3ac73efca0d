// How long a legitimate call waits while other local clients hold
// connections to the worker server without showing the token (half of them
// silent, half dribbling a request head a byte every 20 ms, each dropped one
// reopened), and how long one handle_request() call keeps the server's
// loop away from its other duties (a Control-C, a shutdown request).
// With --multicall, what one system.multicall of many testbed reads (each
// answered with the whole testbed, as a worker answers testbed_config)
// costs the server: the call's time and the server's peak resident memory.
//
//   xmlrpc_hostile_bench [HOSTILE_COUNT...]     (default: 0 6 200)
//   xmlrpc_hostile_bench --multicall CALLS [DEVICES]   (default DEVICES: 20)
//
// Only the public API is used, so the same source builds against an older
// tarvex_xmlrpc for a before/after comparison.  A call still unanswered
// after 30 s is abandoned and reported as such.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tarvex/exceptions.hpp"
#include "tarvex/xmlrpc.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr const char* kToken = "bench-token";

class Child {
 public:
  explicit Child(const std::function<void()>& body) {
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      try {
        body();
      } catch (...) {
      }
      ::_exit(0);
    }
  }
  ~Child() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  void terminate_and_wait() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

int connect_to(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  return fd;
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

volatile sig_atomic_t stop = 0;

void run(int hostile) {
  int port_pipe[2], report_pipe[2];
  if (::pipe(port_pipe) != 0 || ::pipe(report_pipe) != 0) throw std::runtime_error("pipe failed");
  // The worker's loop: wait up to 0.5 s for the listening socket, then
  // handle; records the longest handle_request().
  Child server([&] {
    ::signal(SIGTERM, [](int) { stop = 1; });
    tarvex::xmlrpc::Server::Options options;
    options.token = kToken;
    tarvex::xmlrpc::Server server(options, [](const std::string&, const tarvex::List& params) { return params.at(0); });
    const int port = server.port();
    if (::write(port_pipe[1], &port, sizeof port) != sizeof port) return;
    double longest = 0;
    while (!stop) {
      pollfd entry{server.listen_fd(), POLLIN, 0};
      if (::poll(&entry, 1, 500) > 0) {
        const auto start = Clock::now();
        server.handle_request();
        longest = std::max(longest, ms_since(start));
      }
    }
    if (::write(report_pipe[1], &longest, sizeof longest) != sizeof longest) return;
  });
  int port = 0;
  if (::read(port_pipe[0], &port, sizeof port) != sizeof port) throw std::runtime_error("no port");

  Child attackers([&] {
    std::vector<int> held;
    for (int i = 0; i < hostile; ++i) held.push_back(connect_to(port));
    const std::string head = "POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10\r\n";
    for (std::size_t round = 0;; ++round) {
      for (int i = 0; i < hostile; ++i) {
        char byte;
        const bool dropped = ::recv(held[i], &byte, 1, MSG_DONTWAIT) == 0;
        const bool dribbler = i % 2 == 1;
        if (dropped || (dribbler && ::send(held[i], &head[round % head.size()], 1, MSG_NOSIGNAL) != 1)) {
          ::close(held[i]);
          held[i] = connect_to(port);
        }
      }
      std::this_thread::sleep_for(20ms);
    }
  });
  std::this_thread::sleep_for(300ms);

  // Each call is abandoned after 30 s (a timer as its interrupt).
  const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  tarvex::xmlrpc::ServerProxy::Options options;
  options.token = kToken;
  options.interrupt_fd = timer;
  options.on_interrupt = [] { throw tarvex::TimeoutError(ETIMEDOUT, "abandoned after 30 s"); };
  const tarvex::xmlrpc::ServerProxy proxy("http://127.0.0.1:" + std::to_string(port), options);
  std::vector<double> times;
  std::string failures;
  for (int call = 0; call < 5; ++call) {
    itimerspec in30{};
    in30.it_value.tv_sec = 30;
    ::timerfd_settime(timer, 0, &in30, nullptr);
    const auto start = Clock::now();
    try {
      proxy.call("echo", {call});
      times.push_back(ms_since(start));
    } catch (const std::exception& e) {
      times.push_back(ms_since(start));
      failures += std::string(" [") + e.what() + "]";
      break;
    }
  }
  ::close(timer);
  server.terminate_and_wait();
  double longest = -1;
  if (::read(report_pipe[0], &longest, sizeof longest) != sizeof longest) longest = -1;
  for (int fd : {port_pipe[0], port_pipe[1], report_pipe[0], report_pipe[1]}) ::close(fd);
  std::sort(times.begin(), times.end());
  std::printf("%4d hostile: call median %8.1f ms, worst %8.1f ms (%zu calls); longest handle_request %8.1f ms%s\n",
              hostile, times[times.size() / 2], times.back(), times.size(), longest, failures.c_str());
  std::fflush(stdout);
}

// A field of /proc/self/status, in KiB.
long status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field)) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  }
  return -1;
}

// A testbed as a worker holds it after a bring-up: each device with its
// connection details and four linked interfaces.
tarvex::Value make_testbed(int devices) {
  using tarvex::Value;
  Value all = tarvex::Map{};
  Value topology = tarvex::Map{};
  for (int d = 0; d < devices; ++d) {
    const std::string name = "sim-r" + std::to_string(d);
    const std::string state = "/run/sim/lab/" + name + ".yaml";
    all[name] =
        Value::map({{"alias", "r" + std::to_string(d)},
                    {"os", "linux"},
                    {"type", "router"},
                    {"connections", Value::map({{"cli", Value::map({{"protocol", "sim"}, {"state_file", state}})}})}});
    Value interfaces = tarvex::Map{};
    for (int i = 0; i < 4; ++i) {
      interfaces["eth" + std::to_string(i)] =
          Value::map({{"link", "l" + std::to_string((d + i) % devices)},
                      {"ipv4", "10." + std::to_string(d) + "." + std::to_string(i) + ".1/24"}});
    }
    topology[name] = Value::map({{"interfaces", interfaces}});
  }
  return Value::map({{"testbed", Value::map({{"name", "lab"}})}, {"devices", all}, {"topology", topology}});
}

// One system.multicall of `calls` testbed reads against a server in a
// child process, whose peak resident memory is reset once the testbed is
// built, so that the figure is what the multicall added.
void run_multicall(int calls, int devices) {
  int port_pipe[2], report_pipe[2];
  if (::pipe(port_pipe) != 0 || ::pipe(report_pipe) != 0) throw std::runtime_error("pipe failed");
  Child server([&] {
    ::signal(SIGTERM, [](int) { stop = 1; });
    const tarvex::Value testbed = make_testbed(devices);
    tarvex::xmlrpc::Server::Options options;
    options.token = kToken;
    tarvex::xmlrpc::Server server(options, [&](const std::string& method, const tarvex::List&) {
      if (method != "testbed_config") throw tarvex::ValueError("no method " + method);
      return tarvex::xmlrpc::Reply::borrowed(testbed);
    });
    const int port = server.port();
    std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM
    const long base = status_kib("VmRSS:");
    if (::write(port_pipe[1], &port, sizeof port) != sizeof port) return;
    while (!stop) {
      pollfd entry{server.listen_fd(), POLLIN, 0};
      if (::poll(&entry, 1, 500) > 0) server.handle_request();
    }
    const long growth = status_kib("VmHWM:") - base;
    if (::write(report_pipe[1], &growth, sizeof growth) != sizeof growth) return;
  });
  int port = 0;
  if (::read(port_pipe[0], &port, sizeof port) != sizeof port) throw std::runtime_error("no port");

  tarvex::xmlrpc::ServerProxy::Options options;
  options.token = kToken;
  const tarvex::xmlrpc::ServerProxy proxy("http://127.0.0.1:" + std::to_string(port), options);
  const std::size_t answer_bytes = proxy.call("testbed_config").repr().size();
  tarvex::List entries;
  for (int i = 0; i < calls; ++i) {
    entries.push_back(tarvex::Value::map({{"methodName", "testbed_config"}, {"params", tarvex::List{}}}));
  }
  std::string outcome;
  const auto start = Clock::now();
  try {
    const tarvex::Value answers = proxy.call("system.multicall", {tarvex::Value(std::move(entries))});
    outcome = std::to_string(answers.as_list().size()) + " answers";
  } catch (const std::exception& e) {
    outcome = std::string("refused: ") + e.what();
  }
  const double elapsed = ms_since(start);
  server.terminate_and_wait();
  long growth = -1;
  if (::read(report_pipe[0], &growth, sizeof growth) != sizeof growth) growth = -1;
  for (int fd : {port_pipe[0], port_pipe[1], report_pipe[0], report_pipe[1]}) ::close(fd);
  std::printf("multicall of %d reads of a %d-device testbed (%zu bytes as text): %.1f ms, server peak +%.1f MiB; %s\n",
              calls, devices, answer_bytes, elapsed, static_cast<double>(growth) / 1024.0, outcome.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--multicall") {
    run_multicall(std::atoi(argv[2]), argc >= 4 ? std::atoi(argv[3]) : 20);
    return 0;
  }
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {0, 6, 200};
  for (const int count : counts) run(count);
  return 0;
}
