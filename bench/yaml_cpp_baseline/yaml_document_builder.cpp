#include "yaml_document_builder.hpp"

#include <utility>

#include "framework/core/utf8.hpp"
#include "framework/yaml/yaml_scalar.hpp"
#include "yaml_quoted_scalar.hpp"
#include "yaml_source_error.hpp"

namespace tarvex::utils::yaml::baseline {
namespace {

constexpr std::string_view kCoreTagPrefix = "tag:yaml.org,2002:";

// Aliases copy the node they refer to, so a small document can describe an
// enormous one; past this many copied nodes the document is refused.
constexpr std::size_t kMaxAliasedNodes = 5'000'000;

// Tags as they are written in documents: `!!int` rather than its full form.
std::string written_tag(std::string_view tag) {
  if (tag.starts_with(kCoreTagPrefix)) return "!!" + std::string(tag.substr(kCoreTagPrefix.size()));
  return std::string(tag);
}

// yaml-cpp decodes the escapes \N and \_ of double-quoted scalars into the
// single bytes 0x85 and 0xA0 instead of the UTF-8 forms of U+0085 and
// U+00A0; such a byte is the only way a stray byte can appear in a scalar
// from a well-formed file, so it is re-encoded.
void repair_escaped_latin1(std::string& text) {
  std::size_t pos = 0;
  while (pos < text.size() && static_cast<unsigned char>(text[pos]) < 0x80) ++pos;
  if (pos == text.size()) return;
  std::string repaired(text, 0, pos);
  while (pos < text.size()) {
    char32_t code_point = 0;
    const std::size_t length = utf8::decode(text, pos, code_point);
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (length == 0 && (byte == 0x85 || byte == 0xA0)) {
      repaired += '\xC2';
      repaired += text[pos];
      ++pos;
    } else {
      const std::size_t take = length ? length : 1;
      repaired.append(text, pos, take);
      pos += take;
    }
  }
  text = std::move(repaired);
}

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

DocumentBuilder::DocumentBuilder(std::string_view text, std::string_view source) : text_(text), source_(source) {
  // Marks count bytes after a UTF-8 byte order mark.  In UTF-16 and UTF-32
  // input they do not match byte offsets, so quoted scalars are left to
  // the parser there.
  if (text.starts_with("\xEF\xBB\xBF")) mark_offset_ = 3;
  reread_quoted_ = !(text.starts_with("\xFE\xFF") || text.starts_with("\xFF\xFE") ||
                     (text.size() >= 2 && (text[0] == '\0' || text[1] == '\0')));
}

void DocumentBuilder::OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) { add(Value(), mark, anchor, 1); }

void DocumentBuilder::OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) {
  if (anchor >= anchors_.size() || !anchors_[anchor].complete) {
    throw error_at(source_, mark, "an alias refers to a node that contains it; recursive data is not supported");
  }
  const Anchored& target = anchors_[anchor];
  aliased_nodes_ += target.nodes;
  if (aliased_nodes_ > kMaxAliasedNodes) {
    throw error_at(source_, mark, "aliases expand the document beyond " + std::to_string(kMaxAliasedNodes) + " nodes");
  }
  add(target.value, mark, YAML::NullAnchor, target.nodes);
}

void DocumentBuilder::OnScalar(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                               const std::string& text) {
  if (tag == "?") {
    add_plain(mark, anchor, text);
  } else if (tag == "!") {
    add(Value(quoted_or_block_text(mark, text)), mark, anchor, 1);
  } else {
    add(tagged_scalar(mark, tag, text), mark, anchor, 1);
  }
}

void DocumentBuilder::OnSequenceStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                                      YAML::EmitterStyle::value) {
  check_collection_tag(mark, tag, "seq", "a sequence");
  open(mark, anchor, false);
}

void DocumentBuilder::OnSequenceEnd() { close(); }

void DocumentBuilder::OnMapStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                                 YAML::EmitterStyle::value) {
  check_collection_tag(mark, tag, "map", "a mapping");
  open(mark, anchor, true);
}

void DocumentBuilder::OnMapEnd() { close(); }

void DocumentBuilder::add_plain(const YAML::Mark& mark, YAML::anchor_t anchor, const std::string& text) {
  switch (scalar::resolve(text)) {
    case scalar::Plain::Null: add(Value(), mark, anchor, 1); return;
    case scalar::Plain::Bool: {
      bool value = false;
      scalar::to_bool(text, value);
      add(Value(value), mark, anchor, 1);
      return;
    }
    case scalar::Plain::Int: add(Value(make_int(mark, text)), mark, anchor, 1); return;
    case scalar::Plain::Float: add(Value(make_float(mark, text)), mark, anchor, 1); return;
    case scalar::Plain::Merge:
      if (in_key_position()) {
        add(Value(text), mark, anchor, 1, true);
        return;
      }
      break;
    // Timestamps stay text: there is no date type among our values.
    // A lone `=` is a string, as it is in key position for the reference
    // loaders (which refuse it as a value).
    case scalar::Plain::Timestamp:
    case scalar::Plain::ValueKey:
    case scalar::Plain::Str: break;
  }
  add(Value(text), mark, anchor, 1);
}

