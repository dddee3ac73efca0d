// Signal handling of bring-up workers: a termination signal becomes a
// SignalError at the next safe point (the event loop, the request loop),
// unless a bring-up object of the process is already tearing down, in which
// case the signal is ignored so that no second teardown starts.
#pragma once

#include "tarvex/exceptions.hpp"

namespace tarvex::morvane::bringup_signals {

// An interrupting signal; `signum` names it.
class SignalError : public Exception {
  TARVEX_EXCEPTION_MEMBERS(SignalError, Exception)
  explicit SignalError(int signum);
  int signum() const { return signum_; }

 private:
  int signum_ = 0;
};

// The signals handled: SIGINT, SIGTERM, SIGHUP and SIGQUIT.
void install_signal_handlers();
// Whether install_signal_handlers() has run in this process.
bool signal_handlers_installed();

}  // namespace tarvex::morvane::bringup_signals
