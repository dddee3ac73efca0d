// The XML-RPC server: a loopback listening socket, and one HTTP/1.1 request
// served per accepted connection.
//
// One thread serves many connections at once: each call of handle_request()
// accepts what is pending, reads whatever its connections have sent, and
// serves at most one complete request, all without waiting on any single
// client.  A client that has not shown the token gets little: its request
// head must be complete within a fraction of a second, only so many such
// connections are kept (the oldest is dropped for a newcomer), and a
// connection that has shown the token is served first.  A call returns
// within a bounded time (Options::slice) however the clients behave; work
// left over (a connection still sending, a second complete request) makes
// the server connect to itself, so that its listening socket is readable
// and the caller's loop calls again at once.
//
// The request body streams into the decoder as it arrives; the call is
// dispatched once the body is complete.  The response is written before
// handle_request() returns, so that a request that makes the caller stop
// serving still gets its answer.

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <vector>

#include "tarvex/log.hpp"
#include "tarvex/xmlrpc.hpp"
#include "xmlrpc_calls.hpp"
#include "xmlrpc_codec.hpp"
#include "xmlrpc_http.hpp"
#include "xmlrpc_socket.hpp"

namespace tarvex::xmlrpc {

namespace {

using detail::Clock;
using detail::UniqueFd;

constexpr std::size_t kReadChunk = 64 * 1024;
// Reads per connection and wake-up, so that one fast sender cannot starve
// the others.
constexpr int kReadsPerTurn = 16;
// How long an early error response waits for the client to stop sending
// (see Phase::Linger).
constexpr auto kLingerLimit = std::chrono::milliseconds(500);
// Connections accepted per turn of the loop, so that a flood cannot keep
// one turn going.
constexpr int kAcceptsPerTurn = 256;

log::Logger& logger() { return log::getLogger("tarvex.services.xmlrpc"); }

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

// A complete plain-text error response.
std::string error_response(int status, std::string_view text, std::string_view extra_fields = {}) {
  return fmt::format(
      "HTTP/1.1 {} {}\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: {}\r\nConnection: "
      "close\r\n{}\r\n{}\n",
      status, detail::reason_phrase(status), text.size() + 1, extra_fields, text);
}

// The head of a 200 response: with the body's length, or without one when
// the body streams until the connection closes.
std::string ok_head(std::optional<std::size_t> length) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n";
  if (length) head += fmt::format("Content-Length: {}\r\n", *length);
  return head + "Connection: close\r\n\r\n";
}

bool same_address(const sockaddr_storage& a, socklen_t a_length, const sockaddr_storage& b, socklen_t b_length) {
  return a_length == b_length && std::memcmp(&a, &b, a_length) == 0;
}

enum class Phase {
  Head,    // reading the request head; the token not yet shown
  Body,    // the token shown; the body streams into the decoder
  Ready,   // the whole request is there: waiting to be served
  Linger,  // answered early with an error: discarding what the client still sends
};

// One accepted connection and how far its request has come.
struct Connection {
  UniqueFd fd;
  Clock::time_point accepted;
  Clock::time_point deadline;  // of the current phase
  Phase phase = Phase::Head;
  std::string head;  // the bytes received before the body
  std::size_t scanned = 0;
  std::uint64_t body_length = 0;
  std::uint64_t body_received = 0;
  std::unique_ptr<detail::Decoder> decoder;
  std::exception_ptr decode_error;
  bool closed = false;  // nothing more to do: drop it
};

}  // namespace

struct Server::Impl {
  Options options;
  UniqueFd listener;
  sockaddr_storage address{};
  socklen_t address_length = 0;
  int port = 0;
  detail::CallHandler handler;
  std::list<Connection> connections;
  // Our own connection to the listener, pending while a wake-up is
  // outstanding, and its address as the listener sees the peer.
  UniqueFd wake;
  sockaddr_storage wake_address{};
  socklen_t wake_address_length = 0;

  explicit Impl(Dispatcher dispatcher) : handler(std::move(dispatcher)) {}

  void handle_request();
  void accept_pending();
  void admit(UniqueFd fd);
  void read_from(Connection& c);
  void on_head(Connection& c, std::size_t head_end);
  void on_body(Connection& c, std::string_view data);
  void expire(Clock::time_point now);
  void serve(Connection& c);
  void reject(Connection& c, int status, std::string_view text, std::string_view extra_fields = {});
  bool send_now(Connection& c, std::string_view data);
  bool write_all(Connection& c, std::string_view head, std::string_view body);
  void wake_up();
  void drop_closed() {
    connections.remove_if([](const Connection& c) { return c.closed; });
  }
  std::size_t count(bool (*pred)(Phase)) const {
    return static_cast<std::size_t>(
        std::count_if(connections.begin(), connections.end(), [&](const Connection& c) { return pred(c.phase); }));
  }
};

