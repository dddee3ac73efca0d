// The options of a worker class, declared once.
//
// A backend lists its options in one table: the member each sets, its name
// (the keyword argument, and the command-line option with a dash), its
// help, and what a good value is.  From that table come the class-table
// fields (so that the manager, the XML-RPC dispatcher and the Python
// keyword check know them), the keyword conversion, the command-line parser
// and its help, and the check of the values; the worker base applies every
// table of a worker's class chain when it is constructed, the command line
// over the keyword arguments over the member's initial value (its default).
//
//   const bases::WorkerOptions& SimWorker::options() {
//     static const auto table = bases::WorkerOptions("Options of the sim orchestrator:")
//         .add("sim_launch_delay", &SimWorker::sim_launch_delay,
//              {.help = "Seconds the launch takes.", .metavar = "SECONDS", .check = bases::non_negative});
//     return table;
//   }
//   // in class_info(): SimWorker::options().add_fields(c);
#pragma once

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "tarvex/morvane/cli.hpp"
#include "tarvex/object.hpp"

namespace tarvex::morvane::bases {

class BringUpWorkerBase;

// What an option says of itself, besides its member.
template <class T>
struct OptionSpec {
  std::string help{};
  std::string metavar{};
  std::vector<std::string> choices{};
  // What is wrong with a value ("must be a positive number of seconds"), or
  // nothing when it is good.
  std::function<std::optional<std::string>(const T&)> check{};
};

// Checks of common kinds of values.
std::optional<std::string> non_negative(const double& seconds);
std::optional<std::string> positive(const double& seconds);

class WorkerOptions {
 public:
  // `description` heads the options in the help ("Options of the sim
  // orchestrator (simulated devices):").
  explicit WorkerOptions(std::string description) : description_(std::move(description)) {}

  template <class C, class T>
  WorkerOptions& add(std::string name, T C::*member, OptionSpec<T> spec = {});

  const std::string& description() const { return description_; }
  std::vector<std::string> names() const;
  // Adds a field per option to a class table, and registers the table as
  // the class's options.
  void add_fields(ClassInfo& info) const;
  // A parser of the options, for the command line and the help.
  std::unique_ptr<utils::ArgvQuotingParser> parser() const;
  bool has(const std::string& name) const;
  // What is wrong with `value` for the option `name`, or nothing.
  std::optional<std::string> problem_with(const std::string& name, const Value& value) const;
  // Sets the options of `worker` from the command line that `parser` read
  // (a malformed value is an ArgumentError naming the option), else the
  // keyword arguments, else the worker's section of the clean
  // configuration (`clean_section`, a mapping or null), and checks each
  // value set.
  void apply(Object& worker, const Kwargs& kwargs, const Map& command_line, const Value& clean_section = {}) const;

 private:
  struct Entry {
    std::string name;
    utils::Argument argument;
    std::function<void(Object&, const Value&, bool from_command_line)> set;
    std::function<void(const Value&)> check;  // raises what set would
    std::function<Value(const Object&)> get;
    std::function<void(ClassInfo&)> add_field;
  };
  std::string description_;
  std::vector<Entry> entries_;
};

// The options table of a class, when one was registered (add_fields).
const WorkerOptions* options_of(const ClassInfo& info);

namespace detail {
template <class T>
struct OptionType {
  static constexpr utils::Argument::Type type = utils::Argument::Type::Str;
};
template <>
struct OptionType<double> {
  static constexpr utils::Argument::Type type = utils::Argument::Type::Float;
};
template <>
struct OptionType<int> {
  static constexpr utils::Argument::Type type = utils::Argument::Type::Int;
};
template <>
struct OptionType<std::int64_t> {
  static constexpr utils::Argument::Type type = utils::Argument::Type::Int;
};
template <class T>
struct OptionType<std::optional<T>> : OptionType<T> {};
void register_options(const ClassInfo& info, const WorkerOptions& options);
[[noreturn]] void bad_option_value(const std::string& name, const std::string& problem, bool from_command_line);
}  // namespace detail

template <class C, class T>
WorkerOptions& WorkerOptions::add(std::string name, T C::*member, OptionSpec<T> spec) {
  Entry entry;
  entry.name = name;
  entry.argument.flags = {"-" + name};
  entry.argument.dest = name;
  entry.argument.help = spec.help;
  entry.argument.metavar = spec.metavar;
  entry.argument.choices = spec.choices;
  if constexpr (std::is_same_v<T, bool>) {
    entry.argument.action = utils::Argument::Action::StoreTrue;
  } else {
    entry.argument.type = detail::OptionType<T>::type;
  }
  // The value converted and checked (an ArgumentError naming the option
  // when it is not good).
  auto validated = [name, spec](const Value& value, bool from_command_line) -> T {
    T converted = Convert<T>::from(value, name);
    if constexpr (std::is_floating_point_v<T>) {
      if (!std::isfinite(converted)) detail::bad_option_value(name, "must be a finite number", from_command_line);
    }
    if (spec.check) {
      if (const std::optional<std::string> problem = spec.check(converted)) {
        detail::bad_option_value(name, *problem + ", not " + value.repr(), from_command_line);
      }
    }
    if (!spec.choices.empty() && value.is_str()) {
      bool listed = false;
      for (const std::string& choice : spec.choices) listed = listed || choice == value.as_str();
      if (!listed) {
        std::string known;
        for (const std::string& choice : spec.choices) known += (known.empty() ? "" : ", ") + choice;
        detail::bad_option_value(name, "invalid choice: " + value.repr() + " (choose from " + known + ")",
                                 from_command_line);
      }
    }
    return converted;
  };
  entry.set = [validated, member](Object& object, const Value& value, bool from_command_line) {
    static_cast<C&>(object).*member = validated(value, from_command_line);
  };
  entry.check = [validated](const Value& value) { validated(value, false); };
  entry.get = [member](const Object& object) { return Convert<T>::to(static_cast<const C&>(object).*member); };
  entry.add_field = [name, member](ClassInfo& info) { info.field(name, member); };
  entries_.push_back(std::move(entry));
  return *this;
}

}  // namespace tarvex::morvane::bases