// Multi-line quoted scalars are folded from the source (see
// yaml_quoted_scalar.hpp); other quoted and block scalars keep the
// parser's text, with its misdecoded escapes repaired.
std::string DocumentBuilder::quoted_or_block_text(const YAML::Mark& mark, const std::string& parsed) const {
  if (reread_quoted_ && mark.pos >= 0) {
    std::size_t pos = static_cast<std::size_t>(mark.pos) + mark_offset_;
    // The mark is at the node's tag or anchor when it has one.
    const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (pos < text_.size() && (text_[pos] == '!' || text_[pos] == '&')) {
      while (pos < text_.size() && !is_space(text_[pos])) ++pos;
      while (pos < text_.size() && is_space(text_[pos])) ++pos;
    }
    QuotedScalar quoted = read_quoted_scalar(text_, pos);
    if (quoted.status == QuotedScalar::Status::Folded) return std::move(quoted.value);
    if (quoted.status == QuotedScalar::Status::Unterminated) {
      throw error_at(source_, mark, "a quoted scalar is not closed before the end of the text");
    }
  }
  std::string value = parsed;
  repair_escaped_latin1(value);
  return value;
}

Value DocumentBuilder::tagged_scalar(const YAML::Mark& mark, const std::string& tag, const std::string& text) const {
  if (!tag.starts_with(kCoreTagPrefix)) throw unsupported_tag(mark, tag);
  const std::string_view name = std::string_view(tag).substr(kCoreTagPrefix.size());
  if (name == "str") return Value(quoted_or_block_text(mark, text));
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

std::int64_t DocumentBuilder::make_int(const YAML::Mark& mark, const std::string& text) const {
  std::int64_t value = 0;
  switch (scalar::to_int(text, value)) {
    case scalar::IntResult::Ok: return value;
    case scalar::IntResult::Overflow:
      // There are no big integers among our values.
      throw error_at(source_, mark, "the integer " + text + " does not fit in 64 bits");
    case scalar::IntResult::Invalid: break;
  }
  throw error_at(source_, mark, py_repr(text) + " is not an integer");
}

double DocumentBuilder::make_float(const YAML::Mark& mark, const std::string& text) const {
  double value = 0;
  if (!scalar::to_float(text, value)) throw error_at(source_, mark, py_repr(text) + " is not a float");
  return value;
}

void DocumentBuilder::check_collection_tag(const YAML::Mark& mark, const std::string& tag, std::string_view own_tag,
                                           std::string_view what) const {
  if (tag == "?" || tag == "!" || tag.empty()) return;
  if (tag.starts_with(kCoreTagPrefix)) {
    const std::string_view name = std::string_view(tag).substr(kCoreTagPrefix.size());
    if (name == own_tag) return;
    if (name == "str" || name == "int" || name == "float" || name == "bool" || name == "null" || name == "map" ||
        name == "seq") {
      throw error_at(source_, mark, "the tag " + written_tag(tag) + " does not apply to " + std::string(what));
    }
  }
  throw unsupported_tag(mark, tag);
}

YAMLError DocumentBuilder::unsupported_tag(const YAML::Mark& mark, const std::string& tag) const {
  return error_at(source_, mark, "unsupported tag " + written_tag(tag));
}

bool DocumentBuilder::in_key_position() const {
  return !stack_.empty() && stack_.back().is_map && !stack_.back().have_key;
}

void DocumentBuilder::open(const YAML::Mark& mark, YAML::anchor_t anchor, bool is_map) {
  if (anchor != YAML::NullAnchor) {
    // Registered now and completed at the end, so that an alias inside the
    // node itself is recognised as recursion.
    if (anchor >= anchors_.size()) anchors_.resize(anchor + 1);
    anchors_[anchor] = Anchored{};
  }
  Collection& collection = stack_.emplace_back();
  collection.is_map = is_map;
  collection.mark = mark;
  collection.anchor = anchor;
}

void DocumentBuilder::close() {
  Collection collection = std::move(stack_.back());
  stack_.pop_back();
  Value value;
  if (!collection.is_map) {
    value = Value(std::move(collection.list));
  } else if (collection.merged.empty()) {
    value = Value(std::move(collection.map));
  } else {
    value = Value(apply_merges(collection.merged, collection.map));
  }
  add(std::move(value), collection.mark, collection.anchor, collection.nodes);
}

void DocumentBuilder::add_merge(Collection& target, Value value, const YAML::Mark& mark) const {
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

void DocumentBuilder::add(Value value, const YAML::Mark& mark, YAML::anchor_t anchor, std::size_t nodes,
                          bool merge_key) {
  if (anchor != YAML::NullAnchor) {
    if (anchor >= anchors_.size()) anchors_.resize(anchor + 1);
    anchors_[anchor] = Anchored{value, nodes, true};
  }
  if (stack_.empty()) {
    result_ = std::move(value);
    return;
  }
  Collection& top = stack_.back();
  top.nodes += nodes;
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
    return;
  }
  top.have_key = false;
  if (top.key_is_merge) {
    add_merge(top, std::move(value), mark);
  } else {
    top.map.insert_or_assign(std::move(top.key), std::move(value));
  }
}

}  // namespace tarvex::utils::yaml::baseline
