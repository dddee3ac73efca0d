// XML-RPC faults: the text our server puts in a fault, and the remote error
// a received fault stands for.

#include <cctype>
#include <string_view>

#include "tarvex/value.hpp"
#include "tarvex/xmlrpc.hpp"

namespace tarvex::xmlrpc {

namespace {

bool is_identifier_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool is_identifier_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The length of the type name at the start of `s`: identifiers joined by
// "." (Python modules) or "::" (C++ namespaces, as foreign errors are named).
// 0 when `s` does not start with an identifier.
std::size_t type_name_length(std::string_view s) {
  std::size_t i = 0;
  for (;;) {
    if (i >= s.size() || !is_identifier_start(s[i])) return 0;
    while (i < s.size() && is_identifier_char(s[i])) ++i;
    const std::size_t separator = s.substr(i, 2) == "::" ? 2 : (s.substr(i, 1) == "." ? 1 : 0);
    if (separator == 0 || i + separator >= s.size() || !is_identifier_start(s[i + separator])) return i;
    i += separator;
  }
}

}  // namespace

TARVEX_DEFINE_EXCEPTION(ProtocolError)
TARVEX_DEFINE_EXCEPTION(Fault)

Fault::Fault(int code, std::string fault_string)
    : Exception("<Fault " + std::to_string(code) + ": " + py_repr(fault_string) + ">"),
      code_(code),
      fault_string_(std::move(fault_string)) {
  const std::string_view text = fault_string_;
  // Python's SimpleXMLRPCServer: "<class 'module.TypeName'>:message".
  constexpr std::string_view kPythonOpen = "<class '";
  if (text.starts_with(kPythonOpen)) {
    const std::string_view rest = text.substr(kPythonOpen.size());
    const std::size_t length = type_name_length(rest);
    if (length > 0 && rest.substr(length, 3) == "'>:") {
      const std::string_view qualified = rest.substr(0, length);
      remote_type_ = std::string(qualified.substr(qualified.rfind('.') + 1));
      remote_message_ = std::string(rest.substr(length + 3));
      return;
    }
  }
  // Ours: "TypeName:message".
  const std::size_t length = type_name_length(text);
  if (length > 0 && length < text.size() && text[length] == ':') {
    remote_type_ = std::string(text.substr(0, length));
    remote_message_ = std::string(text.substr(length + 1));
    return;
  }
  remote_message_ = fault_string_;
}

std::exception_ptr Fault::user_exception(const std::exception_ptr& self) const {
  std::exception_ptr user;
  if (!remote_type_.empty()) user = make_exception_by_name(remote_type_, remote_message_);
  if (!user) user = std::make_exception_ptr(Exception(fault_string_));
  // The cause keeps the fault itself (code and whole text) in the chain the
  // user sees.
  as_mutable_error(user)->set_cause(self);
  // The worker's text already shows what failed there, first error first.
  if (code_ == kChainFaultCode) as_mutable_error(user)->set_chain_in_message(true);
  return user;
}

int fault_code_for(const std::exception_ptr& error) {
  const std::exception_ptr adopted = adopt(error);
  const ErrorBase* e = as_error(adopted);
  return e && e->chain_in_message() ? kChainFaultCode : kDispatchFaultCode;
}

std::string fault_string_for(const std::exception_ptr& error) {
  return exception_type_name(error) + ":" + exception_str(error);
}

}  // namespace tarvex::xmlrpc
