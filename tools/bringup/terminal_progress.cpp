#include "terminal_progress.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "tarvex/exceptions.hpp"
#include "tarvex/log.hpp"
#include "tarvex/morvane/progress.hpp"

namespace tarvex::morvane::bringup_tool {

namespace {

constexpr int kRedrawMs = 100;
const char* const kAsciiSpinner[] = {"|", "/", "-", "\\"};
const char* const kUtf8Spinner[] = {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"};

// A log record as the console writes it:
// "2026-12-09 07:31:39,024 [20343] INFO tarvex.morvane.orvanta: text".
struct RecordLine {
  std::string_view level;
  std::string_view logger;
  std::string_view text;
};

std::optional<RecordLine> parse_record(std::string_view line) {
  // The timestamp is 23 characters, then " [pid] ".
  if (line.size() < 28 || line[4] != '-' || line[10] != ' ' || line[19] != ',' || line[23] != ' ' || line[24] != '[') {
    return std::nullopt;
  }
  const std::size_t close = line.find("] ", 25);
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(close + 2);
  const std::size_t space = rest.find(' ');
  const std::size_t colon = rest.find(": ");
  if (space == std::string_view::npos || colon == std::string_view::npos || colon < space) return std::nullopt;
  return RecordLine{rest.substr(0, space), rest.substr(space + 1, colon - space - 1), rest.substr(colon + 2)};
}

bool utf8_locale() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return strcasestr(value, "utf-8") || strcasestr(value, "utf8");
  }
  return false;
}

std::string elapsed_text(std::chrono::steady_clock::duration elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  char text[32];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%.1fs", seconds);
  } else {
    std::snprintf(text, sizeof text, "%dm%02ds", static_cast<int>(seconds) / 60, static_cast<int>(seconds) % 60);
  }
  return text;
}

std::size_t terminal_columns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// The first `columns` characters of UTF-8 text (continuation bytes do not
// count), so that the status line never wraps.
std::string fit(const std::string& text, std::size_t columns) {
  std::size_t shown = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (shown++ == columns) return text.substr(0, i);
  }
  return text;
}

}  // namespace

bool TerminalProgress::wanted() {
  const char* term = std::getenv("TERM");
  return ::isatty(STDERR_FILENO) == 1 && term && *term && std::string_view(term) != "dumb";
}

TerminalProgress::TerminalProgress() : utf8_(utf8_locale()) {
  Pipe log = Pipe::open(O_NONBLOCK);
  Pipe wake = Pipe::open(O_NONBLOCK);
  log_read_ = std::move(log.read);
  log_write_ = std::move(log.write);
  wake_read_ = std::move(wake.read);
  wake_write_ = std::move(wake.write);
  // A record is written whole even when the pipe is full for a moment.
  ::fcntl(log_write_.get(), F_SETFL, ::fcntl(log_write_.get(), F_GETFL) & ~O_NONBLOCK);
  begin(Phase::Starting);
  drawing_ = true;
  log::set_console_fd(log_write_.get());
  // The thread takes no signal: they are the main thread's to take.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &previous);
  thread_ = std::thread([this] { run(); });
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

TerminalProgress::~TerminalProgress() {
  try {
    finish();
  } catch (...) {
  }
}

void TerminalProgress::show_info_records() {
  std::lock_guard lock(mutex_);
  show_info_ = true;
}

void TerminalProgress::pause() {
  std::unique_lock lock(mutex_);
  const unsigned request = ++pause_requests_;
  [[maybe_unused]] const ssize_t n = ::write(wake_write_.get(), "p", 1);
  acknowledged_.wait(lock, [&] { return pauses_done_ >= request || !thread_.joinable(); });
}

void TerminalProgress::settle(bool holding) {
  std::lock_guard lock(mutex_);
  if (!holding) begin(Phase::Settling);
  drawing_ = true;
}

void TerminalProgress::finish() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  [[maybe_unused]] const ssize_t n = ::write(wake_write_.get(), "s", 1);
  thread_.join();
  log::set_console_fd(STDERR_FILENO);
  log_write_.reset();
  acknowledged_.notify_all();
}

