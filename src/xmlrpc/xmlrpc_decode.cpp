// The decoder: the XML reader's events turned straight into Values.
//
// The document's grammar is checked element by element against the element
// that encloses it; containers under construction live on an explicit stack
// (no recursion, so nesting costs heap, bounded by kMaxNesting, never
// stack).
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "tarvex/exceptions.hpp"
#include "xmlrpc_codec.hpp"
#include "xmlrpc_http.hpp"
#include "xmlrpc_xml.hpp"

namespace tarvex::xmlrpc::detail {

namespace {

enum class Tag {
  MethodCall,
  MethodName,
  MethodResponse,
  Params,
  Param,
  Fault,
  Value,
  Int,  // int, i1, i2, i4, i8
  Boolean,
  String,
  Double,
  DateTime,
  Base64,
  Nil,
  Array,
  Data,
  Struct,
  Member,
  Name,
};

// The tag of an element name, without a namespace prefix ("ex:nil" is
// "nil", as Python's reader treats it); nullopt for a name XML-RPC lacks.
std::optional<Tag> tag_of(std::string_view name) {
  if (const std::size_t colon = name.rfind(':'); colon != std::string_view::npos) name.remove_prefix(colon + 1);
  switch (name.size()) {
    case 2:
      if (name == "i4" || name == "i8" || name == "i1" || name == "i2") return Tag::Int;
      break;
    case 3:
      if (name == "int") return Tag::Int;
      if (name == "nil") return Tag::Nil;
      break;
    case 4:
      if (name == "name") return Tag::Name;
      if (name == "data") return Tag::Data;
      break;
    case 5:
      if (name == "value") return Tag::Value;
      if (name == "param") return Tag::Param;
      if (name == "array") return Tag::Array;
      if (name == "fault") return Tag::Fault;
      break;
    case 6:
      if (name == "member") return Tag::Member;
      if (name == "string") return Tag::String;
      if (name == "struct") return Tag::Struct;
      if (name == "double") return Tag::Double;
      if (name == "params") return Tag::Params;
      if (name == "base64") return Tag::Base64;
      break;
    case 7:
      if (name == "boolean") return Tag::Boolean;
      break;
    case 10:
      if (name == "methodCall") return Tag::MethodCall;
      if (name == "methodName") return Tag::MethodName;
      break;
    case 14:
      if (name == "methodResponse") return Tag::MethodResponse;
      break;
    case 16:
      if (name == "dateTime.iso8601") return Tag::DateTime;
      break;
    default: break;
  }
  return std::nullopt;
}

bool is_scalar(Tag tag) {
  switch (tag) {
    case Tag::Int:
    case Tag::Boolean:
    case Tag::String:
    case Tag::Double:
    case Tag::DateTime:
    case Tag::Base64:
    case Tag::Nil: return true;
    default: return false;
  }
}

// Whether `child` may appear directly inside `parent` (nullopt: the root).
bool allowed(std::optional<Tag> parent, Tag child, Decoder::Kind kind) {
  if (!parent) return child == (kind == Decoder::Kind::Call ? Tag::MethodCall : Tag::MethodResponse);
  switch (*parent) {
    case Tag::MethodCall: return child == Tag::MethodName || child == Tag::Params;
    case Tag::MethodResponse: return child == Tag::Params || child == Tag::Fault;
    case Tag::Params: return child == Tag::Param;
    case Tag::Param:
    case Tag::Fault:
    case Tag::Data: return child == Tag::Value;
    case Tag::Value: return is_scalar(child) || child == Tag::Array || child == Tag::Struct;
    case Tag::Array: return child == Tag::Data;
    case Tag::Struct: return child == Tag::Member;
    case Tag::Member: return child == Tag::Name || child == Tag::Value;
    default: return false;  // scalars and names hold text only
  }
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

std::optional<std::int64_t> parse_int(std::string_view text) {
  text = trim(text);
  if (text.starts_with('+')) text.remove_prefix(1);
  std::int64_t i = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return i;
}

std::optional<double> parse_double(std::string_view text) {
  text = trim(text);
  bool negative = false;
  if (text.starts_with('+') || text.starts_with('-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.starts_with('+') || text.starts_with('-')) return std::nullopt;
  double d = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
  // Out of range reads as an infinity or zero, as Python's float() does.
  if (ec == std::errc::result_out_of_range) {
    const std::string copy(text);
    d = std::strtod(copy.c_str(), nullptr);
  } else if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return negative ? -d : d;
}

// "20240102T03:04:05", also from the dashed ISO form, with fractional
// seconds and a zone dropped (Python's DateTime keeps whole seconds).
std::optional<std::string> parse_datetime(std::string_view text) {
  text = trim(text);
  std::string digits;
  std::size_t i = 0;
  const auto take = [&](std::size_t count, bool dash_allowed) {
    if (dash_allowed && i < text.size() && (text[i] == '-' || text[i] == ':')) ++i;
    for (std::size_t k = 0; k < count; ++k, ++i) {
      if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
      digits += text[i];
    }
    return true;
  };
  if (!take(4, false) || !take(2, true) || !take(2, true)) return std::nullopt;
  if (i >= text.size() || text[i] != 'T') return std::nullopt;
  ++i;
  if (!take(2, false) || !take(2, true) || !take(2, true)) return std::nullopt;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  }
  const std::string_view zone = text.substr(i);
  if (!zone.empty() && zone != "Z" && !((zone[0] == '+' || zone[0] == '-') && zone.size() <= 6)) return std::nullopt;
  return fmt::format("{}T{}:{}:{}", digits.substr(0, 8), digits.substr(8, 2), digits.substr(10, 2),
                     digits.substr(12, 2));
}

// An open element, with what the grammar needs to know about it.
struct Open {
  Tag tag;
  bool typed = false;      // Value: a type element was opened in it
  bool has_value = false;  // Param, Fault, Member: its <value> was given
  bool has_name = false;   // Member: its <name> was given
};

// An array or struct under construction: its items or members so far, in a
// scratch vector that the next container at the same depth reuses, so that
// the finished List or Map is allocated once at its exact size instead of
// growing step by step.
struct Container {
  List items;
  std::vector<std::pair<Value, Value>> members;
  std::string member_name;
  Value member_value;
};

const char* tag_name(Tag tag) {
  switch (tag) {
    case Tag::MethodCall: return "methodCall";
    case Tag::MethodName: return "methodName";
    case Tag::MethodResponse: return "methodResponse";
    case Tag::Params: return "params";
    case Tag::Param: return "param";
    case Tag::Fault: return "fault";
    case Tag::Value: return "value";
    case Tag::Int: return "int";
    case Tag::Boolean: return "boolean";
    case Tag::String: return "string";
    case Tag::Double: return "double";
    case Tag::DateTime: return "dateTime.iso8601";
    case Tag::Base64: return "base64";
    case Tag::Nil: return "nil";
    case Tag::Array: return "array";
    case Tag::Data: return "data";
    case Tag::Struct: return "struct";
    case Tag::Member: return "member";
    case Tag::Name: return "name";
  }
  return "?";
}

}  // namespace

struct Decoder::State final : XmlReader::Events {
  Decoder& owner;
  Decoder::Kind kind;
  XmlReader reader{*this};
  std::vector<Open> open;
  std::vector<Container> containers;  // by depth; kept for reuse when closed
  std::size_t depth = 0;              // arrays and structs open
  Container& innermost() { return containers[depth - 1]; }
  Value completed;           // the value of the type element just closed
  std::string chars;         // character data of the innermost element
  bool text_wanted = false;  // the innermost element holds chars
  bool has_name = false;     // methodName seen
  bool has_params = false;   // params or fault seen
  std::size_t response_params = 0;
  bool done = false;  // the root element has ended

  State(Decoder& d, Decoder::Kind k) : owner(d), kind(k) {}

  [[noreturn]] void fail(std::string_view message) {
    throw ValueError(fmt::format("{} (in the piece from byte {})", message, reader.offset()));
  }

  void start_element(std::string_view name) override { start(name); }
  void end_element() override { end(); }
  void text(std::string_view piece) override { characters(piece); }

  void start(std::string_view name) {
    if (done) fail("content after the end of the document");
    const std::optional<Tag> tag = tag_of(name);
    if (!tag) return fail(fmt::format("unknown element <{}>", name));
    Open* parent = open.empty() ? nullptr : &open.back();
    if (!allowed(parent ? std::optional<Tag>(parent->tag) : std::nullopt, *tag, kind)) {
      return fail(
          parent ? fmt::format("<{}> is not allowed in <{}>", name, tag_name(parent->tag))
                 : fmt::format("expected <{}>, not <{}>", kind == Kind::Call ? "methodCall" : "methodResponse", name));
    }
    if (parent) {
      switch (parent->tag) {
        case Tag::Value:
          if (parent->typed) return fail("a <value> holds one value");
          if (!trim(chars).empty()) return fail(fmt::format("text before <{}> in a <value>", name));
          parent->typed = true;
          break;
        case Tag::Param:
        case Tag::Fault:
          if (parent->has_value) return fail(fmt::format("more than one <value> in a <{}>", tag_name(parent->tag)));
          break;
        case Tag::Member:
          if (*tag == Tag::Value && parent->has_value) return fail("more than one <value> in a <member>");
          if (*tag == Tag::Name && parent->has_name) return fail("more than one <name> in a <member>");
          if (*tag == Tag::Value && !parent->has_name) return fail("a <member>'s <value> before its <name>");
          break;
        default: break;
      }
    }
    switch (*tag) {
      case Tag::MethodName:
        if (has_name) return fail("more than one <methodName>");
        break;
      case Tag::Params:
      case Tag::Fault:
        if (has_params) return fail("more than one <params> or <fault>");
        has_params = true;
        break;
      case Tag::Param:
        if (kind == Kind::Response && response_params > 0) return fail("a response holds one <param>");
        break;
      case Tag::Array:
      case Tag::Struct:
        if (depth >= kMaxNesting) {
          return fail(fmt::format("arrays and structs nested deeper than {} levels", kMaxNesting));
        }
        if (depth == containers.size()) containers.emplace_back();
        ++depth;
        break;
      default: break;
    }
    open.push_back(Open{*tag});
    chars.clear();
    text_wanted = is_scalar(*tag) || *tag == Tag::Value || *tag == Tag::Name || *tag == Tag::MethodName;
  }

  void characters(std::string_view piece) {
    if (text_wanted && open.back().tag != Tag::Nil) {
      chars.append(piece);
    } else if (!trim(piece).empty()) {
      fail(open.empty() ? "text outside the document element"
                        : fmt::format("text where <{}> allows only elements", tag_name(open.back().tag)));
    }
  }

  void end() {
    const Open closing = open.back();
    open.pop_back();
    text_wanted = false;
    switch (closing.tag) {
      case Tag::Int: {
        const std::optional<std::int64_t> i = parse_int(chars);
        if (!i) return fail(fmt::format("invalid integer {}", py_repr(chars.substr(0, 64))));
        completed = Value(*i);
        return;
      }
      case Tag::Boolean: {
        const std::string_view t = trim(chars);
        if (t != "0" && t != "1") return fail(fmt::format("invalid boolean {}", py_repr(chars.substr(0, 64))));
        completed = Value(t == "1");
        return;
      }
      case Tag::Double: {
        const std::optional<double> d = parse_double(chars);
        if (!d) return fail(fmt::format("invalid double {}", py_repr(chars.substr(0, 64))));
        completed = Value(*d);
        return;
      }
      case Tag::String: completed = Value(std::move(chars)); return;
      case Tag::Nil: completed = Value(); return;
      case Tag::DateTime: {
        std::optional<std::string> t = parse_datetime(chars);
        if (!t) return fail(fmt::format("invalid dateTime.iso8601 {}", py_repr(chars.substr(0, 64))));
        completed = Value(std::move(*t));
        return;
      }
      case Tag::Base64: {
        std::string compact;
        compact.reserve(chars.size());
        for (const char c : chars) {
          if (!is_space(c)) compact += c;
        }
        std::optional<std::string> bytes = base64_decode(compact);
        if (!bytes) return fail("invalid base64 data");
        completed = Value(std::move(*bytes));
        return;
      }
      case Tag::Array: {
        List& items = innermost().items;
        completed = Value(List(std::make_move_iterator(items.begin()), std::make_move_iterator(items.end())));
        items.clear();
        --depth;
      }
        return;
      case Tag::Struct: {
        // Members in order, a repeated name keeping its first place with
        // the later value.
        auto& members = innermost().members;
        Map map;
        map.reserve(members.size());
        for (auto& [name, value] : members) map.insert_or_assign(std::move(name), std::move(value));
        members.clear();
        completed = Value(std::move(map));
        --depth;
      }
        return;
      case Tag::Value: return deliver(closing.typed ? std::move(completed) : Value(std::move(chars)));
      case Tag::Name:
        innermost().member_name = std::move(chars);
        open.back().has_name = true;
        return;
      case Tag::MethodName:
        owner.method_ = std::move(chars);
        has_name = true;
        return;
      case Tag::Member: {
        if (!closing.has_name) return fail("a <member> without a <name>");
        if (!closing.has_value) return fail("a <member> without a <value>");
        Container& c = innermost();
        c.members.emplace_back(Value(std::move(c.member_name)), std::move(c.member_value));
        return;
      }
      case Tag::Param:
        if (!closing.has_value) return fail("a <param> without a <value>");
        return;
      case Tag::Fault:
        if (!closing.has_value) return fail("a <fault> without a <value>");
        return;
      case Tag::Params:
        if (kind == Kind::Response && response_params == 0) return fail("a response without a <param>");
        return;
      case Tag::Data: return;
      case Tag::MethodCall:
        if (!has_name) return fail("a call without a <methodName>");
        done = true;
        return;
      case Tag::MethodResponse:
        if (!has_params) return fail("a response without <params> or <fault>");
        done = true;
        return;
    }
  }

  // A completed <value> goes to the element that holds it.
  void deliver(Value v) {
    Open& holder = open.back();
    switch (holder.tag) {
      case Tag::Data: innermost().items.push_back(std::move(v)); return;
      case Tag::Member: innermost().member_value = std::move(v); break;
      case Tag::Param:
        if (kind == Kind::Call) {
          owner.params_.push_back(std::move(v));
        } else {
          owner.result_ = std::move(v);
          ++response_params;
        }
        break;
      case Tag::Fault: set_fault(v); break;
      default: break;
    }
    holder.has_value = true;
  }

  void set_fault(const Value& v) {
    const Value* code = v.is_map() ? v.as_map().find(Value("faultCode")) : nullptr;
    const Value* message = v.is_map() ? v.as_map().find(Value("faultString")) : nullptr;
    if (!code || !code->is_int() || !message || !message->is_str()) {
      return fail("a <fault> must hold a struct with faultCode (int) and faultString (string)");
    }
    owner.fault_ =
        Decoder::Fault{static_cast<int>(std::clamp<std::int64_t>(code->as_int(), std::numeric_limits<int>::min(),
                                                                 std::numeric_limits<int>::max())),
                       message->as_str()};
  }
};

Decoder::Decoder(Kind kind) : state_(std::make_unique<State>(*this, kind)) {}

Decoder::~Decoder() = default;

// Every failure reads "malformed XML-RPC call: ..." (or "response"), so that
// the peer learns what was wrong with what it sent.
template <class Step>
void run_step(Decoder::Kind kind, const Step& step) {
  try {
    step();
  } catch (const ValueError& e) {
    throw ValueError(
        fmt::format("malformed XML-RPC {}: {}", kind == Decoder::Kind::Call ? "call" : "response", e.message()));
  }
}

void Decoder::feed(std::string_view data) {
  run_step(state_->kind, [&] { state_->reader.feed(data); });
}

void Decoder::finish() {
  run_step(state_->kind, [&] {
    state_->reader.finish();
    if (!state_->done) state_->fail("incomplete document");
  });
}

}  // namespace tarvex::xmlrpc::detail
