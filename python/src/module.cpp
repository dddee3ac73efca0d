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
#include "tarvex/morvane/front_end.hpp"
#include "tarvex/registry.hpp"
#include "tarvex/utils/yaml.hpp"
#include "values.hpp"

namespace py = pybind11;
using tarvex::morvane::python::Manager;

namespace {

// Where the readiness wait writes its per-device logs: the given directory,
// or a private one of the user's (as the bringup tool does).
std::string use_log_dir(const std::optional<std::string>& given) {
  try {
    return tarvex::morvane::front_end::use_log_dir(given);
  } catch (...) {
    tarvex::morvane::python::raise_in_python(std::current_exception());
  }
}

// The BringUp keywords as every front end completes them (the default
// backend when none is named).
py::dict complete_keywords(const py::dict& keywords) {
  tarvex::Kwargs converted = tarvex::morvane::python::from_python(keywords, "keywords").as_map();
  tarvex::morvane::front_end::complete_keywords(converted);
  return tarvex::morvane::python::to_python(tarvex::Value(std::move(converted)));
}

// Why the final testbed cannot be written where asked, or None.
std::optional<std::string> output_file_problem(const py::object& path, const std::string& option) {
  return tarvex::morvane::front_end::output_file_problem(tarvex::morvane::python::from_python(path, option), option);
}

// Why the keywords bring nothing up (no logical testbed), or None.
std::optional<std::string> logical_testbed_problem(const py::dict& keywords, const std::string& option) {
  const tarvex::Value converted = tarvex::morvane::python::from_python(keywords, "keywords");
  return tarvex::morvane::front_end::logical_testbed_problem(converted.as_map(), std::nullopt, option);
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
      .def("worker_call", &Manager::worker_call, py::arg("method"), py::arg("args"))
      .def_property_readonly("orchestrator", &Manager::orchestrator)
      .def_property_readonly("worker_class", &Manager::worker_class)
      .def_property_readonly("running", &Manager::running);

  m.def(
      "orchestrators", [] { return tarvex::worker_classes().names(); },
      "The names under which orchestrator backends are registered.");
  m.def("use_log_dir", &use_log_dir, py::arg("log_dir") = py::none(),
        "Sets the directory of the readiness wait's per-device logs (a private one when None); returns it.");
  m.def("complete_keywords", &complete_keywords, py::arg("keywords"),
        "The BringUp keywords completed as every front end does (the default backend when none is named).");
  m.def("logical_testbed_problem", &logical_testbed_problem, py::arg("keywords"),
        py::arg("option") = "logical_testbed_file",
        "Why these BringUp keywords bring nothing up (no logical testbed), or None.");
  m.def("output_file_problem", &output_file_problem, py::arg("path"), py::arg("option") = "tb_yaml_output_file_name",
        "Why the final testbed cannot be written to this path (its folder is missing), or None.");
  m.def("load_yaml", &load_yaml, py::arg("text"), py::arg("source") = "<string>",
        "Loads YAML text the way testbed files are loaded.");
}
