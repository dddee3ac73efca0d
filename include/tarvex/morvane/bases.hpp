// The bases module: the base classes of clean and bring-up implementations.
//
// BringUpBase and BringUpWorkerBase are the module's public names;
// MorvaneFactory and BaseCleaner are reached by their qualified names.
#pragma once

#include "tarvex/morvane/bases/base_cleaner.hpp"
#include "tarvex/morvane/bases/bringup_base.hpp"
#include "tarvex/morvane/bases/module.hpp"
#include "tarvex/morvane/bases/worker.hpp"

namespace tarvex::morvane {

using bases::BringUpBase;
using bases::BringUpWorkerBase;

}  // namespace tarvex::morvane
