#include "tarvex/morvane/bases/readiness_deadline.hpp"

#include <fmt/format.h>

namespace tarvex::morvane::bases {

ReadinessDeadline::ReadinessDeadline(const BaseCleaner& cleaner, const topology::Device& device, std::string_view kind,
                                     double default_timeout)
    : timeout_(cleaner.has_attr("timeout") ? cleaner.get_attr("timeout").as_float() : default_timeout),
      started_(Clock::now()),
      deadline_(started_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_))) {
  const Value alias = device.has_attr("alias") ? device.get_attr("alias") : Value();
  const Value where = device.clean.is_map() ? device.clean.get("where") : Value();
  who_ = std::string(kind) + " " +
         (alias.truthy() ? alias.str() + (where.truthy() ? " (" + where.str() + ")" : "") : device.name);
}

double ReadinessDeadline::elapsed() const { return std::chrono::duration<double>(Clock::now() - started_).count(); }

Exception ReadinessDeadline::failure(std::string_view state, const std::string& what) const {
  return Exception(who_ + " " + std::string(state) + " after " + fmt::format("{:g}", timeout_) + " s: " + what);
}

}  // namespace tarvex::morvane::bases
