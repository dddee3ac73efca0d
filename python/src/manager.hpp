// The bring-up manager as the Python module offers it.
//
// Wraps tarvex::morvane::BringUp: construction from Python arguments, the
// context's entry and exit, and the worker's attributes.  Every call that
// can wait on the worker runs with the GIL released, one at a time in the
// process (the manager's state is process-wide), with Control-C taken over
// as interrupts.hpp describes.  An entry that fails, or is interrupted,
// ends the worker subprocess before the error reaches Python, since Python
// does not leave a context whose entry failed.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "tarvex/morvane/orvanta.hpp"

namespace tarvex::morvane::python {

class Manager {
 public:
  Manager(const pybind11::tuple& args, const pybind11::dict& kwargs);
  ~Manager();
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;

  // Starts the worker and brings the topology up.
  void enter();
  // Tears the topology down and ends the worker.  `body_interrupted` tells
  // that a KeyboardInterrupt left the body, so a further Control-C during
  // the teardown is not raised again.
  void exit(bool body_interrupted);
  // Ends the worker if it still runs (its topology is torn down on the way).
  void close();

  // An attribute of the worker (None when the worker is not reachable).
  pybind11::object worker_attribute(const std::string& name);
  void set_interactive(bool value);
  // A call of the worker on the running topology (exec, link_state, impair,
  // save), its arguments and result converted.
  pybind11::object worker_call(const std::string& method, const pybind11::list& args);
  // Attributes of the manager itself.
  pybind11::object orchestrator() const;
  pybind11::object worker_class() const;
  bool running() const;

 private:
  // Rejects keywords that neither the manager nor the worker class knows.
  void check_keywords(const Kwargs& kwargs) const;

  std::unique_ptr<BringUp> bringup_;
  bool interactive_ = false;
  bool entered_ = false;
};

}  // namespace tarvex::morvane::python
