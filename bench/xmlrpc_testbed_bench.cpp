// What it costs the manager to read a large testbed from its worker over
// XML-RPC: encoding the testbed (the worker's side), decoding it (the
// manager's side) and the whole call over loopback, for the codec of
// src/xmlrpc against the xmlrpc-c path it replaced (xmlrpc_c_baseline, the
// same run), with Python's standard client reading from our server as a
// reference.  The peak memory each step adds is measured in a forked
// process whose peak was reset first.
//
//   xmlrpc_testbed_bench [--runs N] TESTBED.yaml...
//
// e.g. with the merged testbed of a generated bring-up (see README.md):
//   python3 bench/gen_topology.py 10000 /tmp/t10k
//   build/bin/bringup -logical_testbed_file /tmp/t10k/logical.yaml -sim_plan /tmp/t10k/plan.yaml
//       -testbed_file /tmp/t10k/static.yaml -tb_yaml_output_file_name /tmp/t10k/out.yaml </dev/null
//   build/bench/xmlrpc_testbed_bench /tmp/t1k/out.yaml /tmp/t10k/out.yaml
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tarvex/utils/yaml.hpp"
#include "tarvex/xmlrpc.hpp"
#include "xmlrpc/xmlrpc_codec.hpp"
#include "xmlrpc_c_baseline.hpp"

namespace {

using tarvex::List;
using tarvex::Value;
using Clock = std::chrono::steady_clock;
namespace baseline = bench::xmlrpc_c_baseline;

constexpr const char* kToken = "bench-token";

Value& testbed() {
  static Value value;
  return value;
}
Value answer_testbed() { return testbed(); }

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CPU seconds (user and system) that process `pid` has used so far.
double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name (which is in parentheses); utime and
  // stime are the 14th and 15th fields of the line.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The median time of `runs` runs of `step`.
double median_seconds(int runs, const std::function<void()>& step) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    step();
    times.push_back(seconds_since(start));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// The same for a step that reads a value: the time until the value is in
// hand (the reader keeps it; freeing it is not part of reading it).
double median_seconds_reading(int runs, const std::function<Value()>& read) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    const Value kept = read();
    times.push_back(seconds_since(start));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

long status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field)) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  }
  return -1;
}

// How much `step` raises the peak resident size, in MiB, run once in a
// forked child whose peak was reset first.
double peak_growth_mib(const std::function<void()>& step) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::close(fds[0]);
    // Memory the parent freed but kept would be reused without showing:
    // give it back first, then reset the peak.
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM
    const long base = status_kib("VmRSS:");
    step();
    const long growth = status_kib("VmHWM:") - base;
    if (::write(fds[1], &growth, sizeof growth) != sizeof growth) ::_exit(1);
    ::_exit(0);
  }
  ::close(fds[1]);
  long growth = -1;
  if (::read(fds[0], &growth, sizeof growth) != sizeof growth) growth = -1;
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return static_cast<double>(growth) / 1024.0;
}

// A child process serving until it is killed; reports its port first.
class Child {
 public:
  explicit Child(const std::function<void(int report_fd)>& serve) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::close(fds[0]);
      try {
        serve(fds[1]);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "server child: %s\n", e.what());
      }
      ::_exit(1);
    }
    ::close(fds[1]);
    const bool reported = ::read(fds[0], &port_, sizeof port_) == sizeof port_;
    ::close(fds[0]);
    if (!reported) throw std::runtime_error("the server child did not start");
  }
  ~Child() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int port_ = -1;
};

void report(int fd, int port) {
  if (::write(fd, &port, sizeof port) != sizeof port) throw std::runtime_error("report failed");
}

