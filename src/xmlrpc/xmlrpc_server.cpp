// The XML-RPC server: a loopback listening socket, and one HTTP/1.1 request
// served per accepted connection.
//
// The HTTP layer is our own small reader rather than Abyss: it checks the
// token before anything is dispatched, refuses an oversized body before
// reading it, and bounds the whole request by one deadline in milliseconds,
// none of which Abyss's runConn offers.  Calls are decoded, dispatched and
// encoded by xmlrpc-c's registry, which also serves the introspection
// functions ("system.*").

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <xmlrpc-c/registry.hpp>

#include "tarvex/log.hpp"
#include "tarvex/xmlrpc.hpp"
#include "xmlrpc_http.hpp"
#include "xmlrpc_socket.hpp"
#include "xmlrpc_values.hpp"

namespace tarvex::xmlrpc {

namespace {

using detail::Clock;
using detail::UniqueFd;

// The fault code of an error raised by the dispatcher (the code Python's
// SimpleXMLRPCServer uses for the same case).
constexpr std::size_t kReadChunk = 16 * 1024;
// How long an early error response waits for the client to stop sending
// (see Connection::linger).
constexpr auto kLingerLimit = std::chrono::milliseconds(500);

log::Logger& logger() { return log::getLogger("tarvex.services.xmlrpc"); }

// Receives every call that the registry's own functions do not serve and
// hands it to the dispatcher.  Whatever the dispatcher raises becomes a
// fault with code 1 (2 when the error's text shows its
// whole chain) and the text "TypeName:message"; nothing may escape into
// xmlrpc-c, whose C frames lie between this method and the registry's
// caller.
class DispatchingMethod : public xmlrpc_c::defaultMethod {
 public:
  explicit DispatchingMethod(Server::Dispatcher dispatcher) : dispatcher_(std::move(dispatcher)) {}

  void execute(const std::string& method, const xmlrpc_c::paramList& params, xmlrpc_c::value* result) override {
    std::string fault_text;
    int fault_code = kDispatchFaultCode;
    try {
      List args;
      args.reserve(params.size());
      for (std::size_t i = 0; i < params.size(); ++i) args.push_back(detail::from_xmlrpc(params[i]));
      *result = detail::to_xmlrpc(dispatcher_(method, args));
      return;
    } catch (...) {
      fault_text = detail::xml_safe_text(fault_string_for(std::current_exception()));
      fault_code = fault_code_for(std::current_exception());
    }
    throw xmlrpc_c::fault(fault_text, static_cast<xmlrpc_c::fault::code_t>(fault_code));
  }

 private:
  Server::Dispatcher dispatcher_;
};

// The socket address to listen on; ValueError unless `host` is a loopback
// address, since the server must never be reachable from another machine.
sockaddr_storage listen_address(const Server::Options& options, socklen_t& length) {
  if (options.port < 0 || options.port > 65535) {
    throw ValueError(fmt::format("XML-RPC server port out of range: {}", options.port));
  }
  const std::string host = options.host == "localhost" ? "127.0.0.1" : options.host;
  const auto port = htons(static_cast<std::uint16_t>(options.port));
  sockaddr_storage address{};
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127) {
    auto& in = reinterpret_cast<sockaddr_in&>(address);
    in.sin_family = AF_INET;
    in.sin_port = port;
    in.sin_addr = v4;
    length = sizeof in;
  } else if (inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6)) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = port;
    in6.sin6_addr = v6;
    length = sizeof in6;
  } else {
    throw ValueError(fmt::format("XML-RPC server host must be a loopback address, not {}", py_repr(options.host)));
  }
  return address;
}

// Compares in a time that depends only on the length of what the client
// sent, so that the token cannot be guessed byte by byte from response
// times.
bool matches_token(std::string_view given, std::string_view token) {
  unsigned char diff = given.size() == token.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i) {
    diff |= static_cast<unsigned char>(given[i] ^ (i < token.size() ? token[i] : 0));
  }
  return diff == 0;
}

// One accepted connection: reads one request within the deadline, answers
// it, and closes.
class Connection {
 public:
  Connection(UniqueFd fd, const Server::Options& options, const xmlrpc_c::registry& registry)
      : fd_(std::move(fd)), options_(options), registry_(registry), deadline_(Clock::now() + options.read_timeout) {}

