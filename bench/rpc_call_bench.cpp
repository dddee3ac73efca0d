// Cost of one call from the manager to its worker: a small XML-RPC call
// through ServerProxy to a Server in another process, over loopback, with a
// fresh connection per call as the proxy makes it.
//
// The baseline, measured in the same run, is the bare transport: connect to
// a forked process over loopback, send a request of the same size, read an
// answer of the same size, close.  After the runs the ratio of the two is
// printed.  A few times the baseline is the cost of HTTP, XML and the
// dispatch; a stall in the transport (a delayed acknowledgement waits about
// 40 ms) would put it in the hundreds.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarvex/xmlrpc.hpp"

namespace {

using tarvex::List;
using tarvex::Map;
using tarvex::Value;
using tarvex::xmlrpc::Server;
using tarvex::xmlrpc::ServerProxy;

constexpr const char* kToken = "bench-token";

// About the sizes of the echo call below and its answer on the wire,
// headers included (the request measured at 498 bytes), so that the
// baseline moves as many bytes as the call does.
constexpr std::size_t kRequestBytes = 500;
constexpr std::size_t kResponseBytes = 380;

Value call_argument() { return Value::map({{"device", "r1"}, {"port", 22}}); }

// A child process that runs `serve` (which reports its port on the pipe and
// never returns) and is killed and reaped when this goes.  The benchmark
// process has no threads when it forks.
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
      } catch (...) {
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
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = -1;
};

void report_port(int fd, int port) {
  if (::write(fd, &port, sizeof port) != sizeof port) throw std::runtime_error("report failed");
}

bool read_exactly(int fd, std::size_t bytes) {
  char buffer[4096];
  while (bytes > 0) {
    const ssize_t got = ::read(fd, buffer, std::min(bytes, sizeof buffer));
    if (got <= 0) return false;
    bytes -= static_cast<std::size_t>(got);
  }
  return true;
}

bool write_all(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t put = ::write(fd, data.data() + sent, data.size() - sent);
    if (put <= 0) return false;
    sent += static_cast<std::size_t>(put);
  }
  return true;
}

int tcp_socket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Answers every connection's request of kRequestBytes with kResponseBytes.
[[noreturn]] void serve_raw(int report_fd) {
  const int listener = tcp_socket();
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 16) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("listen failed");
  }
  report_port(report_fd, ntohs(address.sin_port));
  const std::string response(kResponseBytes, 'r');
  for (;;) {
    const int connection = ::accept(listener, nullptr, nullptr);
    if (connection < 0) continue;
    if (read_exactly(connection, kRequestBytes)) write_all(connection, response);
    ::close(connection);
  }
}

[[noreturn]] void serve_xmlrpc(int report_fd) {
  Server::Options options;
  options.token = kToken;
  Server server(options, [](const std::string&, const List& params) { return params.at(0); });
  report_port(report_fd, server.port());
  for (;;) server.handle_request();
}

void BM_RawLoopbackRoundTrip(benchmark::State& state) {
  const Child server(serve_raw);
  const sockaddr_in address = loopback(server.port());
  const std::string request(kRequestBytes, 'q');
  for (auto _ : state) {
    const int fd = tcp_socket();
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                    write_all(fd, request) && read_exactly(fd, kResponseBytes);
    ::close(fd);
    if (!ok) {
      state.SkipWithError("the raw round trip failed");
      break;
    }
  }
}
BENCHMARK(BM_RawLoopbackRoundTrip)->MinTime(2.0)->UseRealTime();

void BM_XmlrpcCall(benchmark::State& state) {
  const Child server(serve_xmlrpc);
  ServerProxy::Options options;
  options.token = kToken;
  const ServerProxy proxy("http://127.0.0.1:" + std::to_string(server.port()), options);
  const Value argument = call_argument();
  for (auto _ : state) benchmark::DoNotOptimize(proxy.call("echo", {argument}));
}
BENCHMARK(BM_XmlrpcCall)->MinTime(2.0)->UseRealTime();

// The console report, followed by the ratio of a call to the bare round
// trip.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto call = times_.find("BM_XmlrpcCall");
    const auto raw = times_.find("BM_RawLoopbackRoundTrip");
    if (call == times_.end() || raw == times_.end() || raw->second <= 0) return;
    std::printf("time(XML-RPC call) / time(raw loopback round trip) = %.2f\n", call->second / raw->second);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
