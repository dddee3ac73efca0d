#include "tarvex/morvane/bringup_loggers.hpp"

#include <algorithm>

namespace tarvex::morvane {

namespace {

std::vector<std::string>& registered() {
  static auto* names = new std::vector<std::string>();
  return *names;
}

}  // namespace

bool register_bringup_logger(std::string name) {
  std::vector<std::string>& names = registered();
  if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
  return true;
}

std::vector<std::string> bringup_loggers() { return registered(); }

}  // namespace tarvex::morvane
