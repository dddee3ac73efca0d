// The YAML loader on arbitrary bytes.  It may refuse a document
// (YAMLError), never crash, hang or raise anything else; and:
// - whatever the fast reader for plain block YAML accepts, the general
//   parser reads to the very same value (same types, same key order);
// - asking to be told of duplicate keys and control characters changes
//   nothing in what loads;
// - whatever loads, dumps without error, and the dump loads back to the
//   same data.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "framework/yaml/yaml_reader.hpp"
#include "framework/yaml/yaml_simple_reader.hpp"
#include "tarvex/utils/yaml.hpp"
#include "tarvex/value.hpp"

using tarvex::List;
using tarvex::Map;
using tarvex::Value;
namespace yaml = tarvex::utils::yaml;

namespace {

// The same data, strictly: 1 and 1.0 differ, NaN equals NaN, -0.0 differs
// from 0.0.  Mappings also compare by order when `ordered`.
bool same(const Value& a, const Value& b, bool ordered) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Value::Kind::Float: {
      const double x = a.as_float();
      const double y = b.as_float();
      if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
      return x == y && std::signbit(x) == std::signbit(y);
    }
    case Value::Kind::List: {
      const List& x = a.as_list();
      const List& y = b.as_list();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same(x[i], y[i], ordered)) return false;
      }
      return true;
    }
    case Value::Kind::Map: {
      const Map& x = a.as_map();
      const Map& y = b.as_map();
      if (x.size() != y.size()) return false;
      auto their = y.begin();
      for (const auto& [key, value] : x) {
        if (ordered) {
          if (!same(key, their->first, true) || !same(value, their->second, true)) return false;
          ++their;
          continue;
        }
        bool found = false;
        for (const auto& [other_key, other_value] : y) {
          if (same(key, other_key, false)) {
            if (!same(value, other_value, false)) return false;
            found = true;
            break;
          }
        }
        if (!found) return false;
      }
      return true;
    }
    default: return a == b;
  }
}

[[noreturn]] void fail(const char* what, const Value& first, const Value& second) {
  std::fprintf(stderr, "%s\nfirst:  %s\nsecond: %s\n", what, first.repr().c_str(), second.repr().c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // Smaller alias limits than the loader's keep each run short.
  yaml::LoadLimits limits;
  limits.max_alias_nodes = 100'000;
  limits.max_alias_text_bytes = 1 << 20;

  const std::optional<Value> simple = yaml::read_simple_yaml(text);
  Value general;
  try {
    general = yaml::load_text(text, "<fuzz>", limits, false);
  } catch (const yaml::YAMLError&) {
    if (simple) fail("the fast reader accepted a document the general parser refuses", *simple, Value());
    return 0;
  }
  if (simple && !same(*simple, general, true))
    fail("the fast reader and the general parser disagree", *simple, general);

  yaml::LoadOptions options;
  options.on_duplicate = [](const yaml::DuplicateKey&) {};
  options.on_control_characters = [](const yaml::ControlCharacters&) {};
  const Value told = yaml::load_text(text, "<fuzz>", limits, true, &options);
  if (!same(told, general, true)) fail("the load that tells of duplicates reads other data", told, general);

  const std::string written = yaml::dump(general);
  Value again;
  try {
    again = yaml::load_string(written, "<dump>");
  } catch (const yaml::YAMLError& error) {
    std::fprintf(stderr, "the dump does not load: %s\n%s\n", error.what(), written.c_str());
    std::abort();
  }
  // NaN keys never equal themselves, so such a mapping is compared through
  // its dump, which is canonical (keys sorted, equal ones in their order).
  if (!same(general, again, false) && yaml::dump(again) != written) {
    fail("the dump loads to other data", general, again);
  }
  return 0;
}
