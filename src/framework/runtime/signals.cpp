#include "tarvex/signals.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "tarvex/exceptions.hpp"

namespace tarvex::signals {

namespace {

constexpr int kMaxSignal = 65;

// Written by the handler: async-signal-safe state only.
volatile std::sig_atomic_t pending_count[kMaxSignal];
std::atomic<unsigned> arrival_counter{0};
volatile std::sig_atomic_t arrival_order[kMaxSignal];
int pipe_fds[2] = {-1, -1};
bool captured[kMaxSignal];

void handler(int signum) {
  const int saved = errno;
  if (signum > 0 && signum < kMaxSignal) {
    pending_count[signum] = pending_count[signum] + 1;
    arrival_order[signum] = static_cast<std::sig_atomic_t>(++arrival_counter);
  }
  if (pipe_fds[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(pipe_fds[1], &byte, 1);
  }
  errno = saved;
}

void open_pipe() {
  if (pipe_fds[0] >= 0) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
  }
  if (::pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) != 0) pipe_fds[0] = pipe_fds[1] = -1;
}

void drain_pipe() {
  char buf[64];
  while (pipe_fds[0] >= 0 && ::read(pipe_fds[0], buf, sizeof buf) > 0) {
  }
}

// A child must not share the parent's pipe (its signals would wake the
// parent) nor inherit signals recorded in the parent.
void after_fork_in_child() {
  if (pipe_fds[0] >= 0) open_pipe();
  for (int s = 0; s < kMaxSignal; ++s) pending_count[s] = 0;
}

const int fork_hook = ::pthread_atfork(nullptr, nullptr, after_fork_in_child);

Policy& policy() {
  static Policy* p = new Policy(default_policy);
  return *p;
}

bool any_pending() {
  for (int s = 1; s < kMaxSignal; ++s) {
    if (pending_count[s] > 0) return true;
  }
  return false;
}

}  // namespace

void capture(std::initializer_list<int> signums) {
  if (pipe_fds[0] < 0) open_pipe();
  for (const int signum : signums) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signum, &action, nullptr);
    captured[signum] = true;
  }
}

void release(int signum) {
  std::signal(signum, SIG_DFL);
  captured[signum] = false;
  pending_count[signum] = 0;
}

bool is_captured(int signum) { return signum > 0 && signum < kMaxSignal && captured[signum]; }

int wakeup_fd() { return pipe_fds[0]; }

std::optional<int> take_pending() {
  // Block the captured signals while the records change.
  sigset_t block, old;
  sigemptyset(&block);
  for (int s = 1; s < kMaxSignal; ++s) {
    if (captured[s]) sigaddset(&block, s);
  }
  ::pthread_sigmask(SIG_BLOCK, &block, &old);
  int oldest = 0;
  for (int s = 1; s < kMaxSignal; ++s) {
    if (pending_count[s] > 0 && (oldest == 0 || arrival_order[s] < arrival_order[oldest])) oldest = s;
  }
  if (oldest) pending_count[oldest] = pending_count[oldest] - 1;
  if (!any_pending()) drain_pipe();
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!oldest) return std::nullopt;
  return oldest;
}

void set_policy(Policy p) { policy() = p ? std::move(p) : Policy(default_policy); }

void default_policy(int signum) {
  if (signum == SIGINT) throw KeyboardInterrupt();
  throw SystemExit(128 + signum);
}

void raise_if_pending() {
  if (const std::optional<int> signum = take_pending()) policy()(*signum);
}

void apply_policy(int signum) { policy()(signum); }

}  // namespace tarvex::signals
