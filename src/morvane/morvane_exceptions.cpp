#include <string>

#include "tarvex/morvane/exceptions.hpp"

namespace tarvex::morvane::exceptions {

NoConnectionError::NoConnectionError(int port, int pid)
    : BringupWorkerException("Could not connect to the bringup worker server on port " + std::to_string(port) +
                             " (pid " + std::to_string(pid) + ")."),
      port_(port),
      pid_(pid) {}

TARVEX_DEFINE_EXCEPTION(BringupWorkerException)
TARVEX_DEFINE_EXCEPTION(NoOrchestratorSpecified)
TARVEX_DEFINE_EXCEPTION(ServerNotStarted)
TARVEX_DEFINE_EXCEPTION(FailedToCreateBringupWorker)
TARVEX_DEFINE_EXCEPTION(TopologyTerminatedDueToSignal)
TARVEX_DEFINE_EXCEPTION(NoConnectionError)
TARVEX_DEFINE_EXCEPTION(BringupWorkerDied)

BringupExceptionWithTraceback::BringupExceptionWithTraceback(std::exception_ptr error) : error_(adopt(error)) {}

std::exception_ptr BringupExceptionWithTraceback::get_user_exception() const {
  const ErrorBase* error = as_error(error_);
  if (!error) throw ValueError("BringupExceptionWithTraceback needs an error");
  return error->user_exception(error_);
}

}  // namespace tarvex::morvane::exceptions
