// The encoder: Values written as XML-RPC text in one pass into one buffer.
#include <fmt/format.h>

#include <charconv>
#include <cstdint>
#include <limits>

#include "tarvex/exceptions.hpp"
#include "xmlrpc_codec.hpp"

namespace tarvex::xmlrpc::detail {

namespace {

constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

[[noreturn]] void unsendable(std::string_view s, std::size_t bad, std::string_view what) {
  const auto byte = static_cast<unsigned char>(s[bad]);
  throw ValueError(fmt::format("cannot send {} over XML-RPC: byte {:#04x} at offset {} is {}", what, byte, bad,
                               byte < 0x20 ? "a control character XML cannot carry" : "not valid UTF-8"));
}

// Appends `s` as XML character data: markup characters and carriage
// returns as references, everything else as it is once checked.
void append_text(std::string& out, std::string_view s, std::string_view what) {
  std::size_t run = 0;  // start of the bytes not yet appended
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x80 && c != '&' && c != '<' && c != '>') {
      ++i;  // by far the common case
      continue;
    }
    std::string_view reference;
    switch (c) {
      case '&': reference = "&amp;"; break;
      case '<': reference = "&lt;"; break;
      case '>': reference = "&gt;"; break;  // "]]>" must not appear in text
      case '\r': reference = "&#13;"; break;
      default: break;
    }
    if (!reference.empty()) {
      out.append(s.data() + run, i - run);
      out += reference;
      run = ++i;
      continue;
    }
    const std::size_t length = xml_char_length(s, i);
    if (length == 0) unsendable(s, i, what);
    i += length;
  }
  out.append(s.data() + run, s.size() - run);
}

// A string is sent as a <value> without a type element, which means string
// in XML-RPC: a third fewer elements for the receiving parser to read.
void append_string(std::string& out, std::string_view s, std::string_view what) {
  out += "<value>";
  append_text(out, s, what);
  out += "</value>";
}

void append_int(std::string& out, std::int64_t i) {
  const bool small = i >= std::numeric_limits<std::int32_t>::min() && i <= std::numeric_limits<std::int32_t>::max();
  char digits[24];
  const char* end = std::to_chars(digits, digits + sizeof digits, i).ptr;
  out += small ? "<value><i4>" : "<value><i8>";
  out.append(digits, static_cast<std::size_t>(end - digits));
  out += small ? "</i4></value>" : "</i8></value>";
}

// Where the encoder writes: one buffer, handed on in pieces when a drain is
// given, so that a large document is never held whole, or bounded in size
// when it is held whole.
struct Output {
  std::string& text;
  const PieceWriter* drain = nullptr;
  std::size_t max_bytes = std::numeric_limits<std::size_t>::max();

  // Called after each item of an array or struct.
  void item_done() {
    if (text.size() > max_bytes) throw EncodeLimitReached{};
    if (drain && text.size() >= kPieceBytes) {
      (*drain)(text, false);
      text.clear();
    }
  }
};

void append_value(Output& output, const Value& value) {
  std::string& out = output.text;
  switch (value.kind()) {
    case Value::Kind::None: out += "<value><nil/></value>"; return;
    case Value::Kind::Bool:
      out += value.as_bool() ? "<value><boolean>1</boolean></value>" : "<value><boolean>0</boolean></value>";
      return;
    case Value::Kind::Int: append_int(out, value.as_int()); return;
    case Value::Kind::Float:
      out += "<value><double>";
      out += py_float_repr(value.as_float());
      out += "</double></value>";
      return;
    case Value::Kind::Str: append_string(out, value.as_str(), "a string"); return;
    case Value::Kind::Class: append_string(out, value.str(), "a class name"); return;
    case Value::Kind::List:
      // No white space between elements: every piece of text is an event
      // for the receiving parser.
      out += "<value><array><data>";
      for (const Value& item : value.as_list()) {
        append_value(output, item);
        output.item_done();
      }
      out += "</data></array></value>";
      return;
    case Value::Kind::Map:
      out += "<value><struct>";
      for (const auto& [key, member] : value.as_map()) {
        out += "<member><name>";
        if (key.is_str()) {
          append_text(out, key.as_str(), "a struct member name");
        } else {
          append_text(out, key.str(), "a struct member name");
        }
        out += "</name>";
        append_value(output, member);
        out += "</member>";
        output.item_done();
      }
      out += "</struct></value>";
      return;
  }
  throw TypeError(fmt::format("cannot send a value of type {} over XML-RPC", value.type_name()));
}

}  // namespace

