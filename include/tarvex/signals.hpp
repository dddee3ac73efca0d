// Termination signals turned into errors at safe points.
//
// The handlers installed here only record the signal and wake a self-pipe.
// The places that wait (the event loop, the request loop, the interactive
// hold, the parallel-call wait) watch `wakeup_fd()` and call
// `raise_if_pending()`, which hands the recorded signal to the process's
// signal policy: by default SIGINT becomes KeyboardInterrupt and any other
// signal SystemExit(128 + signal); the bring-up package installs its own
// policy.  A forked child starts with a fresh pipe and nothing pending.
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>

namespace tarvex::signals {

// Installs the recording handlers for these signals (idempotent).
void capture(std::initializer_list<int> signums);
// Restores the default disposition of a captured signal.
void release(int signum);
bool is_captured(int signum);

// Readable while a recorded signal waits to be taken; -1 before capture().
int wakeup_fd();
// Takes the oldest recorded signal, if any.
std::optional<int> take_pending();

// Turns a recorded signal into an error: the policy throws, or returns to
// ignore the signal.
using Policy = std::function<void(int signum)>;
void set_policy(Policy policy);
void default_policy(int signum);
// Takes the pending signal, if any, and applies the policy to it.
void raise_if_pending();
// Applies the policy to a signal taken earlier.
void apply_policy(int signum);

}  // namespace tarvex::signals
