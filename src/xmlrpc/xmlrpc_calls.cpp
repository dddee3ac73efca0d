#include "xmlrpc_calls.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <vector>

#include "tarvex/exceptions.hpp"

namespace tarvex::xmlrpc::detail {

namespace {

// The functions served here, with their signatures (result type first) and
// help texts.
struct SystemFunction {
  std::string_view name;
  std::string_view signature;  // "result,param,..."
  std::string_view help;
};

constexpr std::array<SystemFunction, 8> kSystemFunctions = {{
    {"system.capabilities", "struct", "The XML-RPC capabilities this server has (same as system.getCapabilities)."},
    {"system.getCapabilities", "struct", "The XML-RPC capabilities this server has."},
    {"system.listMethods", "array", "The names of the functions this server serves itself."},
    {"system.methodExist", "boolean,string", "Whether this server serves the named function itself."},
    {"system.methodHelp", "string,string", "The help text of the named function (empty when it has none)."},
    {"system.methodSignature", "array,string",
     "The signatures of the named function (arrays of type names, result first), or \"undef\" when unknown."},
    {"system.multicall", "array,array",
     "Calls each {methodName, params} in order; each result comes back as a one-element array, each failure as a "
     "{faultCode, faultString} struct."},
    {"system.shutdown", "int,string", "Not enabled: the server's owner decides when it stops."},
}};

const SystemFunction* system_function(std::string_view name) {
  for (const SystemFunction& f : kSystemFunctions) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

const std::string& string_param(const List& params, std::string_view method) {
  if (params.size() != 1 || !params[0].is_str()) {
    throw TypeError(fmt::format("{} takes one string parameter", method));
  }
  return params[0].as_str();
}

// The extensions this server understands, each with its version.
Value capabilities() {
  const auto version = [](int number) { return Value::map({{"version", number}}); };
  return Value::map({{"xmlrpc", version(1)},
                     {"introspect", version(1)},
                     {"multicall", version(1)},
                     {"nil", version(1)},
                     {"faults_interop", version(1)}});
}

std::string fault_document(const std::exception_ptr& error) {
  std::string out;
  encode_fault(out, fault_code_for(error), fault_string_for(error));
  return out;
}

Value fault_struct(const std::exception_ptr& error) {
  return Value::map({{"faultCode", fault_code_for(error)}, {"faultString", xml_safe_text(fault_string_for(error))}});
}

constexpr std::string_view kMulticallResponseStart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<methodResponse>\n<params>\n<param><value><array><data>";
constexpr std::string_view kMulticallResponseEnd = "</data></array></value></param>\n</params>\n</methodResponse>\n";

}  // namespace

Reply CallHandler::call(const std::string& method, List& params, bool nested) const {
  if (!method.starts_with("system.")) return dispatcher_(method, params);
  // A multicall at the top is answered by respond(), which writes its
  // answers as they are made.
  if (method == "system.multicall") {
    throw ValueError(nested ? "system.multicall cannot be called from within system.multicall"
                            : "system.multicall is answered only as a call of its own");
  }
  if (method == "system.listMethods") {
    List names;
    for (const SystemFunction& f : kSystemFunctions) names.emplace_back(std::string(f.name));
    return names;
  }
  if (method == "system.capabilities" || method == "system.getCapabilities") return capabilities();
  if (method == "system.methodExist") return system_function(string_param(params, method)) != nullptr;
  if (method == "system.methodHelp") {
    const SystemFunction* f = system_function(string_param(params, method));
    return f ? std::string(f->help) : std::string();
  }
  if (method == "system.methodSignature") {
    const SystemFunction* f = system_function(string_param(params, method));
    if (!f) return "undef";
    List types;
    std::string_view rest = f->signature;
    while (!rest.empty()) {
      const std::size_t comma = rest.find(',');
      types.emplace_back(std::string(rest.substr(0, comma)));
      rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    }
    return Value::list({Value(std::move(types))});
  }
  if (method == "system.shutdown") throw RuntimeError("system.shutdown is not enabled on this server");
  // Another "system." name is the dispatcher's to answer or refuse.
  return dispatcher_(method, params);
}

std::vector<std::string> CallHandler::multicall(List& params) const {
  if (params.size() != 1 || !params[0].is_list()) {
    throw TypeError("system.multicall takes one array of {methodName, params} structs");
  }
  List& entries = params[0].as_list();
  if (entries.size() > kMaxMulticallCalls) {
    throw ValueError(fmt::format("system.multicall of {} calls refused: one multicall makes at most {} calls",
                                 entries.size(), kMaxMulticallCalls));
  }
  // The answers are encoded as they are made and kept in pieces (no
  // string of them all is ever grown and copied) until the end, since a
  // fault takes their place when they outgrow their bound.
  std::vector<std::string> pieces;
  std::size_t earlier_bytes = 0;  // in the pieces before the last
  pieces.emplace_back(kMulticallResponseStart);
  const std::size_t max_bytes = pieces.back().size() + kMaxMulticallAnswerBytes;
  const auto over_bound = [&](std::size_t call_number) {
    return ValueError(fmt::format(
        "system.multicall stopped at call {} of {}: its answers exceed the bound of {} MiB for one multicall "
        "(make the calls with large answers on their own)",
        call_number, entries.size(), kMaxMulticallAnswerBytes >> 20));
  };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::string& out = pieces.back();
    const std::size_t start = out.size();
    try {
      Value& entry = entries[i];
      if (!entry.is_map()) throw TypeError("a system.multicall entry must be a struct");
      Map& fields = entry.as_map();
      Value* name = fields.find(Value("methodName"));
      Value* args = fields.find(Value("params"));
      if (!name || !name->is_str()) throw TypeError("a system.multicall entry needs a methodName string");
      if (args && !args->is_list()) throw TypeError("the params of a system.multicall entry must be an array");
      List none;
      const Reply reply = call(name->as_str(), args ? args->as_list() : none, true);
      out += "<value><array><data>";
      encode_value(out, reply.value(), max_bytes - earlier_bytes);
      out += "</data></array></value>";
    } catch (const EncodeLimitReached&) {
      throw over_bound(i + 1);
    } catch (...) {
      // An answer that cannot be sent is that call's failure.
      out.resize(start);
      encode_value(out, fault_struct(std::current_exception()), std::numeric_limits<std::size_t>::max());
    }
    if (earlier_bytes + out.size() > max_bytes) throw over_bound(i + 1);
    if (out.size() >= kPieceBytes) {
      earlier_bytes += out.size();
      pieces.emplace_back();
    }
    entries[i] = Value();  // the call's parameters are no longer needed
  }
  pieces.back() += kMulticallResponseEnd;
  return pieces;
}

std::string CallHandler::respond_error(const std::exception_ptr& decode_error) { return fault_document(decode_error); }

void CallHandler::respond(Decoder& decoder, const PieceWriter& write) const {
  if (decoder.method() == "system.multicall") {
    std::vector<std::string> pieces;
    try {
      pieces = multicall(decoder.params());
    } catch (...) {
      pieces = {fault_document(std::current_exception())};
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      write(pieces[i], i + 1 == pieces.size());
      std::string().swap(pieces[i]);  // freed as soon as it is sent
    }
    return;
  }
  std::optional<Reply> result;
  try {
    result.emplace(call(decoder.method(), decoder.params(), false));
    // The call's parameters are no longer needed while the answer is built.
    decoder.params().clear();
    decoder.params().shrink_to_fit();
    check_sendable(result->value());
  } catch (...) {
    write(fault_document(std::current_exception()), true);
    return;
  }
  encode_response(result->value(), write);
}

std::string CallHandler::respond(Decoder& decoder) const {
  std::string out;
  respond(decoder, [&](std::string_view piece, bool) { out += piece; });
  return out;
}

std::string CallHandler::respond(std::string_view body) const {
  Decoder decoder(Decoder::Kind::Call);
  try {
    decoder.feed(body);
    decoder.finish();
  } catch (...) {
    return respond_error(std::current_exception());
  }
  return respond(decoder);
}

}  // namespace tarvex::xmlrpc::detail
