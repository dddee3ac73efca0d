// Builds the Value of one YAML document straight from the parser's events
// (there is no intermediate node tree), giving plain scalars their YAML 1.1
// types, checking tags, and resolving aliases, merge keys (<<) and
// duplicate keys the way YAML 1.1 safe loaders do.  It also enforces the
// depth and alias-expansion limits, so that no document can exhaust the
// stack or the memory.  When asked, it tells of keys written twice and of
// strings holding control characters, with where they are.
#pragma once

#include <yaml.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "framework/yaml/yaml_limits.hpp"
#include "framework/yaml/yaml_source_error.hpp"
#include "tarvex/utils/yaml.hpp"
#include "tarvex/value.hpp"

namespace tarvex::utils::yaml {

class DocumentBuilder {
 public:
  // `source` names the text in error messages and must outlive the
  // builder, as must `options` (when given).
  DocumentBuilder(std::string_view source, const LoadLimits& limits, const LoadOptions* options = nullptr)
      : source_(source),
        limits_(limits),
        on_duplicate_(options && options->on_duplicate ? &options->on_duplicate : nullptr),
        on_control_characters_(options && options->on_control_characters ? &options->on_control_characters : nullptr) {}

  // Takes one node event of the document: a scalar, an alias, or the start
  // or end of a sequence or mapping.  YAMLError when the node cannot be
  // built.
  void add_event(const yaml_event_t& event);

  Value take_result() { return std::move(result_); }

 private:
  // What a node costs once built: its nodes, the bytes of its text, and
  // how many levels of collections it holds.
  struct Weight {
    std::size_t nodes = 0;
    std::size_t text_bytes = 0;
    std::size_t height = 0;
  };

  struct Anchored {
    Value value;
    Weight weight;
    bool complete = false;
  };

  // A sequence or mapping whose items are still being read.
  struct Collection {
    bool is_map = false;
    Mark mark;
    std::string anchor;
    Weight weight{1, 0, 1};
    List list;
    Map map;
    // Mapping entries arrive as a key node, then a value node.
    bool have_key = false;
    bool key_is_merge = false;
    Value key;
    // Where the key is, and where each of the mapping's own keys is (in
    // the order they came), kept only to tell of duplicates.
    Mark key_mark;
    std::vector<Mark> key_marks;
    // Mappings merged in through `<<`, in the order their entries apply.
    std::vector<Map> merged;
  };

  void scalar(const yaml_event_t& event);
  void alias(const yaml_event_t& event);
  void open(const yaml_event_t& event, const yaml_char_t* tag, const yaml_char_t* anchor, bool is_map);
  void close();

  Value plain(const Mark& mark, std::string_view text, bool& merge_key) const;
  Value tagged_scalar(const Mark& mark, std::string_view tag, std::string_view text) const;
  std::int64_t make_int(const Mark& mark, std::string_view text) const;
  double make_float(const Mark& mark, std::string_view text) const;
  void check_collection_tag(const Mark& mark, std::string_view tag, std::string_view own_tag,
                            std::string_view what) const;
  YAMLError unsupported_tag(const Mark& mark, std::string_view tag) const;
  void add_merge(Collection& target, Value value, const Mark& mark) const;
  void add_entry_telling_duplicates(Collection& top, Value value);
  // The keys and sequence indexes that lead from the document's root to
  // the node being read in the collection at `depth` of the stack.
  List path_to(std::size_t depth) const;
  void check_control_characters(const Value& value, const Mark& mark) const;
  // Places a finished node in the collection being read (or makes it the
  // document) and records it under its anchor.
  void add(Value value, const Mark& mark, std::string_view anchor, const Weight& weight, bool merge_key = false);

  std::string_view source_;
  const LoadLimits& limits_;
  const std::function<void(const DuplicateKey&)>* on_duplicate_;
  const std::function<void(const ControlCharacters&)>* on_control_characters_;
  std::vector<Collection> stack_;
  std::unordered_map<std::string, Anchored> anchors_;
  std::size_t aliased_nodes_ = 0;
  std::size_t aliased_text_bytes_ = 0;
  Value result_;
};

}  // namespace tarvex::utils::yaml