  void serve() {
    std::size_t head_end;
    std::size_t scanned = 0;
    while ((head_end = detail::find_head_end(buffer_, scanned)) == std::string::npos) {
      scanned = buffer_.size();
      if (buffer_.size() >= detail::kMaxHeadBytes) return reject(431, "request head too large");
      // Through a chunk on the stack: growing the buffer by a whole chunk
      // would fill memory that a small request never uses.
      char chunk[kReadChunk];
      std::size_t got = 0;
      const Read status = receive(chunk, sizeof chunk, got);
      buffer_.append(chunk, got);
      if (status != Read::Data) return abandon(status);
    }

    std::string error;
    const std::optional<detail::HttpHead> head =
        detail::parse_head(std::string_view(buffer_).substr(0, head_end), error);
    if (!head) return reject(400, error);
    const std::string& line = head->start_line;
    const std::size_t space1 = line.find(' ');
    const std::size_t space2 = space1 == std::string::npos ? space1 : line.find(' ', space1 + 1);
    if (space2 == std::string::npos || line.find(' ', space2 + 1) != std::string::npos ||
        !line.substr(space2 + 1).starts_with("HTTP/1.")) {
      return reject(400, "malformed request line");
    }
    const std::string method = line.substr(0, space1);
    const std::string target = line.substr(space1 + 1, space2 - space1 - 1);

    if (target != "/RPC2") return reject(404, "no such page");
    if (method != "POST") return reject(405, "only POST is served", "Allow: POST\r\n");
    const std::string* credentials = head->field("authorization");
    const std::optional<std::string> password = credentials ? detail::basic_password(*credentials) : std::nullopt;
    if (!password || !matches_token(*password, options_.token)) {
      return reject(401, "authorization required", "WWW-Authenticate: Basic realm=\"morvane\"\r\n");
    }
    if (head->field("transfer-encoding")) return reject(400, "only bodies delimited by Content-Length are accepted");
    const std::optional<std::uint64_t> length = detail::content_length(*head, error);
    if (!error.empty()) return reject(400, error);
    if (!length) return reject(400, "Content-Length required");
    if (*length > options_.max_request_bytes) {
      return reject(413, fmt::format("request body of {} bytes exceeds the limit of {} bytes", *length,
                                     options_.max_request_bytes));
    }

    std::string body = buffer_.substr(head_end, static_cast<std::size_t>(*length));
    buffer_.clear();
    if (body.size() < *length) {
      // A client that asked waits for this before it sends the body.
      if (const std::string* expect = head->field("expect");
          expect && strcasecmp(expect->c_str(), "100-continue") == 0) {
        if (!write_all("HTTP/1.1 100 Continue\r\n\r\n", {})) return;
      }
      std::size_t received = body.size();
      body.resize(static_cast<std::size_t>(*length));
      while (received < body.size()) {
        std::size_t got = 0;
        const Read status = receive(body.data() + received, body.size() - received, got);
        received += got;
        if (status != Read::Data) return abandon(status);
      }
    }

    std::string response;
    try {
      registry_.processCall(body, &response);
    } catch (const std::exception& e) {
      // The registry answers bad XML with a fault itself; this is a failure
      // of the registry, not of the request.
      logger().error("XML-RPC call could not be processed: {}", e.what());
      return respond(500, e.what(), {}, false);
    }
    respond(200, response, {}, false);
  }

 private:
  enum class Read { Data, Closed, TimedOut, Failed };

  // Waits for data until the deadline and receives what is there.
  Read receive(char* data, std::size_t capacity, std::size_t& got) {
    got = 0;
    for (;;) {
      if (!detail::wait_until(fd_.get(), POLLIN, deadline_)) return Read::TimedOut;
      const ssize_t n = ::recv(fd_.get(), data, capacity, 0);
      if (n > 0) {
        got = static_cast<std::size_t>(n);
        return Read::Data;
      }
      if (n == 0) return Read::Closed;
      if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return Read::Failed;
    }
  }

  void abandon(Read status) {
    if (status == Read::TimedOut) {
      logger().debug("XML-RPC request not received within {} ms; dropping the connection",
                     options_.read_timeout.count());
      // No lingering: a client that does not send does not deserve more time.
      respond(408, "request not received in time", {}, false);
    } else {
      logger().debug("XML-RPC client went away before completing its request");
    }
  }

  // Answers with an error status before the request has been read whole.
  void reject(int status, std::string_view text, std::string_view extra_fields = {}) {
    logger().debug("XML-RPC request refused: {} {} ({})", status, detail::reason_phrase(status), text);
    respond(status, std::string(text) + "\n", extra_fields, true);
  }

