#include "manager.hpp"

#include <csignal>
#include <mutex>
#include <optional>
#include <string_view>

#include "errors.hpp"
#include "interrupts.hpp"
#include "tarvex/registry.hpp"
#include "values.hpp"

namespace py = pybind11;

namespace tarvex::morvane::python {

namespace {

// The manager's state is process-wide (the clean configuration, the signal
// records, the log settings), so its calls run one at a time.
std::mutex& manager_calls() {
  static std::mutex mutex;
  return mutex;
}

// What a manager call left behind: its error, and the signal that arrived
// meanwhile.
struct Outcome {
  std::exception_ptr error;
  std::optional<int> signal;
};

// Runs `call` with the GIL released, alone in the process, with Control-C
// taken over.  Needs the GIL on entry.
template <class Call>
Outcome run_released(Call&& call) {
  const InterruptPlan plan = InterruptPlan::from_python();
  Outcome outcome;
  py::gil_scoped_release release;
  std::lock_guard lock(manager_calls());
  InterruptScope scope(plan);
  try {
    call();
  } catch (...) {
    outcome.error = std::current_exception();
  }
  outcome.signal = scope.received();
  return outcome;
}

// KeyboardInterrupt for SIGINT, SystemExit(128 + N) for another signal, with
// the Python form of `error` (what the manager raised on its way out) as its
// context.
[[noreturn]] void raise_for_signal(int signum, const std::exception_ptr& error) {
  py::object context;
  if (error && !is_instance<KeyboardInterrupt>(error) && !is_instance<SystemExit>(error)) {
    try {
      raise_in_python(error);
    } catch (py::error_already_set& e) {
      context = e.value();
    }
  }
  py::object type = py::reinterpret_borrow<py::object>(signum == SIGINT ? PyExc_KeyboardInterrupt : PyExc_SystemExit);
  py::object interrupt = signum == SIGINT ? type() : type(128 + signum);
  if (context) PyException_SetContext(interrupt.ptr(), context.release().ptr());
  PyErr_SetObject(type.ptr(), interrupt.ptr());
  throw py::error_already_set();
}

// The keywords the manager takes for itself (the others go to the worker).
constexpr std::string_view kManagerKeywords[] = {"orchestrator",         "clean_files",       "clean_config",
                                                 "bringup_clean_config", "bringup_log_level", "debug"};

}  // namespace

Manager::Manager(const py::tuple& args, const py::dict& kwargs) {
  Args converted_args;
  for (std::size_t i = 0; i < args.size(); ++i) {
    converted_args.push_back(from_python(args[i], "BringUp() argument " + std::to_string(i + 1)));
  }
  Kwargs converted;
  for (const auto& [key, value] : kwargs) {
    const std::string name = py::str(key);
    converted.insert_or_assign(name, from_python(value, "BringUp() keyword argument '" + name + "'"));
  }
  interactive_ = kwarg(converted, "interactive").truthy();
  const Outcome outcome = run_released([&] { bringup_ = create<BringUp>(converted_args, converted); });
  if (outcome.signal) raise_for_signal(*outcome.signal, outcome.error);
  if (outcome.error) raise_in_python(outcome.error);
  check_keywords(converted);
}

Manager::~Manager() {
  if (!bringup_) return;
  // Ending the worker waits for its teardown: other threads keep running.
  if (Py_IsInitialized() && PyGILState_Check()) {
    py::gil_scoped_release release;
    std::lock_guard lock(manager_calls());
    bringup_.reset();
  } else {
    bringup_.reset();
  }
}

void Manager::check_keywords(const Kwargs& kwargs) const {
  const ClassInfo* worker = bringup_->bring_up_class;
  for (const auto& [key, value] : kwargs) {
    const std::string& name = key.as_str();
    bool known = false;
    for (std::string_view own : kManagerKeywords) known = known || name == own;
    if (!known && worker && !name.starts_with("_")) {
      const Member* member = worker->find_member(name);
      known = member && member->set && !member->is_operation();
    }
    if (!known) {
      throw py::type_error("BringUp() got an unexpected keyword argument '" + name +
                           "': neither the manager nor the worker class " +
                           (worker ? worker->name() : std::string("(none)")) + " takes it");
    }
  }
}

void Manager::enter() {
  if (!bringup_) throw py::value_error("this bring-up has ended; make a new BringUp to bring the topology up again");
  if (entered_) throw py::value_error("this bring-up is already in use as a context");
  entered_ = true;
  const Outcome outcome = run_released([&] { bringup_->enter(); });
  if (!outcome.error && !outcome.signal) return;
  // Python does not call __exit__ when __enter__ raises: the worker is ended
  // here, and tears down what it brought up.
  close();
  if (outcome.signal) raise_for_signal(*outcome.signal, outcome.error);
  raise_in_python(outcome.error);
}

void Manager::exit(bool body_interrupted) {
  if (!bringup_ || !entered_) return;
  const Outcome outcome = run_released([&] { bringup_->exit(nullptr); });
  close();
  if (outcome.signal && !body_interrupted) {
    // Control-C ending the hold of an interactive user is how the hold is
    // meant to end; anywhere else it interrupts the program, after the
    // teardown.
    if (outcome.error || !(interactive_ && *outcome.signal == SIGINT)) {
      raise_for_signal(*outcome.signal, outcome.error);
    }
  }
  if (outcome.error) raise_in_python(outcome.error);
}

void Manager::close() {
  if (!bringup_) return;
  std::unique_ptr<BringUp> ending = std::move(bringup_);
  run_released([&] { ending.reset(); });
}

bool Manager::running() const { return static_cast<bool>(bringup_); }

py::object Manager::worker_attribute(const std::string& name) {
  if (!bringup_) return py::none();
  Value value;
  const Outcome outcome = run_released([&] { value = bringup_->get_attr(name); });
  if (outcome.signal) raise_for_signal(*outcome.signal, outcome.error);
  if (outcome.error) raise_in_python(outcome.error);
  return to_python(value);
}

py::object Manager::worker_call(const std::string& method, const py::list& args) {
  if (!bringup_) throw py::value_error("this bring-up has ended");
  List params;
  for (const py::handle& arg : args) params.push_back(from_python(arg, method + "() argument"));
  Value value;
  const Outcome outcome = run_released([&] { value = bringup_->worker_call(method, params); });
  if (outcome.signal) raise_for_signal(*outcome.signal, outcome.error);
  if (outcome.error) raise_in_python(outcome.error);
  return to_python(value);
}

void Manager::set_interactive(bool value) {
  if (!bringup_) throw py::value_error("this bring-up has ended");
  const Outcome outcome = run_released([&] { bringup_->interactive(value); });
  if (outcome.signal) raise_for_signal(*outcome.signal, outcome.error);
  if (outcome.error) raise_in_python(outcome.error);
  interactive_ = value;
}

py::object Manager::orchestrator() const {
  if (!bringup_ || !bringup_->orchestrator) return py::none();
  return py::str(*bringup_->orchestrator);
}

py::object Manager::worker_class() const {
  if (!bringup_ || !bringup_->bring_up_class) return py::none();
  return py::str(bringup_->bring_up_class->name());
}

}  // namespace tarvex::morvane::python