void Server::Impl::handle_request() {
  const Clock::time_point start = Clock::now();
  const Clock::time_point slice_end = start + options.slice;
  for (;;) {
    accept_pending();
    const Clock::time_point now = Clock::now();
    expire(now);
    drop_closed();

    // The oldest complete request goes first; at most one per call.
    const auto ready = std::find_if(connections.begin(), connections.end(),
                                    [](const Connection& c) { return c.phase == Phase::Ready; });
    if (ready != connections.end()) {
      serve(*ready);
      connections.erase(ready);
      if (!connections.empty()) wake_up();
      return;
    }
    if (connections.empty()) return;
    if (now >= slice_end) {
      wake_up();
      return;
    }

    // Wait for any client (or a new connection) until the nearest deadline.
    Clock::time_point until = slice_end;
    std::vector<pollfd> fds;
    std::vector<Connection*> owners;
    fds.reserve(connections.size() + 1);
    fds.push_back({listener.get(), POLLIN, 0});
    for (Connection& c : connections) {
      until = std::min(until, c.deadline);
      fds.push_back({c.fd.get(), POLLIN, 0});
      owners.push_back(&c);
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    const int n = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(left, 0)));
    if (n < 0 && errno != EINTR) detail::raise_os_error(errno, "waiting for XML-RPC clients");
    if (n < 0) {
      // A signal: the caller's loop may have to act on it (a Control-C),
      // so it gets control back at once; the work left wakes it again.
      wake_up();
      return;
    }
    for (std::size_t i = 1; n > 0 && i < fds.size(); ++i) {
      if (fds[i].revents != 0) read_from(*owners[i - 1]);
    }
  }
}

void Server::Impl::accept_pending() {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    int fd;
    do {
      fd = ::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &peer_length, SOCK_NONBLOCK | SOCK_CLOEXEC);
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
          return;
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case ENETUNREACH: continue;
        case EMFILE:
        case ENFILE:
          // Out of descriptors: shed the oldest unauthenticated client so
          // that the next turn can accept; fail only when there is none.
          if (const auto victim = std::find_if(connections.begin(), connections.end(),
                                               [](const Connection& c) { return c.phase == Phase::Head; });
              victim != connections.end()) {
            connections.erase(victim);
            continue;
          }
          [[fallthrough]];
        default: detail::raise_os_error(errno, "accepting an XML-RPC connection");
      }
    }
    UniqueFd connection(fd);
    if (wake && same_address(peer, peer_length, wake_address, wake_address_length)) {
      wake.reset();  // our own wake-up: it has done its work
      continue;
    }
    admit(std::move(connection));
  }
}

void Server::Impl::admit(UniqueFd fd) {
  // Room for the newcomer: the oldest connection that has not shown the
  // token (or is only being drained) makes way.
  const auto unproven = [](Phase p) { return p == Phase::Head || p == Phase::Linger; };
  if (count(unproven) >= options.max_pending_connections) {
    const auto victim =
        std::find_if(connections.begin(), connections.end(), [&](const Connection& c) { return unproven(c.phase); });
    if (victim != connections.end()) {
      logger().debug("XML-RPC: too many connections without credentials; dropping the oldest");
      connections.erase(victim);
    }
  }
  // The response goes out in one write; without this, the end of a large
  // one could wait for the client's delayed acknowledgement.
  const int on = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  Connection& c = connections.emplace_back();
  c.fd = std::move(fd);
  c.accepted = Clock::now();
  c.deadline = c.accepted + std::min(options.head_timeout, options.read_timeout);
  // A client usually sends its request with the connection: read it now.
  read_from(c);
}

void Server::Impl::read_from(Connection& c) {
  char chunk[kReadChunk];
  for (int turn = 0; turn < kReadsPerTurn && !c.closed && c.phase != Phase::Ready; ++turn) {
    const ssize_t n = ::recv(c.fd.get(), chunk, sizeof chunk, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) c.closed = true;
      return;
    }
    if (n == 0) {
      if (c.phase != Phase::Linger) logger().debug("XML-RPC client went away before completing its request");
      c.closed = true;
      return;
    }
    const std::string_view data(chunk, static_cast<std::size_t>(n));
    switch (c.phase) {
      case Phase::Head: {
        c.head.append(data);
        const std::size_t head_end = detail::find_head_end(c.head, c.scanned);
        c.scanned = c.head.size();
        if (head_end != std::string::npos) {
          on_head(c, head_end);
        } else if (c.head.size() >= detail::kMaxHeadBytes) {
          reject(c, 431, "request head too large");
        }
        break;
      }
      case Phase::Body: on_body(c, data); break;
      case Phase::Linger:
      case Phase::Ready: break;  // discarded
    }
  }
}

