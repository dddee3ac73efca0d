// What a client of the worker server can send, on arbitrary input.
//
// The first byte chooses the way in:
// - even: the rest is a request body, answered by the call handler behind
//   the HTTP layer (decoder, introspection, multicall, dispatch, encoder);
// - odd, bit 1 set: the rest is a body sent over a real connection with a
//   valid head and the token;
// - odd, bit 1 clear: the rest is the whole HTTP request, head and body,
//   as any local user could send it.
//
// Besides not crashing, the code must keep three promises: every answer
// the handler writes is a document our decoder reads back; a body our
// reader accepts is well-formed XML for expat too; and the server answers
// every connection (or drops it) and goes on serving.
#include <arpa/inet.h>
#include <expat.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tarvex/exceptions.hpp"
#include "tarvex/xmlrpc.hpp"
#include "xmlrpc/xmlrpc_calls.hpp"
#include "xmlrpc/xmlrpc_codec.hpp"
#include "xmlrpc/xmlrpc_http.hpp"

namespace {

using namespace tarvex;
using namespace tarvex::xmlrpc;

constexpr const char* kToken = "fuzz-token";

Value dispatch(const std::string& method, const List& params) {
  if (method.starts_with("f")) throw RuntimeError("failed: " + method);
  if (method == "nothing") return Value();
  return Value::list({Value(method), Value(params)});
}

const detail::CallHandler& handler() {
  static const detail::CallHandler* made = new detail::CallHandler(dispatch);
  return *made;
}

Server& server() {
  static Server* made = [] {
    Server::Options options;
    options.token = kToken;
    options.head_timeout = std::chrono::milliseconds(20);
    options.read_timeout = std::chrono::milliseconds(100);
    options.slice = std::chrono::milliseconds(50);
    return new Server(options, dispatch);
  }();
  return *made;
}

bool well_formed_for_expat(std::string_view body) {
  XML_Parser parser = XML_ParserCreate(nullptr);
  const bool ok = XML_Parse(parser, body.data(), static_cast<int>(body.size()), XML_TRUE) == XML_STATUS_OK;
  XML_ParserFree(parser);
  return ok;
}

void check_answer(const std::string& answer) {
  detail::Decoder decoder(detail::Decoder::Kind::Response);
  try {
    decoder.feed(answer);
    decoder.finish();
  } catch (const ValueError& e) {
    std::fprintf(stderr, "our own answer does not decode: %s\n%s\n", e.message().c_str(), answer.c_str());
    std::abort();
  }
}

void through_the_handler(std::string_view body) {
  const std::string answer = handler().respond(body);
  check_answer(answer);
  // A body the decoder accepted is answered with a result or with a fault
  // other than a decoding failure.
  const bool refused = answer.find("malformed XML-RPC call") != std::string::npos;
  if (!refused && !well_formed_for_expat(body)) {
    std::fprintf(stderr, "accepted a body that expat finds malformed\n");
    std::abort();
  }
}

void over_a_connection(const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(server().port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return;
  }
  // Small requests only (the fuzzer's inputs are), so that this fits in
  // the socket's buffer without the server reading.
  std::string_view left = request;
  while (!left.empty()) {
    const ssize_t n = ::send(fd, left.data(), left.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) break;
    left.remove_prefix(static_cast<std::size_t>(n));
  }
  ::shutdown(fd, SHUT_WR);
  // The server must answer or drop the connection within a few turns.
  std::string response;
  for (int turn = 0; turn < 20; ++turn) {
    pollfd entry{server().listen_fd(), POLLIN, 0};
    if (::poll(&entry, 1, 0) > 0) server().handle_request();
    char chunk[4096];
    ssize_t n;
    while ((n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0) response.append(chunk, static_cast<std::size_t>(n));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
      ::close(fd);
      if (response.starts_with("HTTP/1.1 200 ")) check_answer(response.substr(response.find("\r\n\r\n") + 4));
      return;
    }
    server().handle_request();
  }
  std::fprintf(stderr, "the server neither answered nor dropped the connection\n");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((mode & 1) == 0) {
    through_the_handler(rest);
  } else if (mode & 2) {
    over_a_connection(
        "POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + detail::basic_credentials("fuzz", kToken) +
        "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(rest.size()) + "\r\n\r\n" + rest);
  } else {
    over_a_connection(rest);
  }
  return 0;
}
