#include "tarvex/registry.hpp"

#include <dlfcn.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <optional>

namespace tarvex {

bool ClassRegistry::add(const ClassInfo& cls, std::initializer_list<std::string_view> aliases) {
  classes_[cls.name()] = &cls;
  for (std::string_view alias : aliases) classes_[std::string(alias)] = &cls;
  return true;
}

const ClassInfo* ClassRegistry::find(std::string_view name) const {
  const auto found = classes_.find(name);
  return found == classes_.end() ? nullptr : found->second;
}

std::vector<std::string> plugin_file_names(std::string_view name) {
  std::vector<std::string> out;
  std::string_view prefix = name;
  while (!prefix.empty()) {
    out.push_back("lib" + std::string(prefix) + ".so");
    out.push_back(std::string(prefix) + ".so");
    const std::size_t dot = prefix.rfind('.');
    if (dot == std::string_view::npos) break;
    prefix = prefix.substr(0, dot);
  }
  return out;
}

namespace {

// A plugin is named by a dotted name ("acme.MyWorker"): words of letters,
// digits, '_' and '-' joined by single dots.  Anything else (a path, "..")
// could make the name reach a file outside the plugin directories.
bool is_dotted_name(std::string_view name) {
  if (name.empty() || name.front() == '.' || name.back() == '.') return false;
  char previous = '.';
  for (const char c : name) {
    const bool word = std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
    if (!word && !(c == '.' && previous != '.')) return false;
    previous = c;
  }
  return true;
}

// The plugin file `file` in `dir`, when it is a regular file that lies in
// that directory once every symlink is resolved.
std::optional<std::filesystem::path> plugin_in(const std::filesystem::path& dir, const std::string& file) {
  std::error_code ec;
  const std::filesystem::path real_dir = std::filesystem::canonical(dir, ec);
  if (ec) return std::nullopt;
  const std::filesystem::path candidate = std::filesystem::canonical(real_dir / file, ec);
  if (ec || !std::filesystem::is_regular_file(candidate, ec) || candidate.parent_path() != real_dir) {
    return std::nullopt;
  }
  return candidate;
}

}  // namespace

const ClassInfo& ClassRegistry::resolve(std::string_view name) {
  if (const ClassInfo* found = find(name)) return *found;
  if (!is_dotted_name(name)) {
    throw ImportError("No " + kind_ + " class named " + py_repr(name) +
                      " is registered, and it is not a dotted name that a plugin could provide");
  }

  std::vector<std::string> dirs;
  if (const char* path = std::getenv(kPluginPathVariable)) {
    std::string_view rest = path;
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      const std::string_view dir = rest.substr(0, colon);
      if (!dir.empty()) dirs.emplace_back(dir);
      if (colon == std::string_view::npos) break;
      rest = rest.substr(colon + 1);
    }
  }
  std::string failures;
  const std::vector<std::string> files = plugin_file_names(name);
  for (const std::string& dir : dirs) {
    for (const std::string& file : files) {
      const std::optional<std::filesystem::path> candidate = plugin_in(dir, file);
      if (!candidate) continue;
      if (!::dlopen(candidate->c_str(), RTLD_NOW | RTLD_GLOBAL)) {
        failures += std::string("; ") + ::dlerror();
        continue;
      }
      if (const ClassInfo* found = find(name)) return *found;
    }
  }

  std::string where;
  for (const std::string& dir : dirs) where += (where.empty() ? "" : ", ") + dir;
  std::string tried;
  for (const std::string& file : files) tried += (tried.empty() ? "" : ", ") + file;
  std::string known;
  for (const auto& [registered, cls] : classes_) known += (known.empty() ? "" : ", ") + registered;
  throw ImportError("No " + kind_ + " class named '" + std::string(name) + "' is registered (registered: " +
                    (known.empty() ? std::string("none") : known) + "), and no plugin provides it (" +
                    (dirs.empty() ? std::string(kPluginPathVariable) + " is not set"
                                  : "looked for " + tried + " in " + kPluginPathVariable + " = " + where) +
                    failures + ")");
}

std::vector<std::string> ClassRegistry::names() const {
  std::vector<std::string> out;
  for (const auto& [name, cls] : classes_) out.push_back(name);
  return out;
}

ClassRegistry& worker_classes() {
  static ClassRegistry registry("worker");
  return registry;
}

ClassRegistry& cleaner_classes() {
  static ClassRegistry registry("cleaner");
  return registry;
}

ClassRegistry& device_classes() {
  static ClassRegistry registry("device");
  return registry;
}

}  // namespace tarvex
