// The XML-RPC client: one HTTP/1.1 POST per call over a fresh connection.
//
// Our own few lines over a socket rather than xmlrpc-c's curl transport,
// which reports a refused connection, an HTTP error status and an oversized
// response all as the same error; the callers must tell them apart.

#include <fmt/format.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <xmlrpc-c/xml.hpp>

#include "tarvex/xmlrpc.hpp"
#include "xmlrpc_http.hpp"
#include "xmlrpc_socket.hpp"
#include "xmlrpc_values.hpp"

namespace tarvex::xmlrpc {

namespace {

using detail::UniqueFd;

constexpr std::size_t kReadChunk = 16 * 1024;
// The largest response body read; the XML size limit would refuse a larger
// document anyway.
constexpr std::uint64_t kMaxResponseBytes = std::uint64_t{256} * 1024 * 1024;

struct Response {
  int status = 0;
  std::string reason;
  std::string body;
};

// The connection of one call: connects, sends the request and reads the
// response, running the interrupt hook whenever the interrupt descriptor
// becomes readable while it waits.
class Exchange {
 public:
  Exchange(const ServerProxy::Options& options, const std::string& endpoint) : options_(options), endpoint_(endpoint) {}

  void connect(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
      throw OSError(EHOSTUNREACH,
                    fmt::format("cannot resolve {}: {} (connecting to {})", host, ::gai_strerror(rc), endpoint_));
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
    int error = ECONNREFUSED;
    for (const addrinfo* a = found; a; a = a->ai_next) {
      socket_.reset(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
      if (!socket_) {
        error = errno;
        continue;
      }
      if (::connect(socket_.get(), a->ai_addr, a->ai_addrlen) == 0) return tune();
      error = errno;
      // Interrupted, the connection still goes on in the background.
      if (error == EINPROGRESS || error == EINTR) {
        wait(POLLOUT);
        socklen_t length = sizeof error;
        if (::getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error == 0) return tune();
      }
    }
    socket_.reset();
    detail::raise_os_error(error, "connecting to " + endpoint_);
  }

  // Sends the request.  Returns 0, or the errno of a connection the server
  // broke off: a server that refuses a request early (401, 413) may close
  // before taking the whole body, and its answer is still worth reading.
  int send(const std::string& head, const std::string& body) {
    iovec parts[2] = {{const_cast<char*>(head.data()), head.size()}, {const_cast<char*>(body.data()), body.size()}};
    std::span<iovec> left(parts);
    while (!left.empty()) {
      if (detail::send_some(socket_.get(), left)) continue;
      if (errno == EPIPE || errno == ECONNRESET) return errno;
      if (errno != EAGAIN && errno != EWOULDBLOCK) detail::raise_os_error(errno, "sending the request to " + endpoint_);
      wait(POLLOUT);
    }
    return 0;
  }

  // Reads the whole response; `send_error` is what send() returned, raised
  // when no response arrives after all.
  Response receive(int send_error) {
    std::string buffer;
    std::size_t head_end;
    std::size_t scanned = 0;
    // Reads go through a chunk on the stack: growing a string by a whole
    // chunk would fill memory that a small response never uses.
    char chunk[kReadChunk];
    while ((head_end = detail::find_head_end(buffer, scanned)) == std::string::npos) {
      scanned = buffer.size();
      if (buffer.size() > detail::kMaxHeadBytes) throw ValueError("HTTP response head too large from " + endpoint_);
      const std::size_t got = read_some(chunk, sizeof chunk, buffer.empty() ? send_error : 0);
      if (got == 0) {
        if (buffer.empty()) {
          if (send_error != 0) detail::raise_os_error(send_error, "sending the request to " + endpoint_);
          throw EOFError("Remote end closed connection without response (" + endpoint_ + ")");
        }
        throw OSError(EPROTO, "connection closed in the middle of the HTTP response head from " + endpoint_);
      }
      buffer.append(chunk, got);
    }

    std::string error;
    const std::optional<detail::HttpHead> head =
        detail::parse_head(std::string_view(buffer).substr(0, head_end), error);
    if (!head) throw ValueError(fmt::format("malformed HTTP response from {}: {}", endpoint_, error));
    Response response = parse_status_line(head->start_line);
    if (head->field("transfer-encoding")) {
      throw ValueError("unsupported HTTP response from " + endpoint_ + ": Transfer-Encoding is not supported");
    }
    const std::optional<std::uint64_t> length = detail::content_length(*head, error);
    if (!error.empty()) throw ValueError(fmt::format("malformed HTTP response from {}: {}", endpoint_, error));
    if (length && *length > kMaxResponseBytes) {
      throw ValueError(fmt::format("HTTP response of {} bytes from {} exceeds the limit of {} bytes", *length,
                                   endpoint_, kMaxResponseBytes));
    }

    response.body = buffer.substr(head_end);
    buffer.clear();
    if (length) {
      // Received in place, straight into the body.
      const auto expected = static_cast<std::size_t>(*length);
      std::size_t received = std::min(response.body.size(), expected);
      response.body.resize(expected);
      while (received < expected) {
        const std::size_t got = read_some(response.body.data() + received, expected - received, 0);
        if (got == 0) {
          throw OSError(EPROTO, fmt::format("connection closed after {} of {} bytes of the HTTP response body from {}",
                                            received, expected, endpoint_));
        }
        received += got;
      }
    } else {
      // No length: the body ends where the server closes.
      while (const std::size_t got = read_some(chunk, sizeof chunk, 0)) {
        response.body.append(chunk, got);
        if (response.body.size() > kMaxResponseBytes) {
          throw ValueError(
              fmt::format("HTTP response from {} exceeds the limit of {} bytes", endpoint_, kMaxResponseBytes));
        }
      }
    }
    return response;
  }

 private:
  void tune() {
    // One write per request: nothing to gain from Nagle, and the end of a
    // large request must not wait for the server's delayed acknowledgement.
    const int on = 1;
    ::setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }

  // Receives what the socket holds into `data` (waiting for it); 0 at the
  // end of the stream.  `send_error`, when not 0, is reported instead of a
  // reset: the server broke off because it refused the request, and its
  // answer got lost.
  std::size_t read_some(char* data, std::size_t capacity, int send_error) {
    for (;;) {
      wait(POLLIN);
      const ssize_t n = ::recv(socket_.get(), data, capacity, 0);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      detail::raise_os_error(send_error != 0 ? send_error : errno, "reading the response from " + endpoint_);
    }
  }

  Response parse_status_line(const std::string& line) const {
    // "HTTP/1.1 200 OK"; the reason phrase may be empty.
    Response response;
    const std::size_t space = line.find(' ');
    int status = 0;
    const char* code = line.data() + space + 1;
    const bool ok = line.starts_with("HTTP/") && space != std::string::npos && line.size() >= space + 4 &&
                    std::from_chars(code, code + 3, status).ptr == code + 3 &&
                    (line.size() == space + 4 || line[space + 4] == ' ');
    if (!ok || status < 100) {
      throw ValueError(fmt::format("malformed HTTP status line from {}: {}", endpoint_, py_repr(line)));
    }
    response.status = status;
    response.reason = line.size() > space + 5 ? line.substr(space + 5) : std::string();
    return response;
  }

  void wait(short events) {
    bool watch = options_.interrupt_fd >= 0 && static_cast<bool>(options_.on_interrupt);
    for (;;) {
      pollfd fds[2] = {{socket_.get(), events, 0}, {options_.interrupt_fd, POLLIN, 0}};
      if (::poll(fds, watch ? 2 : 1, -1) < 0) {
        if (errno == EINTR) continue;
        detail::raise_os_error(errno, "waiting for " + endpoint_);
      }
      if (watch && (fds[1].revents & POLLNVAL)) {
        watch = false;  // not an open descriptor: nothing to watch
      } else if (watch && fds[1].revents != 0) {
        // May throw, abandoning the call; the socket closes with the
        // Exchange.
        options_.on_interrupt();
        continue;
      }
      if (fds[0].revents != 0) return;
    }
  }

  const ServerProxy::Options& options_;
  const std::string& endpoint_;
  UniqueFd socket_;
};

std::string encode_call(const std::string& method, const List& params) {
  try {
    xmlrpc_c::paramList list(static_cast<unsigned>(params.size()));
    for (const Value& param : params) list.add(detail::to_xmlrpc(param));
    std::string xml;
    xmlrpc_c::xml::generateCall(method, list, &xml);
    return xml;
  } catch (const ErrorBase&) {
    throw;
  } catch (const std::exception& e) {
    throw ValueError(fmt::format("cannot encode the XML-RPC call {}: {}", py_repr(method), e.what()));
  }
}

}  // namespace

ServerProxy::ServerProxy(std::string url) : ServerProxy(std::move(url), Options()) {}

ServerProxy::ServerProxy(std::string url, Options options) : url_(std::move(url)), options_(std::move(options)) {
  raise_xml_size_limit();
  constexpr std::string_view kScheme = "http://";
  const auto invalid = [this](std::string_view why) {
    return ValueError(fmt::format("invalid XML-RPC URL {}: {}", py_repr(url_), why));
  };
  if (!url_.starts_with(kScheme)) throw invalid("expected http://host:port[/path]");
  const std::string_view rest = std::string_view(url_).substr(kScheme.size());
  const std::size_t slash = rest.find('/');
  const std::string_view authority = rest.substr(0, slash);
  path_ = slash == std::string_view::npos ? "/RPC2" : std::string(rest.substr(slash));
  if (authority.find('@') != std::string_view::npos) {
    // Not echoed: the URL holds a secret.
    throw ValueError("invalid XML-RPC URL: credentials in the URL are not supported; pass the token in the options");
  }
  std::string_view port_text;
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) throw invalid("unterminated IPv6 address");
    host_ = std::string(authority.substr(1, close - 1));
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && !after.starts_with(':')) throw invalid("unexpected text after the IPv6 address");
    port_text = after.empty() ? after : after.substr(1);
  } else {
    const std::size_t colon = authority.rfind(':');
    host_ = std::string(authority.substr(0, colon));
    port_text = colon == std::string_view::npos ? std::string_view() : authority.substr(colon + 1);
  }
  if (host_.empty()) throw invalid("no host");
  port_ = 80;
  if (!port_text.empty()) {
    const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port_);
    if (ec != std::errc() || end != port_text.data() + port_text.size() || port_ < 1 || port_ > 65535) {
      throw invalid("bad port");
    }
  }
}

