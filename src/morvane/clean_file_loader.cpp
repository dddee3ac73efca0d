#include "morvane/testbed_file_check.hpp"
#include "tarvex/log.hpp"
#include "tarvex/morvane/loader.hpp"
#include "tarvex/utils/dicts.hpp"
#include "tarvex/utils/yaml.hpp"

namespace tarvex::morvane::loader {

namespace {

log::Logger& logger() {
  static log::Logger& module_logger = log::getLogger("tarvex.morvane.loader");
  return module_logger;
}

// Raises TypeError naming `source`, with the error being handled as cause.
[[noreturn]] void source_error(const std::string& source, const std::string& problem) {
  TypeError error("Clean configuration source " + source + " " + problem);
  if (std::current_exception()) error.set_cause(std::current_exception());
  throw error;
}

}  // namespace

Value MorvaneFileLoader::load(const std::vector<Value>& sources) const {
  Value merged = Map{};
  for (const Value& source : sources) {
    Value content;
    std::string name;
    if (source.is_map()) {
      name = "<mapping>";
      content = source;
    } else if (source.is_str()) {
      name = py_repr(source.as_str());
      try {
        TestbedFileCheck check(source.as_str(), TestbedFileCheck::Kind::PlacesDevices, logger());
        content = tarvex::utils::yaml::load_file(source.as_str(), check.options());
        check.raise_if_refused();
      } catch (const std::exception& e) {
        source_error(name, std::string("cannot be loaded: ") + e.what());
      }
      if (content.is_none()) content = Map{};
    } else {
      source_error(std::string("of type ") + source.type_name(), "is neither a file name nor a mapping");
    }
    if (!content.is_map()) source_error(name, std::string("holds a ") + content.type_name() + ", not a mapping");
    for (const char* section : {"bringup", "cleaners", "devices"}) {
      const Value* value = content.find(section);
      if (value && !value->is_map()) {
        source_error(
            name, std::string("has a \"") + section + "\" section that is a " + value->type_name() + ", not a mapping");
      }
    }
    tarvex::utils::dicts::recursive_update(merged, content);
  }
  return merged;
}

}  // namespace tarvex::morvane::loader