  void respond(int status, std::string_view body, std::string_view extra_fields, bool linger) {
    const std::string head =
        fmt::format("HTTP/1.1 {} {}\r\nContent-Type: {}\r\nContent-Length: {}\r\nConnection: close\r\n{}\r\n", status,
                    detail::reason_phrase(status), status == 200 ? "text/xml" : "text/plain; charset=utf-8",
                    body.size(), extra_fields);
    if (!write_all(head, body)) {
      logger().debug("XML-RPC client went away before reading its response");
      return;
    }
    if (linger) this->linger();
  }

  // The response is written within its own deadline, as long as the request
  // was allowed, so that a client that does not read cannot hold the server.
  bool write_all(std::string_view head, std::string_view body) {
    iovec parts[2] = {{const_cast<char*>(head.data()), head.size()}, {const_cast<char*>(body.data()), body.size()}};
    std::span<iovec> left(parts);
    const Clock::time_point deadline = Clock::now() + options_.read_timeout;
    while (!left.empty()) {
      if (detail::send_some(fd_.get(), left)) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      if (!detail::wait_until(fd_.get(), POLLOUT, deadline)) return false;
    }
    return true;
  }

  // After an early error response the client may still be sending its
  // body.  Closing with unread data would reset the connection, and the
  // reset can destroy the response before the client reads it; so signal
  // the end of the response and discard input until the client closes, for
  // a bounded time.
  void linger() {
    ::shutdown(fd_.get(), SHUT_WR);
    const Clock::time_point until = std::min(deadline_, Clock::now() + kLingerLimit);
    char scratch[16 * 1024];
    while (detail::wait_until(fd_.get(), POLLIN, until)) {
      const ssize_t n = ::recv(fd_.get(), scratch, sizeof scratch, 0);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return;
    }
  }

  UniqueFd fd_;
  const Server::Options& options_;
  const xmlrpc_c::registry& registry_;
  Clock::time_point deadline_;
  std::string buffer_;
};

}  // namespace

struct Server::Impl {
  Options options;
  UniqueFd listener;
  int port = 0;
  xmlrpc_c::registry registry;
};

Server::Server(Options options, Dispatcher dispatcher) : impl_(std::make_unique<Impl>()) {
  raise_xml_size_limit();
  if (options.token.empty()) throw ValueError("the XML-RPC server needs a token to authenticate its clients");
  socklen_t length = 0;
  const sockaddr_storage address = listen_address(options, length);

  impl_->listener.reset(::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!impl_->listener) detail::raise_os_error(errno, "creating the XML-RPC server socket");
  const int fd = impl_->listener.get();
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    detail::raise_os_error(errno, fmt::format("binding the XML-RPC server to {} port {}", options.host, options.port));
  }
  if (::listen(fd, SOMAXCONN) != 0) detail::raise_os_error(errno, "listening on the XML-RPC server socket");
  sockaddr_storage bound{};
  socklen_t bound_length = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_length) != 0) {
    detail::raise_os_error(errno, "reading the XML-RPC server's port");
  }
  impl_->port = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(bound).sin_port
                                                 : reinterpret_cast<const sockaddr_in6&>(bound).sin6_port);
  impl_->options = std::move(options);
  impl_->registry.setDefaultMethod(xmlrpc_c::defaultMethodPtr(new DispatchingMethod(std::move(dispatcher))));
}

Server::~Server() = default;

int Server::port() const { return impl_->port; }

int Server::listen_fd() const { return impl_->listener.get(); }

void Server::handle_request() {
  int fd;
  do {
    fd = ::accept4(impl_->listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    switch (errno) {
      // Nothing pending, or the pending connection failed before it was
      // accepted: nothing to serve.  (The network errors are those Linux
      // reports from accept for a connection that is already gone.)
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
      case ECONNABORTED:
      case EPROTO:
      case ENETDOWN:
      case ENOPROTOOPT:
      case EHOSTDOWN:
      case ENONET:
      case EHOSTUNREACH:
      case ENETUNREACH: return;
      default: detail::raise_os_error(errno, "accepting an XML-RPC connection");
    }
  }
  UniqueFd connection(fd);
  // The response goes out in one write; without this, the end of a large
  // one could wait for the client's delayed acknowledgement.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  try {
    Connection(std::move(connection), impl_->options, impl_->registry).serve();
  } catch (const std::exception& e) {
    // Not the client's doing (memory, most likely); the next request may
    // fare better, so the server goes on.
    logger().error("XML-RPC request failed: {}", e.what());
  }
}

}  // namespace tarvex::xmlrpc
