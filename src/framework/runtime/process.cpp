#include "tarvex/process.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tarvex/exceptions.hpp"
#include "tarvex/log.hpp"

namespace tarvex::process {

namespace {

[[noreturn]] void run_child(const std::function<int()>& entry, pid_t parent, const ChildProcess::Options& options) {
  int code = 1;
  try {
    if (options.new_process_group) ::setpgid(0, 0);
    if (options.parent_death_signal) {
      ::prctl(PR_SET_PDEATHSIG, options.parent_death_signal);
      // The parent may have died before the request took effect.
      if (::getppid() != parent) ::raise(options.parent_death_signal);
    }
    code = entry();
  } catch (const SystemExit& e) {
    code = e.code();
  } catch (...) {
    log::getLogger("tarvex.process")
        .exception("Unhandled error in child process " + std::to_string(::getpid()) + ":", std::current_exception());
    code = 1;
  }
  log::flush_all();
  ::_exit(code);
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    reset();
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::exchange(other.pidfd_, -1);
    own_group_ = other.own_group_;
    status_ = std::exchange(other.status_, std::nullopt);
  }
  return *this;
}

ChildProcess::~ChildProcess() { reset(); }

void ChildProcess::reset() {
  if (valid() && !status_) {
    kill();
    reap(true);
  }
  close_pidfd();
  pid_ = -1;
  status_.reset();
}

ChildProcess ChildProcess::fork(const std::function<int()>& entry, const Options& options) {
  log::flush_all();
  const pid_t parent = ::getpid();
  // The signals the child takes back to their default action are held
  // until it has done so: one sent in between would otherwise run the
  // parent's handler in the child and be lost there.
  sigset_t held, before;
  sigemptyset(&held);
  for (int signum : options.default_signals) sigaddset(&held, signum);
  ::pthread_sigmask(SIG_BLOCK, &held, &before);
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (int signum : options.default_signals) std::signal(signum, SIG_DFL);
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    run_child(entry, parent, options);
  }
  const int fork_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (pid < 0) throw OSError(fork_error, std::string("fork failed: ") + std::strerror(fork_error));
  ChildProcess child;
  child.pid_ = pid;
  child.pidfd_ = open_pidfd(pid).release();
  child.own_group_ = options.new_process_group;
  if (child.own_group_) ::setpgid(pid, pid);  // also from the parent, so a group kill can never miss
  return child;
}

void ChildProcess::reap(bool block) {
  if (!valid() || status_) return;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    close_pidfd();
  } else if (r < 0 && errno == ECHILD) {
    status_ = -1;  // reaped elsewhere; its status is lost
    close_pidfd();
  }
}

void ChildProcess::close_pidfd() {
  if (pidfd_ >= 0) ::close(pidfd_);
  pidfd_ = -1;
}

bool ChildProcess::is_alive() {
  reap(false);
  return valid() && !status_;
}

void ChildProcess::send_signal(int signum) {
  if (!valid() || status_) return;
  // Once: to the group when the child leads one (the child is in it, and
  // while it is not reaped its group id cannot be reused), else through
  // the pidfd.
  if (own_group_ && ::kill(-pid_, signum) == 0) return;
  if (pidfd_ >= 0) {
    ::syscall(SYS_pidfd_send_signal, pidfd_, signum, nullptr, 0);
  } else {
    ::kill(pid_, signum);
  }
}

void ChildProcess::terminate() { send_signal(SIGTERM); }

void ChildProcess::kill() { send_signal(SIGKILL); }

std::optional<int> ChildProcess::wait(std::optional<double> timeout_sec) {
  if (!valid()) throw ValueError("no child process to wait for");
  if (!timeout_sec) {
    reap(true);
    return status_;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(*timeout_sec);
  for (;;) {
    reap(false);
    if (status_) return status_;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd pfd{pidfd_, POLLIN, 0};
    ::poll(&pfd, pidfd_ >= 0 ? 1 : 0, static_cast<int>(std::min<long long>(left.count(), 50)));
  }
}

// ---------------------------------------------------------------- shared cell

struct SharedInt32Cell::Shared {
  pthread_mutex_t mutex;
  std::int32_t value;
};

namespace {

// Locks a robust mutex, recovering it when its previous owner died holding
// it (the value it guards is a single integer, always consistent).
void lock(pthread_mutex_t* mutex) {
  const int rc = ::pthread_mutex_lock(mutex);
  if (rc == EOWNERDEAD) ::pthread_mutex_consistent(mutex);
}

}  // namespace

SharedInt32Cell::SharedInt32Cell(std::int32_t initial) {
  void* memory = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    const int error = errno;
    throw OSError(error, std::string("mmap failed: ") + std::strerror(error));
  }
  shared_ = static_cast<Shared*>(memory);
  pthread_mutexattr_t attr;
  ::pthread_mutexattr_init(&attr);
  ::pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  ::pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  ::pthread_mutex_init(&shared_->mutex, &attr);
  ::pthread_mutexattr_destroy(&attr);
  shared_->value = initial;
}

SharedInt32Cell::~SharedInt32Cell() { ::munmap(shared_, sizeof(Shared)); }

std::int32_t SharedInt32Cell::load() const {
  lock(&shared_->mutex);
  const std::int32_t value = shared_->value;
  ::pthread_mutex_unlock(&shared_->mutex);
  return value;
}

void SharedInt32Cell::store(std::int32_t value) {
  lock(&shared_->mutex);
  shared_->value = value;
  ::pthread_mutex_unlock(&shared_->mutex);
}

std::optional<ProcessStat> read_stat(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return std::nullopt;
  // "PID (COMM) STATE PPID ..."; COMM may hold spaces and parentheses, so
  // the fields are counted from the last ')': the start time is field 22.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 > stat.size()) return std::nullopt;
  std::istringstream fields(stat.substr(close + 2));
  ProcessStat result;
  if (!(fields >> result.state >> result.parent)) return std::nullopt;
  std::string field;
  for (int number = 5; number < 22 && fields >> field; ++number) {
  }
  if (!(fields >> result.start_time)) return std::nullopt;
  return result;
}

UniqueFd open_pidfd(pid_t pid) { return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }

bool signal_pidfd(int pidfd, int signum) { return ::syscall(SYS_pidfd_send_signal, pidfd, signum, nullptr, 0) == 0; }

std::optional<std::uint64_t> start_time(pid_t pid) {
  const std::optional<ProcessStat> stat = read_stat(pid);
  if (!stat) return std::nullopt;
  return stat->start_time;
}

bool write_fully(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    if (written == 0) {
      errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace tarvex::process
