// The errors of the bring-up package, and the wrapper that turns any error
// into the one raised in a user's context.
#pragma once

#include <exception>

#include "tarvex/exceptions.hpp"

namespace tarvex::morvane::exceptions {

// Base of the errors about the bring-up worker process itself.
TARVEX_DECLARE_EXCEPTION(BringupWorkerException, Exception)

#define MORVANE_EXCEPTION_WITH_TEXT(Name, Base, text) \
  class Name : public Base {                          \
    TARVEX_EXCEPTION_MEMBERS(Name, Base)              \
    Name() : Base(text) {}                            \
  };

MORVANE_EXCEPTION_WITH_TEXT(NoOrchestratorSpecified, BringupWorkerException,
                            "No orchestrator was specified: name one with -orchestrator, or give a clean "
                            "configuration whose bringup section names a class.")
MORVANE_EXCEPTION_WITH_TEXT(ServerNotStarted, BringupWorkerException, "The bringup worker server did not start.")
MORVANE_EXCEPTION_WITH_TEXT(FailedToCreateBringupWorker, BringupWorkerException,
                            "The bringup worker could not be created.")
MORVANE_EXCEPTION_WITH_TEXT(TopologyTerminatedDueToSignal, Exception, "The topology was terminated due to a signal.")

#undef MORVANE_EXCEPTION_WITH_TEXT

// The worker subprocess ended by itself (it was killed, crashed or exited)
// while the manager still needed it; the message says how, and what of its
// topology was found left behind.  Not a BringupWorkerException: leaving
// the context does not take it for an expected failure.
TARVEX_DECLARE_EXCEPTION(BringupWorkerDied, Exception)

// No connection to the worker server after every attempt.
class NoConnectionError : public BringupWorkerException {
  TARVEX_EXCEPTION_MEMBERS(NoConnectionError, BringupWorkerException)
  NoConnectionError(int port, int pid);
  int port() const { return port_; }
  int pid() const { return pid_; }

 private:
  int port_ = 0;
  int pid_ = 0;
};

// Wraps an error so that it can be raised in a user's context: the user
// exception is an error of the same type whose text shows the whole chain
// (what failed first included) and whose cause is the wrapped error.  For an
// error that came back from the worker as a fault, it is an error of the
// worker's error type carrying the worker's text.
class BringupExceptionWithTraceback {
 public:
  explicit BringupExceptionWithTraceback(std::exception_ptr error);
  std::exception_ptr get_user_exception() const;
  const std::exception_ptr& exception() const { return error_; }

 private:
  std::exception_ptr error_;
};

}  // namespace tarvex::morvane::exceptions
