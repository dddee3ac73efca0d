// Child processes made by fork, and memory shared with them.
//
// A forked child never returns into its parent's stack: it runs its entry
// function and ends with _exit after flushing its logs.  The parent owns the
// child through a ChildProcess handle, which holds a pidfd opened right
// after the fork (so a reused pid can never be signalled) and which, when
// destroyed while the child still runs, kills and reaps it: no child is left
// behind by accident.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "tarvex/fd.hpp"

namespace tarvex::process {

class ChildProcess {
 public:
  struct Options {
    // Put the child in a process group of its own, so that it and its own
    // children can be stopped together (and a terminal's Control-C reaches
    // only the parent, which decides).
    bool new_process_group = false;
    // Signal the kernel sends the child when the parent dies (0: none).
    int parent_death_signal = 0;
    // Signals whose disposition is reset to the default in the child.
    std::vector<int> default_signals;
  };

  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Forks a child that runs `entry` and exits with its result.  An error
  // escaping `entry` is logged and the child exits with status 1.
  static ChildProcess fork(const std::function<int()>& entry, const Options& options);
  static ChildProcess fork(const std::function<int()>& entry) { return fork(entry, Options{}); }

  bool valid() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Readable when the child has ended.
  int pidfd() const { return pidfd_; }
  bool is_alive();
  // Sends a signal to the child (to its process group when it has one);
  // nothing when it has already ended.
  void send_signal(int signum);
  void terminate();
  void kill();
  // Waits for the child to end, at most `timeout_sec` seconds when given;
  // returns its exit status (negative: the signal that ended it), or nullopt
  // on time-out.
  std::optional<int> wait(std::optional<double> timeout_sec = std::nullopt);
  std::optional<int> exit_status() const { return status_; }

 private:
  void reap(bool block);
  void close_pidfd();
  // Kills and reaps a child that still runs, then forgets it.
  void reset();

  pid_t pid_ = -1;
  int pidfd_ = -1;
  bool own_group_ = false;
  std::optional<int> status_;
};

// One signed 32-bit integer in an anonymous shared mapping, guarded by a
// robust process-shared mutex.  Made before a fork, it is the same cell in
// both processes.
class SharedInt32Cell {
 public:
  explicit SharedInt32Cell(std::int32_t initial = 0);
  ~SharedInt32Cell();
  SharedInt32Cell(const SharedInt32Cell&) = delete;
  SharedInt32Cell& operator=(const SharedInt32Cell&) = delete;

  std::int32_t load() const;
  void store(std::int32_t value);

 private:
  struct Shared;
  Shared* shared_;
};

// What /proc/PID/stat says of a process.
struct ProcessStat {
  char state = '?';  // 'R', 'S', 'Z' (ended, not reaped), 'X', ...
  pid_t parent = 0;
  // When it started, in clock ticks since boot.  With the pid, it
  // identifies a process for good: a pid that is reused belongs to a
  // process that started later.
  std::uint64_t start_time = 0;
};

// The process now running as `pid`, or nullopt when there is none.
std::optional<ProcessStat> read_stat(pid_t pid);
// Its start time alone.
std::optional<std::uint64_t> start_time(pid_t pid);

// A descriptor of the process now running as `pid` (a pidfd: readable once
// it has ended, and a signal sent through it never reaches a later process
// that reuses the pid); an empty one when there is no such process.
UniqueFd open_pidfd(pid_t pid);
// Sends `signum` through a pidfd; false when the process has ended.
bool signal_pidfd(int pidfd, int signum);

// Writes all of `data` to `fd`, resuming after a signal interrupts the
// write.  False, with errno set, when the descriptor takes no more (a pipe
// whose reader is gone, a full disk).
bool write_fully(int fd, std::string_view data);

}  // namespace tarvex::process
