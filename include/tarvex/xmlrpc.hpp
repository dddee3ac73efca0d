// XML-RPC over HTTP between the bring-up manager and its worker subprocess.
//
// The server side handles one request per accepted connection on a loopback
// listening socket; the request loop that decides when to serve belongs to
// the caller.  Only POST to "/RPC2" is served; every request must carry the
// per-run token as its HTTP Basic password (the user name is not checked).
// Request size and read time are bounded, connections that have not shown
// the token get a fraction of a second and are capped in number, and one
// call of handle_request() returns within a bounded time, so that slow or
// hostile clients can neither stall the server nor delay its owner's loop.
//
// The client tells apart a refused connection, an HTTP error status, an
// XML-RPC fault and other transport failures.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

#include "tarvex/exceptions.hpp"
#include "tarvex/value.hpp"

namespace tarvex::xmlrpc {

// The server answered with an HTTP status other than 200.
class ProtocolError : public Exception {
  TARVEX_EXCEPTION_MEMBERS(ProtocolError, Exception)
  ProtocolError(int status, std::string message) : Exception(std::move(message)), status_(status) {}
  int status() const { return status_; }

 private:
  int status_ = 0;
};

// The server answered with an XML-RPC fault.  The fault text of our server is
// "TypeName:message"; the user-facing form of a Fault is an error of the
// remote type (when that type is known here) carrying the remote text.
class Fault : public Exception {
  TARVEX_EXCEPTION_MEMBERS(Fault, Exception)
  Fault(int code, std::string fault_string);
  int code() const { return code_; }
  const std::string& fault_string() const { return fault_string_; }
  // The remote error's type name and text, parsed from the fault string
  // (empty type when the fault string names none).
  const std::string& remote_type() const { return remote_type_; }
  const std::string& remote_message() const { return remote_message_; }
  std::exception_ptr user_exception(const std::exception_ptr& self) const override;
  // A fault only carries the remote error across: the remote error's own
  // text is what a chain shows.
  bool shown_in_chain() const override { return false; }

 private:
  int code_ = 0;
  std::string fault_string_;
  std::string remote_type_;
  std::string remote_message_;
};

// Builds the fault text that the server sends for an error.
std::string fault_string_for(const std::exception_ptr& error);
// The fault code the server sends for an error: kChainFaultCode when the
// error's text already shows its whole chain (the user-facing form of a
// worker's error), kDispatchFaultCode otherwise.
inline constexpr int kDispatchFaultCode = 1;
inline constexpr int kChainFaultCode = 2;
int fault_code_for(const std::exception_ptr& error);

// What a dispatcher answers: a value of its own, or one its owner keeps
// unchanged until the answer has been sent (an attribute read then need not
// copy a whole testbed before it is encoded).
class Reply {
 public:
  // Anything a Value is made from is an answer.
  template <class T, class = std::enable_if_t<std::is_constructible_v<Value, T&&>>>
  Reply(T&& value) : owned_(std::forward<T>(value)) {}  // NOLINT(google-explicit-constructor)
  static Reply borrowed(const Value& value) {
    Reply reply{Value()};
    reply.borrowed_ = &value;
    return reply;
  }
  const Value& value() const { return borrowed_ ? *borrowed_ : owned_; }
  // The answer as a value of its own (a copy when it is borrowed).
  Value take() && { return borrowed_ ? *borrowed_ : std::move(owned_); }

 private:
  Value owned_;
  const Value* borrowed_ = nullptr;
};

class Server {
 public:
  // Every method that is not an introspection function ("system.*") goes to
  // the dispatcher; an error it raises becomes a fault.
  using Dispatcher = std::function<Reply(const std::string& method, const List& params)>;

  struct Options {
    std::string host = "127.0.0.1";  // a loopback address
    int port = 0;                    // 0: the kernel chooses
    std::string token;               // required; never logged
    std::size_t max_request_bytes = 64 * 1024 * 1024;
    // Bounds the whole request, headers and body; the response write gets
    // as long again.
    std::chrono::milliseconds read_timeout{10000};
    // Bounds the request head, which carries the token: a client that has
    // not shown it by then is dropped.
    std::chrono::milliseconds head_timeout{400};
    // Connections kept that have not shown the token (or are being drained
    // after an error answer); a newcomer beyond this drops the oldest.
    std::size_t max_pending_connections = 64;
    // Requests with the token whose body is still arriving or that wait to
    // be served; one beyond this is answered 503.
    std::size_t max_authorized_connections = 16;
    // The longest one call of handle_request() waits for clients.
    std::chrono::milliseconds slice{500};
  };

  // ValueError when the host is not a loopback address or the token is
  // empty; OSError when the socket cannot be bound.
  Server(Options options, Dispatcher dispatcher);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  int port() const;
  // The listening socket: the caller's loop calls handle_request() when it
  // is readable.
  int listen_fd() const;
  // Accepts the pending connections, reads what clients have sent, and
  // serves at most one complete request (or answers bad ones with an HTTP
  // error).  Returns once that response has been written, once no
  // connection is left, when a signal interrupts its wait, or after `slice`
  // at the latest; at once when nothing is pending.  Connections still in
  // progress then are kept, and the server makes its listening socket
  // readable again (by connecting to itself), so that the caller's loop
  // calls again without waiting for a new client.  Never throws for a
  // client's misbehaviour; OSError when this process cannot accept or wait.
  void handle_request();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class ServerProxy {
 public:
  struct Options {
    std::string token;
    // Called whenever `interrupt_fd` becomes readable while a call waits for
    // its answer; it may throw to abandon the call, or return to keep
    // waiting.  It must consume what made the descriptor readable, or it is
    // called again at once.
    int interrupt_fd = -1;
    std::function<void()> on_interrupt{};
  };

  // `url` is "http://host:port" with an optional path (default "/RPC2").
  // (Two constructors rather than a default argument: a nested struct with
  // member initialisers cannot be a default argument inside its own class.)
  explicit ServerProxy(std::string url);
  ServerProxy(std::string url, Options options);

  // Sends one call and returns the decoded result (nil decodes to null).
  // ConnectionRefusedError, ProtocolError, Fault, EOFError (the server closed
  // the connection without answering) or OSError for other failures;
  // ValueError for parameters that XML-RPC cannot carry and for a malformed
  // response.  The wait for the answer has no time limit.
  Value call(const std::string& method, const List& params = {}) const;

  const std::string& url() const { return url_; }

 private:
  std::string url_;
  std::string host_;
  int port_ = 0;
  std::string path_;
  Options options_;
};

}  // namespace tarvex::xmlrpc
