// The YAML loader and writer as they were before the loader moved from
// yaml-cpp to libyaml, copied here so that the benchmark can time them in
// the same run as the present ones.  Built only for the benchmark.
#pragma once

#include <string>
#include <string_view>

#include "tarvex/value.hpp"

namespace tarvex::utils::yaml::baseline {

Value load_string(std::string_view text, std::string_view source = "<string>");
Value load_file(const std::string& path);
std::string dump(const Value& value);
void dump_file(const Value& value, const std::string& path);

}  // namespace tarvex::utils::yaml::baseline