std::size_t xml_char_length(std::string_view s, std::size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  if (lead < 0x80) return lead >= 0x20 || lead == '\t' || lead == '\n' || lead == '\r' ? 1 : 0;
  std::size_t length;
  std::uint32_t code;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(s[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = code << 6 | (next & 0x3F);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  if (overlong || surrogate || code > 0x10FFFF || code == 0xFFFE || code == 0xFFFF) return 0;
  return length;
}

void encode_call(std::string& out, std::string_view method, const List& params) {
  out += kXmlDeclaration;
  out += "<methodCall>\n<methodName>";
  append_text(out, method, "a method name");
  out += "</methodName>\n<params>\n";
  Output output{out};
  for (const Value& param : params) {
    out += "<param>";
    append_value(output, param);
    out += "</param>\n";
  }
  out += "</params>\n</methodCall>\n";
}

void encode_value(std::string& out, const Value& value, std::size_t max_bytes) {
  Output output{out, nullptr, max_bytes};
  append_value(output, value);
  if (out.size() > max_bytes) throw EncodeLimitReached{};
}

void encode_response(std::string& out, const Value& result) {
  out += kXmlDeclaration;
  out += "<methodResponse>\n<params>\n<param>";
  Output output{out};
  append_value(output, result);
  out += "</param>\n</params>\n</methodResponse>\n";
}

void encode_response(const Value& result, const PieceWriter& write) {
  std::string out;
  out.reserve(kPieceBytes + kPieceBytes / 4);
  out += kXmlDeclaration;
  out += "<methodResponse>\n<params>\n<param>";
  Output output{out, &write};
  append_value(output, result);
  out += "</param>\n</params>\n</methodResponse>\n";
  write(out, true);
}

void check_sendable(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Str: {
      const std::string& s = value.as_str();
      for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x80) {
          ++i;
          continue;
        }
        const std::size_t length = xml_char_length(s, i);
        if (length == 0) unsendable(s, i, "a string");
        i += length;
      }
      return;
    }
    case Value::Kind::List:
      for (const Value& item : value.as_list()) check_sendable(item);
      return;
    case Value::Kind::Map:
      for (const auto& [key, member] : value.as_map()) {
        if (key.is_str()) {
          const std::string& name = key.as_str();
          for (std::size_t i = 0; i < name.size();) {
            const std::size_t length = xml_char_length(name, i);
            if (length == 0) unsendable(name, i, "a struct member name");
            i += length;
          }
        } else {
          std::string throwaway;
          append_text(throwaway, key.str(), "a struct member name");
        }
        check_sendable(member);
      }
      return;
    case Value::Kind::Class: {
      std::string throwaway;
      append_text(throwaway, value.str(), "a class name");
      return;
    }
    default: return;
  }
}

void encode_fault(std::string& out, int code, std::string_view text) {
  out += kXmlDeclaration;
  out += "<methodResponse>\n<fault>\n<value><struct>\n<member><name>faultCode</name>";
  append_int(out, code);
  out += "</member>\n<member><name>faultString</name>";
  append_string(out, xml_safe_text(text), "a fault string");
  out += "</member>\n</struct></value>\n</fault>\n</methodResponse>\n";
}

std::string xml_safe_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = xml_char_length(text, i);
    if (length == 0) {
      out += fmt::format("\\x{:02x}", static_cast<unsigned char>(text[i]));
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

}  // namespace tarvex::xmlrpc::detail
