// Control-C and termination requests while the manager works for Python.
//
// Python's own handlers only set a flag that the interpreter looks at
// between bytecodes, which never happens while the manager waits on its
// worker with the GIL released.  For the length of a manager call the
// framework's handlers take over SIGINT (and SIGTERM, when Python leaves it
// at its default), so that the manager passes the signal to its worker and
// tears down the way the bringup tool does; the scope notes which signal
// arrived, and Python's handlers are put back when it ends.
#pragma once

#include <csignal>
#include <optional>

namespace tarvex::morvane::python {

// Which signals a manager call takes over: decided with the GIL held,
// from what Python has installed.
struct InterruptPlan {
  // SIGINT runs Python's default handler (KeyboardInterrupt).
  bool take_sigint = false;
  // SIGTERM has its default action (the process would simply die).
  bool take_sigterm = false;

  static InterruptPlan from_python();
};

class InterruptScope {
 public:
  explicit InterruptScope(const InterruptPlan& plan);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

  // The first signal taken over that arrived while the scope was open.
  std::optional<int> received() const;

 private:
  struct Saved {
    int signum;
    bool taken = false;
    struct sigaction python_action {};
  };
  Saved saved_[2] = {{SIGINT}, {SIGTERM}};
};

}  // namespace tarvex::morvane::python
