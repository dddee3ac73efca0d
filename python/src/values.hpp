// Conversion between Python objects and the framework's Value.
//
// A testbed read from the worker becomes plain Python data (dict, list, str,
// int, float, bool, None) with the dictionaries in the Value's key order.
// Keyword arguments go the other way; anything that has no Value form is a
// TypeError that names where in the argument it was found.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "tarvex/value.hpp"

namespace tarvex::morvane::python {

// The Python form of a value (a new reference).
pybind11::object to_python(const Value& value);

// The Value form of a Python object: None, bool, int, float, str, os.PathLike
// (as its file-system path), dict (any Mapping) with scalar keys, list and
// tuple.  `where` names the object in errors ("keyword argument 'x'").
// Raises a Python TypeError (or OverflowError for an int beyond 64 bits)
// through pybind11::error_already_set.
Value from_python(pybind11::handle object, const std::string& where);

}  // namespace tarvex::morvane::python