void TerminalProgress::run() {
  for (;;) {
    pollfd fds[2] = {{log_read_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
    ::poll(fds, 2, kRedrawMs);
    char drained[64];
    while (::read(wake_read_.get(), drained, sizeof drained) > 0) {
    }
    std::lock_guard lock(mutex_);
    read_available();
    if (pauses_done_ != pause_requests_) {
      end_phase(true);
      clear_status();
      drawing_ = false;
      pauses_done_ = pause_requests_;
      acknowledged_.notify_all();
    }
    if (stopping_) {
      if (phase_ == Phase::Settling) phase_ = Phase::None;
      end_phase(false);
      clear_status();
      return;
    }
    ++frame_;
    draw_status();
  }
}

void TerminalProgress::read_available() {
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(log_read_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    partial_.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
      take_line(std::string_view(partial_).substr(start, end - start));
    }
    partial_.erase(0, start);
  }
}

void TerminalProgress::take_line(std::string_view line) {
  const std::optional<RecordLine> record = parse_record(line);
  if (!record) {
    // The continuation of a multi-line record.
    if (showing_record_) show_line(line);
    return;
  }
  showing_record_ = false;
  if (record->logger == progress::LOGGER_NAME) {
    const std::size_t space = record->text.find(' ');
    take_progress(record->text.substr(0, space),
                  space == std::string_view::npos ? std::string_view() : record->text.substr(space + 1));
    return;
  }
  if (record->level == "INFO" && !show_info_) {
    // What the status line stands for; the launch shows what the backend
    // says it is doing.
    if (phase_ == Phase::Launching) detail_ = record->text;
    return;
  }
  showing_record_ = true;
  show_line(line);
}

void TerminalProgress::take_progress(std::string_view step, std::string_view argument) {
  if (step == "launching") {
    end_phase(true, "Worker started");
    begin(Phase::Launching);
  } else if (step == "launched") {
    devices_launched_ = std::atoi(std::string(argument).c_str());
    end_phase(true, "Topology launched: " + std::to_string(devices_launched_) + " device(s)");
  } else if (step == "launch-failed") {
    end_phase(false);
  } else if (step == "waiting") {
    devices_total_ = std::atoi(std::string(argument).c_str());
    devices_ready_ = 0;
    begin(Phase::Waiting);
  } else if (step == "ready") {
    ++devices_ready_;
    detail_ = std::string(argument);
    if (devices_ready_ >= devices_total_) {
      end_phase(true, std::to_string(devices_ready_) + " of " + std::to_string(devices_total_) + " device(s) ready");
    }
  } else if (step == "tearing-down") {
    if (phase_ == Phase::Settling) phase_ = Phase::None;  // over; nothing to report
    end_phase(false);
    begin(Phase::TearingDown);
    drawing_ = true;
  } else if (step == "torn-down") {
    end_phase(true, "Topology torn down");
  }
}

void TerminalProgress::begin(Phase phase) {
  phase_ = phase;
  phase_started_ = Clock::now();
  detail_.clear();
}

std::string TerminalProgress::phase_text() const {
  switch (phase_) {
    case Phase::None: return {};
    case Phase::Starting: return "Starting the worker";
    case Phase::Launching: return "Launching the topology";
    case Phase::Waiting:
      return "Waiting for devices to be ready: " + std::to_string(devices_ready_) + " of " +
             std::to_string(devices_total_);
    case Phase::Settling: return "Settling before the teardown";
    case Phase::TearingDown: return "Tearing down the topology";
  }
  return {};
}

void TerminalProgress::end_phase(bool ok, const std::string& text) {
  if (phase_ == Phase::None) return;
  const std::string what = text.empty() ? phase_text() + (ok ? "" : ": failed") : text;
  const std::string mark = ok ? (utf8_ ? "\u2714" : "[ok]") : (utf8_ ? "\u2718" : "[!!]");
  clear_status();
  write_out("  " + mark + " " + what + " (" + elapsed_text(Clock::now() - phase_started_) + ")\n");
  phase_ = Phase::None;
  detail_.clear();
}

void TerminalProgress::show_line(std::string_view line) {
  clear_status();
  write_out(std::string(line) + "\n");
}

void TerminalProgress::draw_status() {
  if (!drawing_ || phase_ == Phase::None) return;
  const std::string spinner =
      utf8_ ? kUtf8Spinner[frame_ % std::size(kUtf8Spinner)] : kAsciiSpinner[frame_ % std::size(kAsciiSpinner)];
  const std::string elapsed = elapsed_text(Clock::now() - phase_started_);
  std::string status = "  " + spinner + " " + phase_text() + " (" + elapsed + ")";
  if (!detail_.empty()) status += "  " + detail_;
  write_out("\r\033[K" + fit(status, terminal_columns() - 1));
  status_shown_ = true;
}

void TerminalProgress::clear_status() {
  if (!status_shown_) return;
  write_out("\r\033[K");
  status_shown_ = false;
}

void TerminalProgress::write_out(std::string_view text) const {
  while (!text.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace tarvex::morvane::bringup_tool
