// The decoder: expat's events turned straight into Values.
//
// The document's grammar is checked element by element against the element
// that encloses it; containers under construction live on an explicit stack
// (no recursion, so nesting costs heap, bounded by kMaxNesting, never
// stack).  An error inside a handler stops the parser and is raised from
// feed() or finish(), never thrown through expat's C frames.
#include <expat.h>
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

// The element's name without a namespace prefix ("ex:nil" is "nil"), as
// Python's reader treats it.
std::string_view local_name(const char* name) {
  std::string_view s(name);
  const std::size_t colon = s.rfind(':');
  return colon == std::string_view::npos ? s : s.substr(colon + 1);
}

std::optional<Tag> tag_of(std::string_view name) {
  static constexpr std::pair<std::string_view, Tag> kTags[] = {
      {"value", Tag::Value},
      {"string", Tag::String},
      {"member", Tag::Member},
      {"name", Tag::Name},
      {"struct", Tag::Struct},
      {"i4", Tag::Int},
      {"int", Tag::Int},
      {"i8", Tag::Int},
      {"boolean", Tag::Boolean},
      {"double", Tag::Double},
      {"nil", Tag::Nil},
      {"array", Tag::Array},
      {"data", Tag::Data},
      {"param", Tag::Param},
      {"params", Tag::Params},
      {"methodCall", Tag::MethodCall},
      {"methodName", Tag::MethodName},
      {"methodResponse", Tag::MethodResponse},
      {"fault", Tag::Fault},
      {"dateTime.iso8601", Tag::DateTime},
      {"base64", Tag::Base64},
      {"i1", Tag::Int},
      {"i2", Tag::Int},
  };
  for (const auto& [text, tag] : kTags) {
    if (text == name) return tag;
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

// A container under construction, or the member or parameter slot that the
// next completed value goes to.
struct Frame {
  Tag tag = Tag::Value;
  List list;         // Array: the items so far
  Map map;           // Struct: the members so far
  std::string name;  // Member: its name
  bool has_name = false;
  bool has_value = false;  // Member, Param, Fault, Value: one value given
  Value value;             // Member, Param, Fault: that value
  bool typed = false;      // Value: a type element was opened
};

}  // namespace

struct Decoder::State {
  Decoder& owner;
  Decoder::Kind kind;
  XML_Parser parser = nullptr;
  std::vector<Frame> frames;
  std::size_t nesting = 0;   // arrays and structs open
  std::string text;          // character data of the innermost element
  bool text_wanted = false;  // the innermost element holds text
  bool has_name = false;     // methodName seen
  bool has_params = false;
  bool done = false;  // the root element has ended
  std::size_t response_params = 0;
  std::string error;  // set when a handler stopped the parser

  State(Decoder& d, Decoder::Kind k) : owner(d), kind(k) {
    parser = XML_ParserCreate(nullptr);
    if (!parser) throw std::bad_alloc();
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, &State::on_start, &State::on_end);
    XML_SetCharacterDataHandler(parser, &State::on_text);
    XML_SetStartDoctypeDeclHandler(parser, &State::on_doctype);
    XML_SetEntityDeclHandler(parser, &State::on_entity);
  }
  ~State() { XML_ParserFree(parser); }

  void fail(std::string message) {
    if (error.empty()) {
      error = fmt::format("{} (line {}, column {})", message, XML_GetCurrentLineNumber(parser),
                          XML_GetCurrentColumnNumber(parser) + 1);
    }
    XML_StopParser(parser, XML_FALSE);
  }

  template <class Handler>
  static void guarded(void* data, Handler handler) {
    auto* self = static_cast<State*>(data);
    if (!self->error.empty()) return;
    try {
      handler(*self);
    } catch (const std::exception& e) {
      self->fail(e.what());
    } catch (...) {
      self->fail("unknown error");
    }
  }

  static void XMLCALL on_doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    guarded(data, [](State& s) { s.fail("a DOCTYPE is not allowed in XML-RPC"); });
  }

  static void XMLCALL on_entity(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                const XML_Char*, const XML_Char*, const XML_Char*) {
    guarded(data, [](State& s) { s.fail("an entity declaration is not allowed in XML-RPC"); });
  }

  static void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char**) {
    guarded(data, [name](State& s) { s.start(local_name(name)); });
  }

  static void XMLCALL on_end(void* data, const XML_Char*) {
    guarded(data, [](State& s) { s.end(); });
  }

  static void XMLCALL on_text(void* data, const XML_Char* chars, int length) {
    guarded(data, [=](State& s) { s.characters(std::string_view(chars, static_cast<std::size_t>(length))); });
  }

  void start(std::string_view name) {
    if (done) return fail("content after the end of the document");
    const std::optional<Tag> tag = tag_of(name);
    if (!tag) return fail(fmt::format("unknown element <{}>", name));
    const std::optional<Tag> parent = frames.empty() ? std::nullopt : std::optional<Tag>(frames.back().tag);
    if (!allowed(parent, *tag, kind)) {
      return fail(
          parent ? fmt::format("<{}> is not allowed here", name)
                 : fmt::format("expected <{}>, not <{}>", kind == Kind::Call ? "methodCall" : "methodResponse", name));
    }
    if (parent == Tag::Value) {
      Frame& value = frames.back();
      if (value.typed) return fail("a <value> holds one value");
      if (!trim(text).empty()) return fail(fmt::format("text before <{}> in a <value>", name));
      value.typed = true;
    }
    if (*tag == Tag::Value && (parent == Tag::Param || parent == Tag::Fault || parent == Tag::Member) &&
        frames.back().has_value) {
      return fail(fmt::format("more than one <value> in a <{}>", parent == Tag::Param   ? "param"
                                                                 : parent == Tag::Fault ? "fault"
                                                                                        : "member"));
    }
    if (*tag == Tag::Name && frames.back().has_name) return fail("more than one <name> in a <member>");
    if (*tag == Tag::MethodName && has_name) return fail("more than one <methodName>");
    if (*tag == Tag::Params || *tag == Tag::Fault) {
      if (has_params) return fail("more than one <params> or <fault>");
      has_params = true;
    }
    if (*tag == Tag::Param && kind == Kind::Response && response_params > 0) {
      return fail("a response holds one <param>");
    }
    if (*tag == Tag::Array || *tag == Tag::Struct) {
      if (nesting >= kMaxNesting)
        return fail(fmt::format("arrays and structs nested deeper than {} levels", kMaxNesting));
      ++nesting;
    }
    frames.emplace_back().tag = *tag;
    text.clear();
    text_wanted = is_scalar(*tag) || *tag == Tag::Value || *tag == Tag::Name || *tag == Tag::MethodName;
  }

  void characters(std::string_view chars) {
    if (text_wanted) {
      if (!frames.empty() && frames.back().tag == Tag::Value && frames.back().typed) {
        // Text after the value's type element.
        if (!trim(chars).empty()) fail("text after the value in a <value>");
        return;
      }
      if (!frames.empty() && frames.back().tag == Tag::Nil) {
        if (!trim(chars).empty()) fail("text in <nil>");
        return;
      }
      text.append(chars);
      return;
    }
    if (!trim(chars).empty()) {
      fail(frames.empty() ? "text outside the document element"
                          : fmt::format("text where <{}> allows only elements", tag_name(frames.back().tag)));
    }
  }

  static std::string_view tag_name(Tag tag) {
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

  // Hands a finished value to the <value> element that encloses it.
  void complete_scalar(Value v) {
    Frame& value = frames.back();  // the enclosing <value>
    value.value = std::move(v);
    value.has_value = true;
  }

  void end() {
    Frame frame = std::move(frames.back());
    frames.pop_back();
    text_wanted = false;
    switch (frame.tag) {
      case Tag::Int: {
        const std::optional<std::int64_t> i = parse_int(text);
        if (!i) return fail(fmt::format("invalid integer {}", py_repr(text.substr(0, 64))));
        return complete_scalar(Value(*i));
      }
      case Tag::Boolean: {
        const std::string_view t = trim(text);
        if (t != "0" && t != "1") return fail(fmt::format("invalid boolean {}", py_repr(text.substr(0, 64))));
        return complete_scalar(Value(t == "1"));
      }
      case Tag::Double: {
        const std::optional<double> d = parse_double(text);
        if (!d) return fail(fmt::format("invalid double {}", py_repr(text.substr(0, 64))));
        return complete_scalar(Value(*d));
      }
      case Tag::String: return complete_scalar(Value(std::move(text)));
      case Tag::Nil: return complete_scalar(Value());
      case Tag::DateTime: {
        std::optional<std::string> t = parse_datetime(text);
        if (!t) return fail(fmt::format("invalid dateTime.iso8601 {}", py_repr(text.substr(0, 64))));
        return complete_scalar(Value(std::move(*t)));
      }
      case Tag::Base64: {
        std::string compact;
        compact.reserve(text.size());
        for (const char c : text) {
          if (!is_space(c)) compact += c;
        }
        std::optional<std::string> bytes = base64_decode(compact);
        if (!bytes) return fail("invalid base64 data");
        return complete_scalar(Value(std::move(*bytes)));
      }
      case Tag::Array: --nesting; return complete_scalar(Value(std::move(frame.list)));
      case Tag::Struct: --nesting; return complete_scalar(Value(std::move(frame.map)));
      case Tag::Data: {
        // The array's items were gathered in the <data> frame.
        frames.back().list = std::move(frame.list);
        return;
      }
      case Tag::Value: {
        Value v = frame.typed ? std::move(frame.value) : Value(std::move(text));
        if (frame.typed && !frame.has_value) return fail("empty <value>");
        return deliver(std::move(v));
      }
      case Tag::Name:
        frames.back().name = std::move(text);
        frames.back().has_name = true;
        return;
      case Tag::MethodName:
        owner.method_ = std::move(text);
        has_name = true;
        return;
      case Tag::Member: {
        if (!frame.has_name) return fail("a <member> without a <name>");
        if (!frame.has_value) return fail("a <member> without a <value>");
        frames.back().map.insert_or_assign(Value(std::move(frame.name)), std::move(frame.value));
        return;
      }
      case Tag::Param: {
        if (!frame.has_value) return fail("a <param> without a <value>");
        if (kind == Kind::Call) {
          owner.params_.push_back(std::move(frame.value));
        } else {
          owner.result_ = std::move(frame.value);
          ++response_params;
        }
        return;
      }
      case Tag::Fault: return end_fault(frame);
      case Tag::Params:
        if (kind == Kind::Response && response_params == 0) return fail("a response without a <param>");
        return;
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
    Frame& holder = frames.back();
    if (holder.tag == Tag::Data) {
      holder.list.push_back(std::move(v));
    } else {
      holder.value = std::move(v);
      holder.has_value = true;
    }
  }

  void end_fault(Frame& frame) {
    if (!frame.has_value || !frame.value.is_map()) return fail("a <fault> must hold a struct");
    const Map& members = frame.value.as_map();
    const Value* code = members.find(Value("faultCode"));
    const Value* text_value = members.find(Value("faultString"));
    if (!code || !code->is_int() || !text_value || !text_value->is_str()) {
      return fail("a <fault> must hold faultCode (int) and faultString (string)");
    }
    const std::int64_t c = code->as_int();
    owner.fault_ = Decoder::Fault{
        static_cast<int>(std::clamp<std::int64_t>(c, std::numeric_limits<int>::min(), std::numeric_limits<int>::max())),
        text_value->as_str()};
  }

  void check(XML_Status status) {
    if (status != XML_STATUS_ERROR) return;
    if (error.empty()) {
      error = fmt::format("{} (line {}, column {})", XML_ErrorString(XML_GetErrorCode(parser)),
                          XML_GetCurrentLineNumber(parser), XML_GetCurrentColumnNumber(parser) + 1);
    }
    throw ValueError(fmt::format("malformed XML-RPC {}: {}", kind == Kind::Call ? "call" : "response", error));
  }
};

Decoder::Decoder(Kind kind) : state_(std::make_unique<State>(*this, kind)) {}

Decoder::~Decoder() = default;

void Decoder::feed(std::string_view data) {
  // expat takes at most INT_MAX bytes at a time.
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  while (!data.empty()) {
    const std::string_view piece = data.substr(0, kPiece);
    data.remove_prefix(piece.size());
    state_->check(XML_Parse(state_->parser, piece.data(), static_cast<int>(piece.size()), XML_FALSE));
  }
}

void Decoder::finish() {
  state_->check(XML_Parse(state_->parser, nullptr, 0, XML_TRUE));
  // expat has seen a complete root element; our grammar is complete too.
  if (!state_->done) {
    state_->error = "incomplete document";
    state_->check(XML_STATUS_ERROR);
  }
}

}  // namespace tarvex::xmlrpc::detail
