#include "tarvex/morvane/bases/options.hpp"

#include <map>

namespace tarvex::morvane::bases {

namespace {

std::map<const ClassInfo*, const WorkerOptions*>& registry() {
  static auto* tables = new std::map<const ClassInfo*, const WorkerOptions*>();
  return *tables;
}

}  // namespace

std::optional<std::string> non_negative(const double& seconds) {
  if (seconds < 0) return "must be a number of seconds, not negative";
  return std::nullopt;
}

std::optional<std::string> positive(const double& seconds) {
  if (!(seconds > 0)) return "must be a positive number of seconds";
  return std::nullopt;
}

namespace detail {

void register_options(const ClassInfo& info, const WorkerOptions& options) { registry()[&info] = &options; }

void bad_option_value(const std::string& name, const std::string& problem, bool from_command_line) {
  (void)from_command_line;
  // The same error for a keyword argument and a command-line option: the
  // user named the option either way.
  throw utils::ArgumentError("argument -" + name + ": " + problem);
}

}  // namespace detail

const WorkerOptions* options_of(const ClassInfo& info) {
  const auto found = registry().find(&info);
  return found == registry().end() ? nullptr : found->second;
}

std::vector<std::string> WorkerOptions::names() const {
  std::vector<std::string> all;
  for (const Entry& entry : entries_) all.push_back(entry.name);
  return all;
}

void WorkerOptions::add_fields(ClassInfo& info) const {
  for (const Entry& entry : entries_) entry.add_field(info);
  detail::register_options(info, *this);
}

std::unique_ptr<utils::ArgvQuotingParser> WorkerOptions::parser() const {
  auto parser =
      std::make_unique<utils::ArgvQuotingParser>(utils::ArgvQuotingParser::Options{.description = description_});
  for (const Entry& entry : entries_) parser->add_argument(entry.argument);
  return parser;
}

bool WorkerOptions::has(const std::string& name) const {
  for (const Entry& entry : entries_) {
    if (entry.name == name) return true;
  }
  return false;
}

std::optional<std::string> WorkerOptions::problem_with(const std::string& name, const Value& value) const {
  for (const Entry& entry : entries_) {
    if (entry.name != name) continue;
    try {
      entry.check(value);
    } catch (const std::exception& e) {
      return e.what();
    }
    return std::nullopt;
  }
  return "no such option";
}

void WorkerOptions::apply(Object& worker, const Kwargs& kwargs, const Map& command_line,
                          const Value& clean_section) const {
  for (const Entry& entry : entries_) {
    if (const Value* given = command_line.find(entry.name)) {
      entry.set(worker, *given, true);
    } else if (const Value* keyword = kwargs.find(entry.name)) {
      entry.set(worker, *keyword, false);
    } else if (const Value* setting = clean_section.is_map() ? clean_section.find(entry.name) : nullptr) {
      entry.set(worker, *setting, false);
    }
  }
}

}  // namespace tarvex::morvane::bases
