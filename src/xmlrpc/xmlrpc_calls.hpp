// The server's answer to one received call: the introspection functions
// ("system.*", multicall included) served here, every other method handed
// to the dispatcher, and every failure (a malformed call, an error the
// dispatcher raises, a result that cannot be sent) turned into a fault.
#pragma once

#include <string>
#include <string_view>

#include "tarvex/xmlrpc.hpp"
#include "xmlrpc_codec.hpp"

namespace tarvex::xmlrpc::detail {

class CallHandler {
 public:
  explicit CallHandler(Server::Dispatcher dispatcher) : dispatcher_(std::move(dispatcher)) {}

  // The response document to a call that `call` has decoded whole, written
  // in pieces as it is encoded (one piece when it is short).
  void respond(Decoder& call, const PieceWriter& write) const;
  // The same, as one text.
  std::string respond(Decoder& call) const;
  // The fault document for a request that could not be decoded.
  static std::string respond_error(const std::exception_ptr& decode_error);
  // The same for a whole request body at once.
  std::string respond(std::string_view body) const;

 private:
  Reply call(const std::string& method, List& params, bool nested) const;
  Value multicall(List& params) const;

  Server::Dispatcher dispatcher_;
};

}  // namespace tarvex::xmlrpc::detail
