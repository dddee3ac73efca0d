// Engine::exec: a command run inside a container, its input fed and its
// output read on one raw connection, bounded in time.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "engine/container_json.hpp"
#include "engine/raw_connection.hpp"
#include "engine/requests.hpp"
#include "engine/stream_frames.hpp"
#include "tarvex/engine/engine.hpp"
#include "tarvex/engine/engine_error.hpp"
#include "tarvex/exceptions.hpp"
#include "tarvex/fd.hpp"

namespace tarvex::engine {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// How long the output may still take to end once a timed-out command was
// killed (children it left may hold the output open).
constexpr auto kKillGrace = std::chrono::seconds(2);
// How long the engine may take to record the exit status after the output
// ended.
constexpr auto kExitStatusWait = std::chrono::seconds(5);

struct ExecStatus {
  bool running = false;
  int pid = 0;
  int exit_code = -1;
};

ExecStatus exec_status(const Requests& requests, const std::string& exec_id, const std::string& what) {
  const auto transfer = requests.checked(what, "GET", "/exec/" + exec_id + "/json");
  const json answer = parse_answer(transfer->body(), what);
  ExecStatus status;
  status.running = answer.value("Running", false);
  status.pid = answer.value("Pid", 0);
  if (answer.contains("ExitCode") && answer["ExitCode"].is_number()) status.exit_code = answer["ExitCode"].get<int>();
  return status;
}

// Kills the command's process.  The engine has no call for it, but its
// processes live in this host's PID namespace; the pid is held through a
// pidfd and checked again, so that a pid reused meanwhile is never hit.
void kill_exec(const Requests& requests, const std::string& exec_id, const std::string& what) {
  const ExecStatus before = exec_status(requests, exec_id, what);
  if (!before.running || before.pid <= 0) return;
  const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, before.pid, 0)));
  if (!pidfd) return;
  const ExecStatus after = exec_status(requests, exec_id, what);
  if (after.running && after.pid == before.pid) {
    ::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0);
  }
}

// The answer's status line and header, then the body or the stream.
class ExecAnswer {
 public:
  // Takes what arrived; true when the answer is complete.
  bool feed(const std::string& data, ExecResult& result) {
    if (!header_done_) {
      header_ += data;
      const std::size_t end = header_.find("\r\n\r\n");
      if (end == std::string::npos) return false;
      header_done_ = true;
      std::string rest = header_.substr(end + 4);
      header_.resize(end);
      const std::size_t space = header_.find(' ');
      status_ = space == std::string::npos ? 0 : std::atol(header_.c_str() + space + 1);
      content_length_ = header_value("content-length");
      return take(rest, result);
    }
    return take(data, result);
  }
  bool header_done() const { return header_done_; }
  bool streaming() const { return status_ == 200 || status_ == 101; }
  long status() const { return status_; }
  const std::string& error_body() const { return error_body_; }

 private:
  bool take(const std::string& data, ExecResult& result) {
    if (streaming()) {
      frames_.feed(data, result.out, result.err);
      return false;
    }
    error_body_ += data;
    return content_length_ && error_body_.size() >= *content_length_;
  }
  std::optional<std::size_t> header_value(const std::string& lower_name) const {
    std::string lower = header_;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = lower.find("\r\n" + lower_name + ":");
    if (at == std::string::npos) return std::nullopt;
    return std::strtoul(header_.c_str() + at + lower_name.size() + 3, nullptr, 10);
  }

  bool header_done_ = false;
  std::string header_;
  long status_ = 0;
  std::optional<std::size_t> content_length_;
  std::string error_body_;
  FrameReader frames_;
};

}  // namespace

ExecResult Engine::exec(const std::string& id, const std::vector<std::string>& argv,
                        const std::optional<std::string>& input, std::chrono::milliseconds timeout) {
  if (argv.empty()) throw ValueError("cannot run an empty command in container " + id);
  const Requests requests(*loop_, socket_, options_);
  const std::string what = "run '" + argv.front() + "' in container " + id;
  const json create = {{"AttachStdin", input.has_value()},
                       {"AttachStdout", true},
                       {"AttachStderr", true},
                       {"Tty", false},
                       {"Cmd", argv}};
  const auto created = requests.checked(what, "POST", "/containers/" + url_escape(id) + "/exec", create.dump());
  const json created_answer = parse_answer(created->body(), what);
  const std::string exec_id = created_answer.value("Id", "");
  if (exec_id.empty()) throw RuntimeError("cannot " + what + ": the engine's answer has no id");

  // Input is sent only once the answer's header has come: the engine
  // takes the connection over for the stream then, and bytes it read
  // before could be lost.
  const std::string start = json{{"Detach", false}, {"Tty", false}}.dump();
  std::string to_send = "POST " + std::string(kApiPrefix) + "/exec/" + exec_id +
                        "/start HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                        "Content-Type: application/json\r\nContent-Length: " +
                        std::to_string(start.size()) + "\r\n\r\n" + start;
  bool input_queued = !input.has_value();
  bool write_closed = false;
  RawConnection connection(socket_, options_.connect_timeout);
  ExecAnswer answer;
  ExecResult result;
  const auto deadline = Clock::now() + timeout;
  std::optional<Clock::time_point> give_up;
  for (bool ended = false; !ended;) {
    const auto now = Clock::now();
    const auto until = give_up ? *give_up : deadline;
    const auto wait = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(until - now),
                                 std::chrono::milliseconds(0), std::chrono::milliseconds(100));
    pollfd poll_fd{connection.fd(), static_cast<short>(POLLIN | (to_send.empty() ? 0 : POLLOUT)), 0};
    ::poll(&poll_fd, 1, static_cast<int>(wait.count()));
    requests.interrupt();
    if ((poll_fd.revents & POLLOUT) && !to_send.empty()) to_send.erase(0, connection.send_some(to_send));
    if (poll_fd.revents & (POLLIN | POLLHUP | POLLERR)) {
      while (auto data = connection.receive()) {
        if (data->empty() || answer.feed(*data, result)) {
          ended = true;
          break;
        }
      }
    }
    if (answer.header_done() && answer.streaming()) {
      if (!input_queued) {
        to_send += *input;
        input_queued = true;
      }
      if (input && to_send.empty() && !write_closed) {
        connection.close_write();
        write_closed = true;
      }
    }
    if (Clock::now() >= deadline && !result.timed_out) {
      result.timed_out = true;
      kill_exec(requests, exec_id, what);
      give_up = Clock::now() + kKillGrace;
    }
    if (give_up && Clock::now() >= *give_up) break;
  }
  if (!answer.header_done()) {
    throw ConnectionError(ECONNRESET, "cannot " + what + ": the engine at " + socket_ + " closed the connection");
  }
  if (!answer.streaming()) {
    const auto parsed = json::parse(answer.error_body(), nullptr, false);
    const std::string message =
        parsed.is_object() && parsed.contains("message") ? parsed.value("message", "") : answer.error_body();
    throw EngineError(answer.status(), "cannot " + what + ": " + std::to_string(answer.status()) + " " + message);
  }
  // The engine records the exit status shortly after the output ends.
  const auto status_deadline = Clock::now() + kExitStatusWait;
  for (;;) {
    const ExecStatus status = exec_status(requests, exec_id, what);
    if (!status.running) {
      result.exit_code = status.exit_code;
      break;
    }
    if (Clock::now() >= status_deadline) break;
    ::poll(nullptr, 0, 10);
    requests.interrupt();
  }
  return result;
}

}  // namespace tarvex::engine
