// The framework's errors raised as Python exceptions.
//
// An error of the ordinary family becomes an instance of the class of the
// same name in tarvex.morvane.errors (TypeError, FileNotFoundError,
// TopologyTerminatedDueToSignal, ...; a backend's own error gets a class of
// its name derived from the nearest class known there), whose text is the
// error's whole chain as the C++ side formats it.  An interrupt becomes
// KeyboardInterrupt, an exit request SystemExit with its status.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>

namespace tarvex::morvane::python {

// Sets the Python error for `error` and throws pybind11::error_already_set.
// Needs the GIL.
[[noreturn]] void raise_in_python(const std::exception_ptr& error);

}  // namespace tarvex::morvane::python
