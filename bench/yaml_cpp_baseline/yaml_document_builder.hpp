// Builds the Value of one YAML document from yaml-cpp's parser events,
// giving plain scalars their YAML 1.1 types, checking tags, and resolving
// aliases, merge keys (<<) and duplicate keys the way YAML 1.1 safe
// loaders do.
#pragma once

#include <yaml-cpp/anchor.h>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/mark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tarvex/utils/yaml.hpp"
#include "tarvex/value.hpp"

namespace tarvex::utils::yaml::baseline {

class DocumentBuilder : public YAML::EventHandler {
 public:
  // `text` is the document's source, which must outlive the builder;
  // `source` names it in error messages.
  DocumentBuilder(std::string_view text, std::string_view source);

  Value take_result() { return std::move(result_); }

  void OnDocumentStart(const YAML::Mark&) override {}
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override;
  void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override;
  void OnScalar(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                const std::string& text) override;
  void OnSequenceStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                       YAML::EmitterStyle::value style) override;
  void OnSequenceEnd() override;
  void OnMapStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                  YAML::EmitterStyle::value style) override;
  void OnMapEnd() override;

 private:
  struct Anchored {
    Value value;
    std::size_t nodes = 0;
    bool complete = false;
  };

  // A sequence or mapping whose items are still being read.
  struct Collection {
    bool is_map = false;
    YAML::Mark mark;
    YAML::anchor_t anchor = YAML::NullAnchor;
    std::size_t nodes = 1;  // in the subtree, for the alias expansion limit
    List list;
    Map map;
    // Mapping entries arrive as a key node, then a value node.
    bool have_key = false;
    bool key_is_merge = false;
    Value key;
    // Mappings merged in through `<<`, in the order their entries apply.
    std::vector<Map> merged;
  };

  void add_plain(const YAML::Mark& mark, YAML::anchor_t anchor, const std::string& text);
  std::string quoted_or_block_text(const YAML::Mark& mark, const std::string& parsed) const;
  Value tagged_scalar(const YAML::Mark& mark, const std::string& tag, const std::string& text) const;
  std::int64_t make_int(const YAML::Mark& mark, const std::string& text) const;
  double make_float(const YAML::Mark& mark, const std::string& text) const;
  void check_collection_tag(const YAML::Mark& mark, const std::string& tag, std::string_view own_tag,
                            std::string_view what) const;
  YAMLError unsupported_tag(const YAML::Mark& mark, const std::string& tag) const;
  bool in_key_position() const;
  void open(const YAML::Mark& mark, YAML::anchor_t anchor, bool is_map);
  void close();
  void add_merge(Collection& target, Value value, const YAML::Mark& mark) const;
  // Places a finished node in the collection being read (or makes it the
  // document) and records it under its anchor.
  void add(Value value, const YAML::Mark& mark, YAML::anchor_t anchor, std::size_t nodes, bool merge_key = false);

  std::string_view text_;
  std::string_view source_;
  std::size_t mark_offset_ = 0;
  bool reread_quoted_ = true;
  std::vector<Collection> stack_;
  std::vector<Anchored> anchors_;  // by yaml-cpp's anchor number
  std::size_t aliased_nodes_ = 0;
  Value result_;
};

}  // namespace tarvex::utils::yaml::baseline
