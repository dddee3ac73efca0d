#include "yaml_cpp_baseline.hpp"

#include <yaml-cpp/yaml.h>

#include <cstdint>

#include "framework/yaml/yaml_scalar.hpp"
#include "tarvex/utils/yaml.hpp"

namespace bench::yaml_cpp_baseline {
namespace {

using tarvex::List;
using tarvex::Map;
using tarvex::Value;
using tarvex::utils::yaml::YAMLError;
namespace scalar = tarvex::utils::yaml::scalar;

// yaml-cpp tags a plain untagged scalar "?", a quoted or block one "!", and
// gives explicit tags as written; only plain scalars are typed.
Value scalar_value(const YAML::Node& node, const std::string& path) {
  const std::string& text = node.Scalar();
  if (node.Tag() != "?") return Value(text);
  switch (scalar::resolve(text)) {
    case scalar::Plain::Null: return Value();
    case scalar::Plain::Bool: {
      bool value = false;
      scalar::to_bool(text, value);
      return Value(value);
    }
    case scalar::Plain::Int: {
      std::int64_t value = 0;
      if (scalar::to_int(text, value) != scalar::IntResult::Ok) {
        throw YAMLError(path + ", line " + std::to_string(node.Mark().line + 1) + ": the integer " + text +
                        " does not fit in 64 bits");
      }
      return Value(value);
    }
    case scalar::Plain::Float: {
      double value = 0;
      scalar::to_float(text, value);
      return Value(value);
    }
    // Timestamps, `<<` and `=` stay text, as do all other strings.
    default: return Value(text);
  }
}

Value convert(const YAML::Node& node, const std::string& path) {
  switch (node.Type()) {
    case YAML::NodeType::Scalar: return scalar_value(node, path);
    case YAML::NodeType::Sequence: {
      List list;
      list.reserve(node.size());
      for (const YAML::Node& item : node) list.push_back(convert(item, path));
      return Value(std::move(list));
    }
    case YAML::NodeType::Map: {
      Map map;
      map.reserve(node.size());
      for (const auto& entry : node) {
        Value key = convert(entry.first, path);
        if (!key.is_scalar()) {
          throw YAMLError(path + ", line " + std::to_string(entry.first.Mark().line + 1) +
                          ": a mapping key must be a scalar");
        }
        map.insert_or_assign(std::move(key), convert(entry.second, path));
      }
      return Value(std::move(map));
    }
    case YAML::NodeType::Null:
    case YAML::NodeType::Undefined: break;
  }
  return Value();
}

}  // namespace

Value load_file(const std::string& path) {
  YAML::Node root;
  try {
    root = YAML::LoadFile(path);
  } catch (const YAML::Exception& error) {
    throw YAMLError("cannot load the YAML file " + path + " with yaml-cpp: " + error.what());
  }
  return convert(root, path);
}

}  // namespace bench::yaml_cpp_baseline
