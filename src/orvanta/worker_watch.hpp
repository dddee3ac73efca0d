// How the manager keeps an eye on its worker subprocess: every wait it
// makes ends early when a signal arrives or when the worker ends, and a
// worker that ended by itself is reported with how it ended and what of its
// topology it left behind.
#pragma once

#include <exception>
#include <string>

#include "tarvex/process.hpp"

namespace tarvex::morvane::orvanta::detail {

enum class WaitEnd { TimedOut, Signal, WorkerEnded };

// Waits up to `seconds` (forever when negative).  A signal that ends the
// wait is left pending for whoever handles it next.  `worker` may be null.
WaitEnd wait_for_worker(double seconds, process::ChildProcess* worker);

// "was killed by signal 9 (SIGKILL)", "exited with status 1".
std::string how_it_ended(int status);

// The error that says the worker (pid, status as ChildProcess reports it)
// ended by itself, naming the leftovers of its topology that a backend
// found, and how to remove them.  `torn_down_on` is the signal on which the
// worker ended after tearing its topology down itself (0: none).
std::exception_ptr worker_died(int pid, int status, int torn_down_on = 0);

}  // namespace tarvex::morvane::orvanta::detail
