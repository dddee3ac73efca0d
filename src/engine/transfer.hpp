// One HTTP request to the engine over its unix socket, and its answer.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex::engine {

// Every path is under this API version, which podman 4 and docker 20.10
// both serve.
inline constexpr std::string_view kApiPrefix = "/v1.41";

struct Request {
  std::string method;               // "GET", "POST" or "DELETE"
  std::string path;                 // after the API version: "/containers/create?name=r1"
  std::optional<std::string> json;  // the body, sent as application/json
  std::chrono::milliseconds timeout{0};
};

// A curl easy handle set up for one request.  The body that comes back is
// kept whole, or, for streamed answers (pulls), cut into lines that the
// caller takes as they come: no user code ever runs inside curl's callbacks.
class Transfer {
 public:
  Transfer(const std::string& socket_path, const Request& request, std::chrono::milliseconds connect_timeout);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  CURL* handle() const { return easy_; }
  void stream_lines() { streaming_ = true; }
  std::vector<std::string> take_lines();

  // Set by the loop when curl is done with the transfer.
  void finish(CURLcode code);
  bool done() const { return done_; }
  CURLcode code() const { return code_; }
  // The HTTP status (0 when no answer came).
  long status() const { return status_; }
  const std::string& body() const { return body_; }
  // A header of the answer (the last one of that name).
  std::optional<std::string> header(const char* name) const;
  // Why the transfer itself failed (empty when an answer came whole).
  std::string transport_error() const;

 private:
  static std::size_t on_data(char* data, std::size_t size, std::size_t count, void* self);

  CURL* easy_ = nullptr;
  curl_slist* headers_ = nullptr;
  std::string request_body_;
  std::string body_;
  bool streaming_ = false;
  std::deque<std::string> lines_;
  bool done_ = false;
  CURLcode code_ = CURLE_OK;
  long status_ = 0;
  char error_buffer_[CURL_ERROR_SIZE] = {};
};

// curl's own handle to the library, set up once before the first use.
void ensure_curl_initialised();

// `text` escaped for a URL's query.
std::string url_escape(std::string_view text);

}  // namespace tarvex::engine
