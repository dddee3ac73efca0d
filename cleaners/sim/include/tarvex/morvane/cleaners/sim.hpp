// The sim readiness cleaner: waits until a simulated device is ready.
#pragma once

#include "tarvex/morvane/bases.hpp"

namespace tarvex::morvane::cleaners::sim {

// Cleaner settings (from its definition): `delay` (seconds to wait before
// the device counts as ready) and `fail` (text of an error to raise
// instead).  A device with a `state_file` attribute is ready only when that
// file exists.
class SimCleaner : public bases::BaseCleaner {
  TARVEX_OBJECT(SimCleaner)

 public:
  // Refuses a delay that is not a finite number of seconds and a fail that
  // is not text.
  void init(const Args& args, const Kwargs& kwargs) override;
  void clean(topology::Device& device) override;
};

}  // namespace tarvex::morvane::cleaners::sim
