// The server's answer to one received call: the introspection functions
// ("system.*", multicall included) served here, every other method handed
// to the dispatcher, and every failure (a malformed call, an error the
// dispatcher raises, a result that cannot be sent) turned into a fault.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tarvex/xmlrpc.hpp"
#include "xmlrpc_codec.hpp"

namespace tarvex::xmlrpc::detail {

// A multicall's calls run one after the other while the server answers
// nobody else, and its answer is held whole until it is sent (a fault must
// be able to take its place), so a client could hold the server and its
// memory as long as it likes.  Both are bounded.
//
// Batching saves a loopback round trip (about 0.1 ms) per call: at 1,000
// calls a batch has saved nearly all it can, and 1,000 reads of a testbed
// of a few dozen devices take a fifth of a second.
inline constexpr std::size_t kMaxMulticallCalls = 1000;
// The encoded answers of one multicall: a few testbed reads of a large lab
// fit, and the answer stays far below the 256 MiB a client of ours
// accepts.  A larger answer is read with a call of its own, which streams.
inline constexpr std::size_t kMaxMulticallAnswerBytes = std::size_t{64} << 20;

// The server's answers to the calls it receives.
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
  // The response document to a system.multicall in pieces, its answers
  // encoded as they are made; ValueError when the call is over a bound.
  std::vector<std::string> multicall(List& params) const;

  Server::Dispatcher dispatcher_;
};

}  // namespace tarvex::xmlrpc::detail
