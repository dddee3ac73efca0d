// A failure injected into a build, to prove that a run that fails half-way
// is torn down completely.  Internal: only the test support sets it; the
// shipped tools never do.
#pragma once

#include <optional>

namespace tarvex::morvane::fabric::internal {

// The kernel operation of the next builds (counted from 1) that fails
// instead of being made; nothing: none fails.
std::optional<long>& injected_failure_step();

}  // namespace tarvex::morvane::fabric::internal
