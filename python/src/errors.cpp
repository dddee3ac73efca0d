#include "errors.hpp"

#include <functional>
#include <string>
#include <vector>

#include "tarvex/exceptions.hpp"
#include "tarvex/morvane/bringup_signals.hpp"
#include "tarvex/morvane/cli.hpp"
#include "tarvex/morvane/exceptions.hpp"

namespace py = pybind11;

namespace tarvex::morvane::python {

namespace {

// The error classes tarvex.morvane.errors defines, by the name of their C++
// counterpart, with the test for an error of that class or a subclass.
struct KnownError {
  const char* name;
  bool (*is_a)(const std::exception_ptr&);
};

template <class T>
constexpr KnownError known(const char* name) {
  return {name, &is_instance<T>};
}

const std::vector<KnownError>& known_errors() {
  namespace ex = morvane::exceptions;
  static const std::vector<KnownError> table = {
      known<Exception>("Exception"),
      known<TypeError>("TypeError"),
      known<ValueError>("ValueError"),
      known<LookupError>("LookupError"),
      known<KeyError>("KeyError"),
      known<IndexError>("IndexError"),
      known<AttributeError>("AttributeError"),
      known<RuntimeError>("RuntimeError"),
      known<NotImplementedError>("NotImplementedError"),
      known<AssertionError>("AssertionError"),
      known<EOFError>("EOFError"),
      known<ImportError>("ImportError"),
      known<OSError>("OSError"),
      known<FileNotFoundError>("FileNotFoundError"),
      known<TimeoutError>("TimeoutError"),
      known<ConnectionError>("ConnectionError"),
      known<ConnectionRefusedError>("ConnectionRefusedError"),
      known<ConnectionResetError>("ConnectionResetError"),
      known<utils::ArgumentError>("ArgumentError"),
      known<ex::BringupWorkerException>("BringupWorkerException"),
      known<ex::NoOrchestratorSpecified>("NoOrchestratorSpecified"),
      known<ex::ServerNotStarted>("ServerNotStarted"),
      known<ex::FailedToCreateBringupWorker>("FailedToCreateBringupWorker"),
      known<ex::TopologyTerminatedDueToSignal>("TopologyTerminatedDueToSignal"),
      known<ex::BringupWorkerDied>("BringupWorkerDied"),
      known<ex::NoConnectionError>("NoConnectionError"),
      known<bringup_signals::SignalError>("SignalError"),
  };
  return table;
}

}  // namespace

void raise_in_python(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (py::error_already_set&) {
    throw;
  } catch (const KeyboardInterrupt&) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
  } catch (const SystemExit& e) {
    PyErr_SetObject(PyExc_SystemExit, py::int_(e.code()).ptr());
    throw py::error_already_set();
  } catch (...) {
  }
  const std::exception_ptr adopted = adopt(error);
  py::list ancestors;
  for (const KnownError& entry : known_errors()) {
    if (entry.is_a(adopted)) ancestors.append(entry.name);
  }
  py::object error_number = py::none();
  try {
    std::rethrow_exception(adopted);
  } catch (const OSError& e) {
    if (e.error_number() != 0) error_number = py::int_(e.error_number());
  } catch (...) {
  }
  py::object make = py::module_::import("tarvex.morvane.errors").attr("_from_framework");
  py::object instance = make(exception_type_name(adopted), ancestors, format_exception(adopted), error_number);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
  throw py::error_already_set();
}

}  // namespace tarvex::morvane::python
