#include "framework/yaml/yaml_document_builder.hpp"

#include <algorithm>
#include <utility>

#include "framework/yaml/yaml_scalar.hpp"

namespace tarvex::utils::yaml {
namespace {

constexpr std::string_view kCoreTagPrefix = "tag:yaml.org,2002:";

// Tags as they are written in documents: `!!int` rather than its full form.
std::string written_tag(std::string_view tag) {
  if (tag.starts_with(kCoreTagPrefix)) return "!!" + std::string(tag.substr(kCoreTagPrefix.size()));
  return std::string(tag);
}

std::string_view text_of(const yaml_char_t* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

Mark mark_of(const yaml_event_t& event) { return Mark{event.start_mark.line, event.start_mark.column}; }

Position position_of(const Mark& mark) { return Position{mark.line + 1, mark.column + 1}; }

// The control characters a text file must not carry (tab, line feed and
// carriage return are text).
bool is_refused_control(unsigned char c) { return (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F; }

// The reference loaders put the merged entries before the mapping's own
// and then build the mapping entry by entry: a key keeps the position of
// its first occurrence and takes its last value, so the mapping's own
// entries win and, among merged mappings, the one listed first wins.
Map apply_merges(std::vector<Map>& merged, Map& own) {
  Map out;
  for (Map& source : merged) {
    for (auto&& [key, value] : source) out.insert_or_assign(key, std::move(value));
  }
  for (auto&& [key, value] : own) out.insert_or_assign(key, std::move(value));
  return out;
}

}  // namespace

void DocumentBuilder::add_event(const yaml_event_t& event) {
  switch (event.type) {
    case YAML_SCALAR_EVENT: scalar(event); return;
    case YAML_ALIAS_EVENT: alias(event); return;
    case YAML_SEQUENCE_START_EVENT:
      open(event, event.data.sequence_start.tag, event.data.sequence_start.anchor, false);
      return;
    case YAML_MAPPING_START_EVENT:
      open(event, event.data.mapping_start.tag, event.data.mapping_start.anchor, true);
      return;
    case YAML_SEQUENCE_END_EVENT:
    case YAML_MAPPING_END_EVENT: close(); return;
    default: throw error_at(source_, mark_of(event), "unexpected parser event inside a document");
  }
}

void DocumentBuilder::scalar(const yaml_event_t& event) {
  const auto& data = event.data.scalar;
  const std::string_view text(reinterpret_cast<const char*>(data.value), data.length);
  const Mark mark = mark_of(event);
  bool merge_key = false;
  Value value;
  if (!data.tag) {
    // Untagged: plain scalars are typed, quoted and block scalars are text.
    value = data.style == YAML_PLAIN_SCALAR_STYLE ? plain(mark, text, merge_key) : Value(std::string(text));
  } else if (text_of(data.tag) == "!") {
    value = Value(std::string(text));
  } else {
    value = tagged_scalar(mark, text_of(data.tag), text);
  }
  if (on_control_characters_ && value.is_str()) check_control_characters(value, mark);
  add(std::move(value), mark, text_of(data.anchor), Weight{1, text.size(), 0}, merge_key);
}

void DocumentBuilder::alias(const yaml_event_t& event) {
  const Mark mark = mark_of(event);
  const std::string_view name = text_of(event.data.alias.anchor);
  const auto found = anchors_.find(std::string(name));
  if (found == anchors_.end()) throw error_at(source_, mark, "found undefined alias " + py_repr(name));
  const Anchored& target = found->second;
  if (!target.complete) {
    throw error_at(source_, mark, "an alias refers to a node that contains it; recursive data is not supported");
  }
  aliased_nodes_ += target.weight.nodes;
  aliased_text_bytes_ += target.weight.text_bytes;
  if (aliased_nodes_ > limits_.max_alias_nodes) {
    throw error_at(source_, mark,
                   "aliases expand the document beyond " + std::to_string(limits_.max_alias_nodes) + " nodes");
  }
  if (aliased_text_bytes_ > limits_.max_alias_text_bytes) {
    throw error_at(
        source_, mark,
        "aliases expand the document beyond " + std::to_string(limits_.max_alias_text_bytes) + " bytes of text");
  }
  if (stack_.size() + target.weight.height > limits_.max_depth) {
    throw error_at(
        source_, mark,
        "the alias nests collections deeper than the limit of " + std::to_string(limits_.max_depth) + " levels");
  }
  add(target.value, mark, {}, target.weight);
}

Value DocumentBuilder::plain(const Mark& mark, std::string_view text, bool& merge_key) const {
  switch (scalar::resolve(text)) {
    case scalar::Plain::Null: return Value();
    case scalar::Plain::Bool: {
      bool value = false;
      scalar::to_bool(text, value);
      return Value(value);
    }
    case scalar::Plain::Int: return Value(make_int(mark, text));
    case scalar::Plain::Float: return Value(make_float(mark, text));
    case scalar::Plain::Merge: merge_key = !stack_.empty() && stack_.back().is_map && !stack_.back().have_key; break;
    // Timestamps stay text: there is no date type among our values.
    // A lone `=` is a string, as it is in key position for the reference
    // loaders (which refuse it as a value).
    case scalar::Plain::Timestamp:
    case scalar::Plain::ValueKey:
    case scalar::Plain::Str: break;
  }
  return Value(std::string(text));
}

Value DocumentBuilder::tagged_scalar(const Mark& mark, std::string_view tag, std::string_view text) const {
  if (!tag.starts_with(kCoreTagPrefix)) throw unsupported_tag(mark, tag);
  const std::string_view name = tag.substr(kCoreTagPrefix.size());
  if (name == "str") return Value(std::string(text));
  if (name == "int") return Value(make_int(mark, text));
  if (name == "float") return Value(make_float(mark, text));
  if (name == "null") return Value();
  if (name == "bool") {
    bool value = false;
    if (!scalar::to_bool(text, value)) {
      throw error_at(source_, mark, "the !!bool scalar " + py_repr(text) + " is not a boolean");
    }
    return Value(value);
  }
  if (name == "map" || name == "seq") {
    throw error_at(source_, mark, "the tag " + written_tag(tag) + " does not apply to a scalar");
  }
  throw unsupported_tag(mark, tag);
}

std::int64_t DocumentBuilder::make_int(const Mark& mark, std::string_view text) const {
  std::int64_t value = 0;
  switch (scalar::to_int(text, value)) {
    case scalar::IntResult::Ok: return value;
    case scalar::IntResult::Overflow:
      // There are no big integers among our values.
      throw error_at(source_, mark, "the integer " + std::string(text) + " does not fit in 64 bits");
    case scalar::IntResult::Invalid: break;
  }
  throw error_at(source_, mark, py_repr(text) + " is not an integer");
}

double DocumentBuilder::make_float(const Mark& mark, std::string_view text) const {
  double value = 0;
  if (!scalar::to_float(text, value)) throw error_at(source_, mark, py_repr(text) + " is not a float");
  return value;
}

void DocumentBuilder::check_collection_tag(const Mark& mark, std::string_view tag, std::string_view own_tag,
                                           std::string_view what) const {
  if (tag.empty() || tag == "!") return;
  if (tag.starts_with(kCoreTagPrefix)) {
    const std::string_view name = tag.substr(kCoreTagPrefix.size());
    if (name == own_tag) return;
    if (name == "str" || name == "int" || name == "float" || name == "bool" || name == "null" || name == "map" ||
        name == "seq") {
      throw error_at(source_, mark, "the tag " + written_tag(tag) + " does not apply to " + std::string(what));
    }
  }
  throw unsupported_tag(mark, tag);
}

YAMLError DocumentBuilder::unsupported_tag(const Mark& mark, std::string_view tag) const {
  return error_at(source_, mark, "unsupported tag " + written_tag(tag));
}

void DocumentBuilder::open(const yaml_event_t& event, const yaml_char_t* tag, const yaml_char_t* anchor, bool is_map) {
  const Mark mark = mark_of(event);
  check_collection_tag(mark, text_of(tag), is_map ? "map" : "seq", is_map ? "a mapping" : "a sequence");
  if (stack_.size() >= limits_.max_depth) {
    throw error_at(source_, mark,
                   "collections are nested deeper than the limit of " + std::to_string(limits_.max_depth) + " levels");
  }
  Collection& collection = stack_.emplace_back();
  collection.is_map = is_map;
  collection.mark = mark;
  if (anchor) {
    collection.anchor = text_of(anchor);
    // Registered now and completed at the end, so that an alias inside the
    // node itself is recognised as recursion.
    anchors_[collection.anchor] = Anchored{};
  }
}

void DocumentBuilder::close() {
  Collection& top = stack_.back();
  Value value;
  if (!top.is_map) {
    value = Value(std::move(top.list));
  } else if (top.merged.empty()) {
    value = Value(std::move(top.map));
  } else {
    value = Value(apply_merges(top.merged, top.map));
  }
  const Mark mark = top.mark;
  const Weight weight = top.weight;
  const std::string anchor = std::move(top.anchor);
  stack_.pop_back();
  add(std::move(value), mark, anchor, weight);
}

void DocumentBuilder::add_merge(Collection& target, Value value, const Mark& mark) const {
  if (value.is_map()) {
    target.merged.push_back(std::move(value.as_map()));
    return;
  }
  if (value.is_list()) {
    List& sources = value.as_list();
    for (const Value& source : sources) {
      if (!source.is_map()) {
        throw error_at(source_, mark,
                       std::string("expected a mapping for merging, found ") + node_kind(source) + " in the list");
      }
    }
    for (auto it = sources.rbegin(); it != sources.rend(); ++it) target.merged.push_back(std::move(it->as_map()));
    return;
  }
  throw error_at(source_, mark,
                 std::string("expected a mapping or a list of mappings for merging, found ") + node_kind(value));
}

void DocumentBuilder::add(Value value, const Mark& mark, std::string_view anchor, const Weight& weight,
                          bool merge_key) {
  if (!anchor.empty()) anchors_[std::string(anchor)] = Anchored{value, weight, true};
  if (stack_.empty()) {
    result_ = std::move(value);
    return;
  }
  Collection& top = stack_.back();
  top.weight.nodes += weight.nodes;
  top.weight.text_bytes += weight.text_bytes;
  top.weight.height = std::max(top.weight.height, weight.height + 1);
  if (!top.is_map) {
    top.list.push_back(std::move(value));
    return;
  }
  if (!top.have_key) {
    if (!value.is_scalar()) {
      throw error_at(source_, mark, std::string("a mapping key must be a scalar, found ") + node_kind(value));
    }
    top.key = std::move(value);
    top.key_is_merge = merge_key;
    top.have_key = true;
    if (on_duplicate_) top.key_mark = mark;
    return;
  }
  top.have_key = false;
  if (top.key_is_merge) {
    add_merge(top, std::move(value), mark);
  } else if (!on_duplicate_) {
    top.map.insert_or_assign(std::move(top.key), std::move(value));
  } else {
    add_entry_telling_duplicates(top, std::move(value));
  }
}

void DocumentBuilder::add_entry_telling_duplicates(Collection& top, Value value) {
  // Nothing is erased from a mapping being read: an entry's position is
  // the number of keys that came before it.
  if (const std::optional<std::size_t> first = top.map.position_of(top.key)) {
    (*on_duplicate_)(DuplicateKey{path_to(stack_.size() - 1), top.key, position_of(top.key_marks[*first]),
                                  position_of(top.key_mark)});
  } else {
    top.key_marks.push_back(top.key_mark);
  }
  top.map.insert_or_assign(std::move(top.key), std::move(value));
}

List DocumentBuilder::path_to(std::size_t depth) const {
  List path;
  for (std::size_t i = 0; i < depth; ++i) {
    const Collection& collection = stack_[i];
    if (!collection.is_map) {
      path.emplace_back(static_cast<std::int64_t>(collection.list.size()));
    } else if (collection.have_key) {
      path.push_back(collection.key);
    } else {
      path.emplace_back();  // a collection as a key, which is refused once it ends
    }
  }
  return path;
}

void DocumentBuilder::check_control_characters(const Value& value, const Mark& mark) const {
  std::string found;
  for (const char c : value.as_str()) {
    if (is_refused_control(static_cast<unsigned char>(c)) && found.find(c) == std::string::npos) found += c;
  }
  if (found.empty()) return;
  const bool in_key = !stack_.empty() && stack_.back().is_map && !stack_.back().have_key;
  List path = path_to(in_key ? stack_.size() - 1 : stack_.size());
  if (in_key) path.push_back(value);
  (*on_control_characters_)(ControlCharacters{std::move(path), in_key, std::move(found), position_of(mark)});
}

}  // namespace tarvex::utils::yaml
