// The XML-RPC wire form of the framework's Value: an encoder that writes
// calls, responses and faults straight into text (a large response in
// pieces, as it goes out), and a streaming decoder that builds Values
// straight from the text as it arrives, with no intermediate tree of
// XML-RPC values in between.
//
// What crosses, and what does not:
// - null is sent as <nil/>, which Python's xmlrpc accepts with allow_none.
// - Integers are sent as <i4> when they fit in 32 bits and as <i8>
//   otherwise; <int>, <i1>, <i2>, <i4> and <i8> all decode to int.
// - Struct member names are strings in XML-RPC, so a map key of another kind
//   is sent as its text form (Value::str()) and comes back as a string: the
//   key's type is lost, and two keys with the same text form (1 and "1")
//   collapse into one member on the receiving side, the later value winning
//   at the place of the first.  Member order is kept in both directions.
// - A class reference is sent as its qualified name.
// - Floats are sent as Python's repr() writes them (the shortest text that
//   reads back to the same double), so they cross exactly; NaN and the
//   infinities are sent as "nan", "inf" and "-inf", as Python's client
//   sends them, and are accepted in any spelling strtod knows.
// - Strings are sent as a <value> without a type element (which means
//   string); <string> is read too.
// - Text is any Unicode text XML 1.0 can carry, characters beyond the Basic
//   Multilingual Plane included.  A string that is not UTF-8 or holds a
//   control character other than tab, line feed and carriage return cannot
//   be sent (ValueError).  A carriage return is sent as "&#13;", so it
//   survives our decoder; a raw carriage return in a received document is a
//   line ending and reads as a line feed, as XML requires (Python's client
//   sends them raw, so they do not survive from Python).
// - <dateTime.iso8601> decodes to its text in Python's form
//   ("20240102T03:04:05"), <base64> to a string of the decoded bytes.
//
// What a document may hold is bounded, so that a peer cannot exhaust this
// process: no DOCTYPE (hence no entity declarations, no entity expansion),
// nesting of at most kMaxNesting arrays and structs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tarvex/value.hpp"

namespace tarvex::xmlrpc::detail {

// Deepest nesting of arrays and structs a received document may have.
inline constexpr std::size_t kMaxNesting = 1000;

// Appends the XML-RPC form of a call, a response or a fault to `out`.
// ValueError when a value cannot cross (see above); `out` then holds a
// partial document, which the caller discards.
void encode_call(std::string& out, std::string_view method, const List& params);
void encode_response(std::string& out, const Value& result);

// Receives a document in pieces; `last` is true for the final piece (which
// is the only one when the document is short).
using PieceWriter = std::function<void(std::string_view piece, bool last)>;
// Pieces are about this long.
inline constexpr std::size_t kPieceBytes = 256 * 1024;
// Thrown by encode_value when the text it writes outgrows its bound.
struct EncodeLimitReached {};
// Appends the <value> element of `value` to `out`, and stops with
// EncodeLimitReached as soon as `out` is found to hold more than
// `max_bytes` (it is checked after each item of an array or struct, so one
// long string may take it past the bound before that is seen).  ValueError
// when the value cannot cross; `out` then ends with a partial element.
void encode_value(std::string& out, const Value& value, std::size_t max_bytes);
// The response to a call, written in pieces as it is encoded, so that a
// large one is never held whole.  Check the result with check_sendable()
// first: a failure here comes after pieces were written.
void encode_response(const Value& result, const PieceWriter& write);
// ValueError when `value` cannot cross (what encoding it would raise).
void check_sendable(const Value& value);
void encode_fault(std::string& out, int code, std::string_view text);

// The length of the character that starts at `s[i]` when it is valid UTF-8
// and allowed in an XML 1.0 document, else 0.
std::size_t xml_char_length(std::string_view s, std::size_t i);

// `text` with every byte sequence that XML-RPC cannot carry replaced by a
// "\xNN" escape, for texts that must get through whatever they hold (fault
// strings made from error messages).
std::string xml_safe_text(std::string_view text);

// A received methodCall or methodResponse, decoded as its text arrives (by
// the XmlReader of xmlrpc_xml.hpp):
// feed() the pieces in order, then finish().  Both raise ValueError naming
// what is wrong (with line and column) as soon as the document is known to
// be malformed or over a bound; everything built so far is freed with the
// decoder.
class Decoder {
 public:
  enum class Kind { Call, Response };

  explicit Decoder(Kind kind);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  void feed(std::string_view data);
  void finish();

  // A call's method name and parameters.
  std::string& method() { return method_; }
  List& params() { return params_; }
  // A response's result, or its fault.
  Value& result() { return result_; }
  struct Fault {
    int code = 0;
    std::string text;
  };
  const std::optional<Fault>& fault() const { return fault_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::string method_;
  List params_;
  Value result_;
  std::optional<Fault> fault_;
};

}  // namespace tarvex::xmlrpc::detail
