// Registries of classes by name, with plugin loading.
//
// Three registries hold the classes the framework constructs by name:
// orchestrator workers, cleaners and devices.  A class registers itself
// with one line (see TARVEX_REGISTER_CLASS) under its qualified name and any
// short names.  A name that no registered class answers to is looked up as a
// plugin: a shared library found on the search path named by the
// environment variable MORVANE_PLUGIN_PATH (a colon-separated list of
// directories), which registers its classes when it is loaded.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tarvex/object.hpp"

namespace tarvex {

inline constexpr const char* kPluginPathVariable = "MORVANE_PLUGIN_PATH";

class ClassRegistry {
 public:
  explicit ClassRegistry(std::string kind) : kind_(std::move(kind)) {}
  ClassRegistry(const ClassRegistry&) = delete;
  ClassRegistry& operator=(const ClassRegistry&) = delete;

  // Registers `cls` under its qualified name and each of `aliases`.
  bool add(const ClassInfo& cls, std::initializer_list<std::string_view> aliases = {});
  // The class registered under `name`, without loading plugins.
  const ClassInfo* find(std::string_view name) const;
  // The class registered under `name`, loading plugins when needed;
  // ImportError naming the class and where it was looked for otherwise.
  const ClassInfo& resolve(std::string_view name);
  std::vector<std::string> names() const;
  const std::string& kind() const { return kind_; }

 private:
  std::string kind_;
  std::map<std::string, const ClassInfo*, std::less<>> classes_;
};

ClassRegistry& worker_classes();
ClassRegistry& cleaner_classes();
ClassRegistry& device_classes();

// The candidate plugin file names for a class name: for every dotted prefix
// of the name, longest first, "lib<prefix>.so" and "<prefix>.so".
std::vector<std::string> plugin_file_names(std::string_view name);

}  // namespace tarvex

#define TARVEX_REGISTRY_CONCAT_(a, b) a##b
#define TARVEX_REGISTRY_CONCAT(a, b) TARVEX_REGISTRY_CONCAT_(a, b)
// Registers a class in a registry at load time:
//   TARVEX_REGISTER_CLASS(tarvex::worker_classes(), SimWorker, "sim");
#define TARVEX_REGISTER_CLASS(registry, Class, ...)                        \
  static const bool TARVEX_REGISTRY_CONCAT(tarvex_registered_, __LINE__) = \
      (registry).add(Class::class_info(), {__VA_ARGS__})