void Server::Impl::on_head(Connection& c, std::size_t head_end) {
  std::string error;
  const std::optional<detail::HttpHead> head = detail::parse_head(std::string_view(c.head).substr(0, head_end), error);
  if (!head) return reject(c, 400, error);
  const std::string& line = head->start_line;
  const std::size_t space1 = line.find(' ');
  const std::size_t space2 = space1 == std::string::npos ? space1 : line.find(' ', space1 + 1);
  if (space2 == std::string::npos || line.find(' ', space2 + 1) != std::string::npos ||
      !line.substr(space2 + 1).starts_with("HTTP/1.")) {
    return reject(c, 400, "malformed request line");
  }
  const std::string_view method = std::string_view(line).substr(0, space1);
  const std::string_view target = std::string_view(line).substr(space1 + 1, space2 - space1 - 1);

  if (target != "/RPC2") return reject(c, 404, "no such page");
  if (method != "POST") return reject(c, 405, "only POST is served", "Allow: POST\r\n");
  const std::string* credentials = head->field("authorization");
  const std::optional<std::string> password = credentials ? detail::basic_password(*credentials) : std::nullopt;
  if (!password || !matches_token(*password, options.token)) {
    return reject(c, 401, "authorization required", "WWW-Authenticate: Basic realm=\"morvane\"\r\n");
  }
  if (head->field("transfer-encoding")) return reject(c, 400, "only bodies delimited by Content-Length are accepted");
  const std::optional<std::uint64_t> length = detail::content_length(*head, error);
  if (!error.empty()) return reject(c, 400, error);
  if (!length) return reject(c, 400, "Content-Length required");
  if (*length > options.max_request_bytes) {
    return reject(
        c, 413,
        fmt::format("request body of {} bytes exceeds the limit of {} bytes", *length, options.max_request_bytes));
  }
  const std::size_t in_progress = count([](Phase p) { return p == Phase::Body || p == Phase::Ready; });
  if (in_progress >= options.max_authorized_connections) {
    return reject(c, 503, "too many requests in progress");
  }

  c.phase = Phase::Body;
  c.deadline = c.accepted + options.read_timeout;
  c.body_length = *length;
  c.decoder = std::make_unique<detail::Decoder>(detail::Decoder::Kind::Call);
  const std::string rest = c.head.substr(head_end);
  c.head.clear();
  c.head.shrink_to_fit();
  on_body(c, rest);
  if (c.phase == Phase::Body && c.body_received < c.body_length) {
    // A client that asked waits for this before it sends the body.
    if (const std::string* expect = head->field("expect"); expect && strcasecmp(expect->c_str(), "100-continue") == 0) {
      if (!send_now(c, "HTTP/1.1 100 Continue\r\n\r\n")) c.closed = true;
    }
  }
}

void Server::Impl::on_body(Connection& c, std::string_view data) {
  data =
      data.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), c.body_length - c.body_received)));
  c.body_received += data.size();
  if (c.decoder) {
    try {
      c.decoder->feed(data);
      if (c.body_received == c.body_length) c.decoder->finish();
    } catch (...) {
      // The rest of the body is still read, so that the fault reaches a
      // client that is still sending; what was built is freed now.
      c.decode_error = std::current_exception();
      c.decoder.reset();
    }
  }
  if (c.body_received == c.body_length) c.phase = Phase::Ready;
}

void Server::Impl::expire(Clock::time_point now) {
  for (Connection& c : connections) {
    if (c.closed || now < c.deadline) continue;
    switch (c.phase) {
      case Phase::Head:
      case Phase::Body:
        logger().debug("XML-RPC request not received in time; dropping the connection");
        // No lingering: a client that does not send does not deserve more
        // time.
        send_now(c, error_response(408, "request not received in time"));
        c.closed = true;
        break;
      case Phase::Linger: c.closed = true; break;
      case Phase::Ready: break;
    }
  }
}

// Thrown by a piece writer whose client went away, to stop encoding.
struct ClientGone {};

