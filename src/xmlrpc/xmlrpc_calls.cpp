#include "xmlrpc_calls.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <optional>

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

}  // namespace

Reply CallHandler::call(const std::string& method, List& params, bool nested) const {
  if (!method.starts_with("system.")) return dispatcher_(method, params);
  if (method == "system.multicall") {
    if (nested) throw ValueError("system.multicall cannot be called from within system.multicall");
    return multicall(params);
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

Value CallHandler::multicall(List& params) const {
  if (params.size() != 1 || !params[0].is_list()) {
    throw TypeError("system.multicall takes one array of {methodName, params} structs");
  }
  List results;
  for (Value& entry : params[0].as_list()) {
    try {
      if (!entry.is_map()) throw TypeError("a system.multicall entry must be a struct");
      Map& fields = entry.as_map();
      Value* name = fields.find(Value("methodName"));
      Value* args = fields.find(Value("params"));
      if (!name || !name->is_str()) throw TypeError("a system.multicall entry needs a methodName string");
      if (args && !args->is_list()) throw TypeError("the params of a system.multicall entry must be an array");
      List none;
      results.push_back(Value::list({call(name->as_str(), args ? args->as_list() : none, true).take()}));
    } catch (...) {
      results.push_back(fault_struct(std::current_exception()));
    }
  }
  return results;
}

std::string CallHandler::respond_error(const std::exception_ptr& decode_error) { return fault_document(decode_error); }

void CallHandler::respond(Decoder& decoder, const PieceWriter& write) const {
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
