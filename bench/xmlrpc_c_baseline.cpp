// The old conversion between Value and xmlrpc-c's values, as it was in
// src/xmlrpc before the codec replaced it (unchanged but for the namespace),
// and the xmlrpc-c calls that the old client and server made around it.
#include "xmlrpc_c_baseline.hpp"

#include <fmt/format.h>
#include <xmlrpc-c/base.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/registry.hpp>
#include <xmlrpc-c/xml.hpp>

#include "tarvex/exceptions.hpp"

namespace bench::xmlrpc_c_baseline {

using namespace tarvex;

xmlrpc_c::value to_xmlrpc(const Value& value);
Value from_xmlrpc(const xmlrpc_c::value& value);

namespace {

// An xmlrpc-c C-library error environment, cleaned up on every path.
class CEnv {
 public:
  CEnv() { xmlrpc_env_init(&env_); }
  ~CEnv() { xmlrpc_env_clean(&env_); }
  CEnv(const CEnv&) = delete;
  CEnv& operator=(const CEnv&) = delete;
  xmlrpc_env* get() { return &env_; }
  // Raises the recorded failure as `Error`.
  template <class Error>
  void check(std::string_view doing) {
    if (env_.fault_occurred) throw Error(fmt::format("{}: {}", doing, env_.fault_string));
  }

 private:
  xmlrpc_env env_;
};

// One reference to a C-library value, released when the handle goes.
class CValueRef {
 public:
  explicit CValueRef(xmlrpc_value* value) : value_(value) {}
  ~CValueRef() {
    if (value_) xmlrpc_DECREF(value_);
  }
  CValueRef(const CValueRef&) = delete;
  CValueRef& operator=(const CValueRef&) = delete;
  xmlrpc_value* get() const { return value_; }

 private:
  xmlrpc_value* value_;
};

// The length of the character that starts at `s[i]` when it is valid UTF-8
// and allowed in an XML 1.0 document, else 0.
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

// The offset of the first byte XML-RPC cannot carry, or npos.
std::size_t find_unsendable(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    // Plain printable ASCII is by far the common case.
    if (const auto c = static_cast<unsigned char>(s[i]); c >= 0x20 && c < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = xml_char_length(s, i);
    if (length == 0) return i;
    i += length;
  }
  return std::string_view::npos;
}

void check_sendable(std::string_view s, std::string_view what) {
  const std::size_t bad = find_unsendable(s);
  if (bad == std::string_view::npos) return;
  const auto byte = static_cast<unsigned char>(s[bad]);
  throw ValueError(fmt::format("cannot send {} over XML-RPC: byte {:#04x} at offset {} is {}", what, byte, bad,
                               byte < 0x20 ? "a control character XML cannot carry" : "not valid UTF-8"));
}

xmlrpc_c::value string_value(const std::string& s, std::string_view what) {
  check_sendable(s, what);
  // nlCode_lf: only LF is a line ending, so that a CR is sent as &#x0d;
  // rather than rewritten.
  return xmlrpc_c::value_string(s, xmlrpc_c::value_string::nlCode_lf);
}

xmlrpc_c::value struct_value(const Map& map) {
  // The C library's struct keeps member order; the C++ wrapper would sort.
  CEnv env;
  CValueRef out(xmlrpc_struct_new(env.get()));
  env.check<RuntimeError>("cannot build an XML-RPC struct");
  for (const auto& [key, value] : map) {
    const std::string name = key.is_str() ? key.as_str() : key.str();
    check_sendable(name, "a struct member name");
    const xmlrpc_c::value member = to_xmlrpc(value);
    CValueRef member_ref(member.cValue());
    xmlrpc_struct_set_value_n(env.get(), out.get(), name.data(), name.size(), member_ref.get());
    env.check<RuntimeError>("cannot build an XML-RPC struct");
  }
  return xmlrpc_c::value(out.get());
}

Value struct_from(const xmlrpc_c::value& value) {
  CEnv env;
  CValueRef self(value.cValue());
  const int size = xmlrpc_struct_size(env.get(), self.get());
  env.check<ValueError>("cannot read an XML-RPC struct");
  Map out;
  for (int i = 0; i < size; ++i) {
    xmlrpc_value* key_p = nullptr;
    xmlrpc_value* member_p = nullptr;
    xmlrpc_struct_read_member(env.get(), self.get(), static_cast<unsigned>(i), &key_p, &member_p);
    env.check<ValueError>("cannot read an XML-RPC struct");
    CValueRef key(key_p);
    CValueRef member(member_p);
    out.insert_or_assign(from_xmlrpc(xmlrpc_c::value(key.get())), from_xmlrpc(xmlrpc_c::value(member.get())));
  }
  return Value(std::move(out));
}

std::string datetime_text(const xmlrpc_c::value& value) {
  const xmlrpc_datetime t = xmlrpc_c::value_datetime(value);
  return fmt::format("{:04}{:02}{:02}T{:02}:{:02}:{:02}", t.Y, t.M, t.D, t.h, t.m, t.s);
}

}  // namespace

xmlrpc_c::value to_xmlrpc(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::None: return xmlrpc_c::value_nil();
    case Value::Kind::Bool: return xmlrpc_c::value_boolean(value.as_bool());
    case Value::Kind::Int: {
      const std::int64_t i = value.as_int();
      if (i >= std::numeric_limits<std::int32_t>::min() && i <= std::numeric_limits<std::int32_t>::max()) {
        return xmlrpc_c::value_int(static_cast<int>(i));
      }
      return xmlrpc_c::value_i8(i);
    }
    case Value::Kind::Float: {
      const double d = value.as_float();
      // xmlrpc-c would write NaN as 0 and recurse without end on infinity.
      if (!std::isfinite(d)) throw ValueError(fmt::format("cannot send the float {} over XML-RPC", value.repr()));
      return xmlrpc_c::value_double(d);
    }
    case Value::Kind::Str: return string_value(value.as_str(), "a string");
    case Value::Kind::List: {
      xmlrpc_c::carray items;
      items.reserve(value.as_list().size());
      for (const Value& item : value.as_list()) items.push_back(to_xmlrpc(item));
      return xmlrpc_c::value_array(items);
    }
    case Value::Kind::Map: return struct_value(value.as_map());
    case Value::Kind::Class: return string_value(value.str(), "a class name");
  }
  throw TypeError(fmt::format("cannot send a value of type {} over XML-RPC", value.type_name()));
}