[[noreturn]] void serve_new(int report_fd) {
  tarvex::xmlrpc::Server server({.token = kToken}, [](const std::string&, const List&) { return testbed(); });
  report(report_fd, server.port());
  for (;;) {
    pollfd entry{server.listen_fd(), POLLIN, 0};
    if (::poll(&entry, 1, -1) > 0) server.handle_request();
  }
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// One HTTP message (head and Content-Length body) from `fd`: the body.
std::string read_message(int fd) {
  std::string data;
  char chunk[64 * 1024];
  std::size_t head_end = std::string::npos;
  std::size_t length = 0;
  for (;;) {
    if (head_end == std::string::npos && (head_end = data.find("\r\n\r\n")) != std::string::npos) {
      head_end += 4;
      std::size_t field = data.find("Content-Length: ");
      if (field == std::string::npos) field = data.find("content-length: ");
      if (field != std::string::npos && field < head_end) length = std::stoul(data.substr(field + 16));
      data.reserve(head_end + length);
    }
    if (head_end != std::string::npos && data.size() >= head_end + length) return data.substr(head_end, length);
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) throw std::runtime_error("connection closed early");
    data.append(chunk, static_cast<std::size_t>(n));
  }
}

// The old server's work per request: xmlrpc-c's registry over the body.
[[noreturn]] void serve_old(int report_fd) {
  baseline::raise_size_limit();
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 16) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("listen failed");
  }
  report(report_fd, ntohs(address.sin_port));
  for (;;) {
    const int connection = ::accept(listener, nullptr, nullptr);
    if (connection < 0) continue;
    try {
      const std::string response = baseline::process_call(read_message(connection), answer_testbed);
      write_all(connection, "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                                std::to_string(response.size()) + "\r\nConnection: close\r\n\r\n");
      write_all(connection, response);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "old server: %s\n", e.what());
    }
    ::close(connection);
  }
}

// The old client's work per call: xmlrpc-c's generator and parser around
// a POST.
Value call_old(int port) {
  const std::string body = baseline::encode_call("testbed_config", {});
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    throw std::runtime_error("connect failed");
  }
  write_all(fd, "POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\n\r\n" + body);
  std::string response;
  try {
    response = read_message(fd);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  return baseline::decode_response(response);
}

// Python's client against a live server: its median time per call.
double python_read(int port, int runs) {
  const std::string command = "python3 " + std::string(MORVANE_SOURCE_DIR) + "/bench/xmlrpc_python_read.py " +
                              std::to_string(port) + " " + kToken + " " + std::to_string(runs);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  double seconds = -1;
  if (std::fscanf(pipe, "%lf", &seconds) != 1) seconds = -1;
  ::pclose(pipe);
  return seconds;
}

Value decode_new(const std::string& xml) {
  tarvex::xmlrpc::detail::Decoder decoder(tarvex::xmlrpc::detail::Decoder::Kind::Response);
  decoder.feed(xml);
  decoder.finish();
  return std::move(decoder.result());
}

std::string encode_new(const Value& value) {
  std::string out;
  tarvex::xmlrpc::detail::encode_response(out, value);
  return out;
}

// What the server does: check, then encode in pieces as they go out (here
// to nowhere); returns the length.
std::size_t encode_streamed(const Value& value) {
  tarvex::xmlrpc::detail::check_sendable(value);
  std::size_t length = 0;
  tarvex::xmlrpc::detail::encode_response(value, [&](std::string_view piece, bool) { length += piece.size(); });
  return length;
}

void row(const char* what, double old_value, double new_value, double python, const char* unit) {
  std::printf("  %-22s %12.3f %12.3f %12s %8.1fx\n", what, old_value, new_value,
              python < 0 ? "-" : std::to_string(python).substr(0, 6).c_str(), old_value / new_value);
  (void)unit;
}

