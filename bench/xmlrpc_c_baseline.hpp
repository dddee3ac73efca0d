// The XML-RPC encoding and decoding that morvane used before it had its own
// codec: Values converted to and from xmlrpc-c's value tree, and xmlrpc-c's
// XML generator and parser.  Kept for the benchmark only, as the baseline
// that the codec is measured against in the same run.
#pragma once

#include <string>

#include "tarvex/value.hpp"

namespace bench::xmlrpc_c_baseline {

// Raises xmlrpc-c's process-wide XML size limit (512 KiB by default), as
// the old transport did.
void raise_size_limit();

std::string encode_call(const std::string& method, const tarvex::List& params);
std::string encode_response(const tarvex::Value& result);
tarvex::Value decode_response(const std::string& xml);

// What the old server did with a request body: xmlrpc-c's registry decodes
// it, calls `answer` for any method, and encodes its result.
std::string process_call(const std::string& body, tarvex::Value (*answer)());

}  // namespace bench::xmlrpc_c_baseline