Value from_xmlrpc(const xmlrpc_c::value& value) {
  switch (value.type()) {
    case xmlrpc_c::value::TYPE_NIL: return Value();
    case xmlrpc_c::value::TYPE_BOOLEAN: return Value(static_cast<bool>(xmlrpc_c::value_boolean(value)));
    case xmlrpc_c::value::TYPE_INT: return Value(static_cast<int>(xmlrpc_c::value_int(value)));
    case xmlrpc_c::value::TYPE_I8: return Value(static_cast<std::int64_t>(xmlrpc_c::value_i8(value)));
    case xmlrpc_c::value::TYPE_DOUBLE: return Value(static_cast<double>(xmlrpc_c::value_double(value)));
    case xmlrpc_c::value::TYPE_STRING: return Value(xmlrpc_c::value_string(value).cvalue());
    case xmlrpc_c::value::TYPE_DATETIME: return Value(datetime_text(value));
    case xmlrpc_c::value::TYPE_BYTESTRING: {
      const xmlrpc_c::cbytestring bytes = xmlrpc_c::value_bytestring(value).vectorUcharValue();
      return Value(std::string(bytes.begin(), bytes.end()));
    }
    case xmlrpc_c::value::TYPE_ARRAY: {
      const xmlrpc_c::carray items = xmlrpc_c::value_array(value).vectorValueValue();
      List out;
      out.reserve(items.size());
      for (const xmlrpc_c::value& item : items) out.push_back(from_xmlrpc(item));
      return Value(std::move(out));
    }
    case xmlrpc_c::value::TYPE_STRUCT: return struct_from(value);
    default: break;
  }
  throw TypeError(fmt::format("cannot decode an XML-RPC value of xmlrpc-c type {}", static_cast<int>(value.type())));
}

void raise_size_limit() { xmlrpc_limit_set(XMLRPC_XML_SIZE_LIMIT_ID, std::size_t{256} * 1024 * 1024); }

std::string encode_call(const std::string& method, const List& params) {
  xmlrpc_c::paramList list(static_cast<unsigned>(params.size()));
  for (const Value& param : params) list.add(to_xmlrpc(param));
  std::string xml;
  xmlrpc_c::xml::generateCall(method, list, &xml);
  return xml;
}

std::string encode_response(const Value& result) {
  std::string xml;
  xmlrpc_c::xml::generateResponse(xmlrpc_c::rpcOutcome(to_xmlrpc(result)), &xml);
  return xml;
}

Value decode_response(const std::string& xml) {
  xmlrpc_c::rpcOutcome outcome;
  xmlrpc_c::xml::parseResponse(xml, &outcome);
  if (!outcome.succeeded()) throw RuntimeError("fault: " + outcome.getFault().getDescription());
  return from_xmlrpc(outcome.getResult());
}

namespace {

class Answering : public xmlrpc_c::defaultMethod {
 public:
  explicit Answering(Value (*answer)()) : answer_(answer) {}
  void execute(const std::string&, const xmlrpc_c::paramList&, xmlrpc_c::value* result) override {
    *result = to_xmlrpc(answer_());
  }

 private:
  Value (*answer_)();
};

}  // namespace

std::string process_call(const std::string& body, Value (*answer)()) {
  static xmlrpc_c::registry* registry = [answer] {
    auto* r = new xmlrpc_c::registry;
    r->setDefaultMethod(xmlrpc_c::defaultMethodPtr(new Answering(answer)));
    return r;
  }();
  std::string response;
  registry->processCall(body, &response);
  return response;
}

}  // namespace bench::xmlrpc_c_baseline
