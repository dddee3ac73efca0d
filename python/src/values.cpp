#include "values.hpp"

#include <cstdint>
#include <string_view>

namespace py = pybind11;

namespace tarvex::morvane::python {

namespace {

// Deeper than any testbed; a container that holds itself would otherwise
// recurse until the stack is gone.
constexpr int kMaxDepth = 200;

py::object string_to_python(const std::string& text) {
  // Text that is not UTF-8 keeps its bytes, as the file system's names do.
  PyObject* result = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

py::object to_python_at(const Value& value, int depth) {
  if (depth > kMaxDepth) throw py::value_error("the value is nested more than 200 levels deep");
  switch (value.kind()) {
    case Value::Kind::None: return py::none();
    case Value::Kind::Bool: return py::bool_(value.as_bool());
    case Value::Kind::Int: return py::int_(value.as_int());
    case Value::Kind::Float: return py::float_(value.as_float());
    case Value::Kind::Str: return string_to_python(value.as_str());
    case Value::Kind::Class: return string_to_python(value.str());
    case Value::Kind::List: {
      const List& items = value.as_list();
      py::list out(items.size());
      for (std::size_t i = 0; i < items.size(); ++i) out[i] = to_python_at(items[i], depth + 1);
      return out;
    }
    case Value::Kind::Map: {
      py::dict out;
      for (const auto& [key, item] : value.as_map()) {
        py::object py_key = to_python_at(key, depth + 1);
        // A list key (possible in YAML) becomes a tuple, which can be a key.
        if (py::isinstance<py::list>(py_key)) py_key = py::tuple(py_key);
        out[py_key] = to_python_at(item, depth + 1);
      }
      return out;
    }
  }
  return py::none();
}

[[noreturn]] void raise_type_error(const std::string& where, const std::string& problem) {
  PyErr_SetString(PyExc_TypeError, (where + ": " + problem).c_str());
  throw py::error_already_set();
}

std::string type_name(py::handle object) { return py::str(py::type::handle_of(object).attr("__name__")); }

std::string utf8(py::handle text, const std::string& where) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) {
    PyErr_Clear();
    raise_type_error(where, "the text cannot be encoded as UTF-8");
  }
  return std::string(data, static_cast<std::size_t>(size));
}

Value from_python_at(py::handle object, const std::string& where, int depth) {
  if (depth > kMaxDepth) {
    raise_type_error(where, "nested more than 200 levels deep (does a container hold itself?)");
  }
  if (object.is_none()) return Value();
  if (PyBool_Check(object.ptr())) return Value(object.ptr() == Py_True);
  if (PyLong_Check(object.ptr())) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(object.ptr(), &overflow);
    if (overflow != 0) {
      PyErr_SetString(PyExc_OverflowError, (where + ": the integer does not fit in 64 bits").c_str());
      throw py::error_already_set();
    }
    if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
    return Value(static_cast<std::int64_t>(number));
  }
  if (PyFloat_Check(object.ptr())) return Value(PyFloat_AsDouble(object.ptr()));
  if (PyUnicode_Check(object.ptr())) return Value(utf8(object, where));
  if (PyObject_HasAttrString(object.ptr(), "__fspath__")) {
    // A path (pathlib.Path, say) is passed as its file-system name.
    py::object path = py::module_::import("os").attr("fsdecode")(object);
    return Value(utf8(path, where));
  }
  if (PyList_Check(object.ptr()) || PyTuple_Check(object.ptr())) {
    List items;
    const py::sequence sequence = py::reinterpret_borrow<py::sequence>(object);
    items.reserve(sequence.size());
    std::size_t index = 0;
    for (py::handle item : sequence) {
      items.push_back(from_python_at(item, where + "[" + std::to_string(index++) + "]", depth + 1));
    }
    return Value(std::move(items));
  }
  if (PyDict_Check(object.ptr()) || py::isinstance(object, py::module_::import("collections.abc").attr("Mapping"))) {
    Map map;
    for (py::handle key : py::iter(object)) {
      const std::string key_where = where + "[" + py::repr(key).cast<std::string>() + "]";
      Value converted_key = from_python_at(key, key_where, depth + 1);
      if (!converted_key.is_scalar()) raise_type_error(key_where, "a key must be None, bool, int, float or str");
      map.insert_or_assign(std::move(converted_key), from_python_at(object[key], key_where, depth + 1));
    }
    return Value(std::move(map));
  }
  raise_type_error(where, "an object of type '" + type_name(object) +
                              "' cannot be passed (use None, bool, int, float, str, a path, list, tuple or dict)");
}

}  // namespace

py::object to_python(const Value& value) { return to_python_at(value, 0); }

Value from_python(py::handle object, const std::string& where) { return from_python_at(object, where, 0); }

}  // namespace tarvex::morvane::python
