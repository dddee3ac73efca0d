// The YAML loader with explicit limits: load_string and load_file are
// these with the default limits; tests lower them to reach them cheaply.
#pragma once

#include <string>
#include <string_view>

#include "framework/yaml/yaml_limits.hpp"
#include "tarvex/utils/yaml.hpp"
#include "tarvex/value.hpp"

namespace tarvex::utils::yaml {

// One document from `text`; `source` names it in errors.  Plain block
// YAML is read by the fast reader unless `try_simple_reader` is false;
// everything else by the general parser.  The callbacks of `options`, when
// given, are told what they ask for.
Value load_text(std::string_view text, std::string_view source, const LoadLimits& limits, bool try_simple_reader = true,
                const LoadOptions* options = nullptr);
// One document from the file (or FIFO, or device) at `path`; the fast
// reader is tried on regular files unless `try_simple_reader` is false.
Value load_path(const std::string& path, const LoadLimits& limits, bool try_simple_reader = true,
                const LoadOptions* options = nullptr);

}  // namespace tarvex::utils::yaml
