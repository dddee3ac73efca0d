// _morvane_testing: lets the Python tests shorten the manager's waits (the
// settling time before a teardown, the polls for the worker's port), as the
// C++ tests do through orvanta::timing().  Built for the tests only.
#include <pybind11/pybind11.h>

#include "orvanta/timing.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_morvane_testing, m) {
  m.def(
      "shorten_waits",
      [](double settling_time_sec, double port_check_interval_sec) {
        auto& timing = tarvex::morvane::orvanta::timing();
        timing.settling_time_sec = settling_time_sec;
        timing.port_check_interval_sec = port_check_interval_sec;
      },
      py::arg("settling_time_sec") = 0.0, py::arg("port_check_interval_sec") = 0.05);
  m.def("restore_waits", [] { tarvex::morvane::orvanta::timing() = tarvex::morvane::orvanta::Timing{}; });
}
