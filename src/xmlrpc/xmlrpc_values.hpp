// Conversion between the framework's Value and xmlrpc-c's values.
#pragma once

#include <string>
#include <string_view>
#include <xmlrpc-c/base.hpp>

#include "tarvex/value.hpp"

namespace tarvex::xmlrpc::detail {

// The XML-RPC form of `value`.  ValueError when the value cannot cross as
// XML-RPC: a non-finite float, or a string that is not UTF-8 or holds a
// control character other than tab, line feed and carriage return (XML 1.0
// cannot carry those, so the receiving parser would refuse the document).
xmlrpc_c::value to_xmlrpc(const Value& value);

// The Value of a received XML-RPC value.
Value from_xmlrpc(const xmlrpc_c::value& value);

// `text` with every byte sequence that XML-RPC cannot carry replaced by a
// "\xNN" escape, for texts that must get through whatever they hold (fault
// strings made from error messages).
std::string xml_safe_text(std::string_view text);

}  // namespace tarvex::xmlrpc::detail