Value ServerProxy::call(const std::string& method, const List& params) const {
  const std::string host_field =
      host_.find(':') == std::string::npos ? fmt::format("{}:{}", host_, port_) : fmt::format("[{}]:{}", host_, port_);
  const std::string endpoint = fmt::format("http://{}{}", host_field, path_);
  const std::string body = encode_call(method, params);
  std::string head = fmt::format(
      "POST {} HTTP/1.1\r\nHost: {}\r\nUser-Agent: tarvex-xmlrpc\r\nContent-Type: text/xml\r\nContent-Length: "
      "{}\r\nConnection: close\r\n",
      path_, host_field, body.size());
  if (!options_.token.empty())
    head += "Authorization: " + detail::basic_credentials("morvane", options_.token) + "\r\n";
  head += "\r\n";

  Exchange exchange(options_, endpoint);
  exchange.connect(host_, port_);
  const int send_error = exchange.send(head, body);
  const Response response = exchange.receive(send_error);
  if (response.status != 200) {
    throw ProtocolError(response.status, fmt::format("HTTP {} {} from {}", response.status, response.reason, endpoint));
  }

  xmlrpc_c::rpcOutcome outcome;
  try {
    xmlrpc_c::xml::parseResponse(response.body, &outcome);
  } catch (const std::exception& e) {
    throw ValueError(fmt::format("malformed XML-RPC response from {}: {}", endpoint, e.what()));
  }
  if (!outcome.succeeded()) {
    const xmlrpc_c::fault fault = outcome.getFault();
    throw Fault(static_cast<int>(fault.getCode()), fault.getDescription());
  }
  return detail::from_xmlrpc(outcome.getResult());
}

}  // namespace tarvex::xmlrpc
