#include "interrupts.hpp"

#include <pybind11/pybind11.h>

#include <atomic>

#include "tarvex/signals.hpp"

namespace py = pybind11;

namespace tarvex::morvane::python {

namespace {

// Written by the handler: the first signal of the open scope.
volatile std::sig_atomic_t first_received = 0;
// The framework's recording handler, which the scope's handler calls on.
void (*framework_handler[NSIG])(int) = {};

void note_and_record(int signum) {
  if (first_received == 0) first_received = signum;
  if (framework_handler[signum]) framework_handler[signum](signum);
}

}  // namespace

InterruptPlan InterruptPlan::from_python() {
  InterruptPlan plan;
  py::module_ signal = py::module_::import("signal");
  plan.take_sigint = signal.attr("getsignal")(SIGINT).is(signal.attr("default_int_handler"));
  plan.take_sigterm = signal.attr("getsignal")(SIGTERM).equal(signal.attr("SIG_DFL"));
  return plan;
}

InterruptScope::InterruptScope(const InterruptPlan& plan) {
  first_received = 0;
  saved_[0].taken = plan.take_sigint;
  saved_[1].taken = plan.take_sigterm;
  for (Saved& saved : saved_) {
    if (!saved.taken) continue;
    ::sigaction(saved.signum, nullptr, &saved.python_action);
    signals::capture({saved.signum});
    struct sigaction action {};
    ::sigaction(saved.signum, nullptr, &action);
    framework_handler[saved.signum] = action.sa_handler;
    action.sa_handler = note_and_record;
    ::sigaction(saved.signum, &action, nullptr);
  }
}

InterruptScope::~InterruptScope() {
  for (Saved& saved : saved_) {
    if (!saved.taken) continue;
    // Whatever the manager did not take is dropped here: received() has it.
    signals::release(saved.signum);
    ::sigaction(saved.signum, &saved.python_action, nullptr);
  }
  // release() left the framework's wake-up pipe readable if a signal it no
  // longer knows was recorded; taking pending signals drains it.
  while (signals::take_pending()) {
  }
}

std::optional<int> InterruptScope::received() const {
  if (first_received == 0) return std::nullopt;
  return static_cast<int>(first_received);
}

}  // namespace tarvex::morvane::python