void Server::Impl::serve(Connection& c) {
  if (!c.decoder) {
    const std::string fault = detail::CallHandler::respond_error(c.decode_error);
    write_all(c, ok_head(fault.size()), fault);
    return;
  }
  bool head_sent = false;
  try {
    handler.respond(*c.decoder, [&](std::string_view piece, bool last) {
      if (!head_sent && last) {
        // The whole answer in one piece: sent with its length.
        head_sent = true;
        c.decoder.reset();
        if (!write_all(c, ok_head(piece.size()), piece)) throw ClientGone();
        return;
      }
      if (!head_sent) {
        // A large answer streams as it is encoded; its end is where the
        // connection closes.
        head_sent = true;
        c.decoder.reset();
        if (!write_all(c, ok_head(std::nullopt), {})) throw ClientGone();
      }
      if (!write_all(c, piece, {})) throw ClientGone();
      // The client reads until the end of the stream: it need not wait
      // while the result is freed here.
      if (last) ::shutdown(c.fd.get(), SHUT_WR);
    });
  } catch (const ClientGone&) {
    logger().debug("XML-RPC client went away before reading its response");
  } catch (const std::exception& e) {
    // Not the client's doing (memory, most likely); the next request may
    // fare better, so the server goes on.
    logger().error("XML-RPC request failed: {}", e.what());
    if (!head_sent) {
      write_all(c, error_response(500, fmt::format("the request could not be processed: {}", e.what())), {});
    }
  }
  // The end of a streamed answer is the end of the connection, which a
  // process forked during the call would otherwise keep open with its copy
  // of the descriptor.
  ::shutdown(c.fd.get(), SHUT_WR);
}

void Server::Impl::reject(Connection& c, int status, std::string_view text, std::string_view extra_fields) {
  logger().debug("XML-RPC request refused: {} {} ({})", status, detail::reason_phrase(status), text);
  const std::string response = error_response(status, text, extra_fields);
  // The client may still be sending its body.  Closing with unread data
  // would reset the connection, and the reset can destroy the response
  // before the client reads it; so signal the end of the response and
  // discard input until the client closes, for a bounded time.
  c.head.clear();
  c.head.shrink_to_fit();
  c.decoder.reset();
  if (!send_now(c, response)) {
    c.closed = true;
    return;
  }
  ::shutdown(c.fd.get(), SHUT_WR);
  c.phase = Phase::Linger;
  c.deadline = std::min(c.accepted + options.read_timeout, Clock::now() + kLingerLimit);
}

// A short answer to a client that has not shown the token: sent if the
// socket takes it at once, never waited for.
bool Server::Impl::send_now(Connection& c, std::string_view data) {
  iovec part{const_cast<char*>(data.data()), data.size()};
  std::span<iovec> left(&part, 1);
  while (!left.empty()) {
    if (!detail::send_some(c.fd.get(), left)) return false;
  }
  return true;
}

// The response to a served request is written within its own deadline, as
// long as the request was allowed, so that a client that does not read
// cannot hold the server.
bool Server::Impl::write_all(Connection& c, std::string_view head, std::string_view body) {
  iovec parts[2] = {{const_cast<char*>(head.data()), head.size()}, {const_cast<char*>(body.data()), body.size()}};
  std::span<iovec> left(parts);
  const Clock::time_point deadline = Clock::now() + options.read_timeout;
  while (!left.empty()) {
    if (detail::send_some(c.fd.get(), left)) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (!detail::wait_until(c.fd.get(), POLLOUT, deadline)) return false;
  }
  return true;
}

void Server::Impl::wake_up() {
  if (wake) return;  // one outstanding wake-up is enough
  UniqueFd fd(::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return;  // the caller's loop then waits for the next client
  sockaddr_storage target = address;
  // The listener's actual port (the options may have asked for 0).
  if (target.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in&>(target).sin_port = htons(static_cast<std::uint16_t>(port));
  } else {
    reinterpret_cast<sockaddr_in6&>(target).sin6_port = htons(static_cast<std::uint16_t>(port));
  }
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), address_length) != 0 && errno != EINPROGRESS) {
    return;
  }
  wake_address_length = sizeof wake_address;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&wake_address), &wake_address_length) != 0) return;
  wake = std::move(fd);
}

Server::Server(Options options, Dispatcher dispatcher) : impl_(std::make_unique<Impl>(std::move(dispatcher))) {
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
  impl_->address = address;
  impl_->address_length = length;
  impl_->options = std::move(options);
}

Server::~Server() = default;

int Server::port() const { return impl_->port; }

int Server::listen_fd() const { return impl_->listener.get(); }

void Server::handle_request() { impl_->handle_request(); }

}  // namespace tarvex::xmlrpc
