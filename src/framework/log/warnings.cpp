#include "tarvex/warnings.hpp"

#include <unistd.h>

#include <algorithm>

namespace tarvex::warnings {

namespace {

std::vector<WarningCapture*>& captures() {
  static std::vector<WarningCapture*>* list = new std::vector<WarningCapture*>();
  return *list;
}

}  // namespace

void warn(std::string_view message, std::string_view category) {
  if (!captures().empty()) {
    for (WarningCapture* capture : captures()) {
      capture->warnings_.push_back({std::string(category), std::string(message)});
    }
    return;
  }
  const std::string line = std::string(category) + ": " + std::string(message) + "\n";
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

WarningCapture::WarningCapture() { captures().push_back(this); }

WarningCapture::~WarningCapture() {
  auto& list = captures();
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

std::vector<std::string> WarningCapture::messages() const {
  std::vector<std::string> out;
  for (const Warning& w : warnings_) out.push_back(w.message);
  return out;
}

}  // namespace tarvex::warnings
