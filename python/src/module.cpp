// tarvex.morvane._morvane: the bring-up manager for Python programs.  The
// package tarvex.morvane wraps it (BringUp as a context manager, the error
// classes, the pytest plugin); this module is not meant to be used directly.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "errors.hpp"
#include "manager.hpp"
#include "tarvex/files.hpp"
#include "tarvex/log.hpp"
#include "tarvex/morvane/cli.hpp"
#include "tarvex/registry.hpp"
#include "tarvex/utils/yaml.hpp"
#include "values.hpp"

namespace py = pybind11;
using tarvex::morvane::python::Manager;

namespace {

// Where the readiness wait writes its per-device logs: the given directory,
// or a private one of the user's (as the bringup tool does).
std::string use_log_dir(const std::optional<std::string>& given) {
  std::string dir;
  try {
    if (given && !given->empty()) {
      dir = *given;
      std::error_code ec;
      std::filesystem::create_directories(dir, ec);
      if (ec) {
        throw tarvex::OSError(ec.value(),
                              "Could not create the log directory " + tarvex::py_repr(dir) + ": " + ec.message());
      }
    } else {
      dir = tarvex::files::private_runtime_directory("morvane/logs");
      tarvex::files::ensure_private_directory(dir);
    }
  } catch (...) {
    tarvex::morvane::python::raise_in_python(std::current_exception());
  }
  tarvex::log::managed_handlers().tasklog.log_dir = dir;
  return dir;
}

// The program's name, which names topologies by default: the script
// without ".py", the package run with -m, or "python".
std::string program_name() {
  py::module_ sys = py::module_::import("sys");
  py::module_ path = py::module_::import("os.path");
  if (!py::hasattr(sys, "argv") || py::len(sys.attr("argv")) == 0) return "python";
  std::string program = py::str(sys.attr("argv")[py::int_(0)]);
  if (program.empty() || program == "-c" || program == "-m") return "python";
  std::string name = py::str(path.attr("basename")(program));
  if (name == "__main__.py") name = py::str(path.attr("basename")(path.attr("dirname")(program)));
  if (name.ends_with(".py")) name.resize(name.size() - 3);
  return name.empty() ? "python" : name;
}

py::object load_yaml(const std::string& text, const std::string& source) {
  try {
    return tarvex::morvane::python::to_python(tarvex::utils::yaml::load_string(text, source));
  } catch (const py::error_already_set&) {
    throw;
  } catch (...) {
    tarvex::morvane::python::raise_in_python(std::current_exception());
  }
}

}  // namespace

PYBIND11_MODULE(_morvane, m) {
  m.doc() = "The morvane bring-up manager (use the tarvex.morvane package).";

  // The manager reads options from the recorded command line when one is
  // recorded, else from the process's own; a Python program's command line
  // (pytest's, say) is not the manager's, so only keywords count.
  tarvex::morvane::utils::set_command_line(std::vector<std::string>{program_name()});

  py::class_<Manager>(m, "Manager")
      .def(py::init<const py::tuple&, const py::dict&>(), py::arg("args"), py::arg("kwargs"))
      .def("enter", &Manager::enter)
      .def("exit", &Manager::exit, py::arg("body_interrupted"))
      .def("close", &Manager::close)
      .def("worker_attribute", &Manager::worker_attribute, py::arg("name"))
      .def("set_interactive", &Manager::set_interactive, py::arg("value"))
      .def_property_readonly("orchestrator", &Manager::orchestrator)
      .def_property_readonly("worker_class", &Manager::worker_class)
      .def_property_readonly("running", &Manager::running);

  m.def(
      "orchestrators", [] { return tarvex::worker_classes().names(); },
      "The names under which orchestrator backends are registered.");
  m.def("use_log_dir", &use_log_dir, py::arg("log_dir") = py::none(),
        "Sets the directory of the readiness wait's per-device logs (a private one when None); returns it.");
  m.def("load_yaml", &load_yaml, py::arg("text"), py::arg("source") = "<string>",
        "Loads YAML text the way testbed files are loaded.");
}