void run(const std::string& path, int runs) {
  const auto load_start = Clock::now();
  testbed() = tarvex::utils::yaml::load_file(path);
  const Value& tb = testbed();
  const Value* devices = tb.is_map() ? tb.as_map().find(Value("devices")) : nullptr;
  std::printf("%s: %zu devices, loaded in %.2f s\n", path.c_str(), devices && devices->is_map() ? devices->size() : 0,
              seconds_since(load_start));

  baseline::raise_size_limit();
  const std::string old_xml = baseline::encode_response(tb);
  const std::string new_xml = encode_new(tb);
  std::printf("  document: old %.1f MB, new %.1f MB; new decodes back equal: %s; old decodes back equal: %s\n",
              static_cast<double>(old_xml.size()) / 1e6, static_cast<double>(new_xml.size()) / 1e6,
              decode_new(new_xml) == tb ? "yes" : "NO", baseline::decode_response(old_xml) == tb ? "yes" : "no");

  std::printf("  %-22s %12s %12s %12s %9s\n", "seconds (median)", "old", "new", "python", "old/new");
  row("encode", median_seconds(runs, [&] { (void)baseline::encode_response(tb); }),
      median_seconds(runs, [&] { (void)encode_streamed(tb); }), -1, "s");
  row("decode", median_seconds_reading(runs, [&] { return baseline::decode_response(old_xml); }),
      median_seconds_reading(runs, [&] { return decode_new(new_xml); }), -1, "s");

  const Child new_server(serve_new);
  const Child old_server(serve_old);
  tarvex::xmlrpc::ServerProxy::Options options;
  options.token = kToken;
  const tarvex::xmlrpc::ServerProxy proxy("http://127.0.0.1:" + std::to_string(new_server.port()), options);
  if (proxy.call("testbed_config") != tb) std::printf("  WARNING: the call did not return the testbed\n");
  const double python_new = python_read(new_server.port(), runs);
  const double python_old = python_read(old_server.port(), runs);
  // Old and new in turn, so that both see the same load on the machine;
  // besides the time, the CPU time both processes (client and server) use,
  // which a busy machine does not inflate.
  std::vector<double> old_calls, new_calls, old_cpu, new_cpu;
  const auto timed = [](pid_t server, std::vector<double>& times, std::vector<double>& cpu, const auto& read) {
    const double before = cpu_seconds(::getpid()) + cpu_seconds(server);
    times.push_back(median_seconds_reading(1, read));
    // What the server does after answering (freeing the result) counts.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    cpu.push_back(cpu_seconds(::getpid()) + cpu_seconds(server) - before);
  };
  for (int i = 0; i < runs; ++i) {
    timed(old_server.pid(), old_calls, old_cpu, [&] { return call_old(old_server.port()); });
    timed(new_server.pid(), new_calls, new_cpu, [&] { return proxy.call("testbed_config"); });
  }
  for (auto* v : {&old_calls, &new_calls, &old_cpu, &new_cpu}) std::sort(v->begin(), v->end());
  row("whole call", old_calls[old_calls.size() / 2], new_calls[new_calls.size() / 2], python_new, "s");
  row("whole call, CPU s", old_cpu[old_cpu.size() / 2], new_cpu[new_cpu.size() / 2], -1, "s");
  std::printf("  %-22s %12s %12s %12.3f   (Python's client reading from the old server)\n", "", "", "", python_old);

  std::printf("  %-22s %12s %12s\n", "peak growth, MiB", "old", "new");
  std::printf("  %-22s %12.1f %12.1f   (new: checked, then streamed as the server does)\n", "encode",
              peak_growth_mib([&] { (void)baseline::encode_response(tb); }),
              peak_growth_mib([&] { (void)encode_streamed(tb); }));
  std::printf("  %-22s %12.1f %12.1f   (the value built included)\n", "decode",
              peak_growth_mib([&] { (void)baseline::decode_response(old_xml); }),
              peak_growth_mib([&] { (void)decode_new(new_xml); }));
  std::printf("  %-22s %12.1f %12.1f   (the client's side, the value built included)\n", "whole call",
              peak_growth_mib([&] { (void)call_old(old_server.port()); }),
              peak_growth_mib([&] { (void)proxy.call("testbed_config"); }));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.empty()) {
    std::fprintf(stderr, "usage: %s [--runs N] TESTBED.yaml...\n", argv[0]);
    return 2;
  }
  try {
    for (const std::string& path : paths) run(path, runs);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  return 0;
}
