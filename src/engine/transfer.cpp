#include "engine/transfer.hpp"

#include "tarvex/exceptions.hpp"

namespace tarvex::engine {

void ensure_curl_initialised() {
  // The process has one thread, so the first call is the only one that can
  // run curl's (thread-unsafe) global set-up.
  static const bool initialised = [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw RuntimeError("cannot initialise libcurl");
    return true;
  }();
  (void)initialised;
}

std::string url_escape(std::string_view text) {
  char* escaped = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
  if (!escaped) throw RuntimeError("cannot escape '" + std::string(text) + "' for a URL");
  std::string result(escaped);
  curl_free(escaped);
  return result;
}

Transfer::Transfer(const std::string& socket_path, const Request& request, std::chrono::milliseconds connect_timeout) {
  ensure_curl_initialised();
  easy_ = curl_easy_init();
  if (!easy_) throw RuntimeError("cannot make a curl handle for " + request.method + " " + request.path);
  const std::string url = "http://localhost" + std::string(kApiPrefix) + request.path;
  curl_easy_setopt(easy_, CURLOPT_UNIX_SOCKET_PATH, socket_path.c_str());
  curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect_timeout.count()));
  curl_easy_setopt(easy_, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Transfer::on_data);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy_, CURLOPT_PRIVATE, this);
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error_buffer_);
  // The engine never asks for confirmation before a body.
  headers_ = curl_slist_append(headers_, "Expect:");
  if (request.method == "POST") {
    request_body_ = request.json.value_or("");
    if (request.json) headers_ = curl_slist_append(headers_, "Content-Type: application/json");
    curl_easy_setopt(easy_, CURLOPT_POST, 1L);
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, request_body_.c_str());
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request_body_.size()));
  } else if (request.method != "GET") {
    curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
}

Transfer::~Transfer() {
  curl_easy_cleanup(easy_);
  curl_slist_free_all(headers_);
}

std::size_t Transfer::on_data(char* data, std::size_t size, std::size_t count, void* self) {
  auto* transfer = static_cast<Transfer*>(self);
  const std::size_t n = size * count;
  transfer->body_.append(data, n);
  if (transfer->streaming_) {
    std::size_t start = 0;
    for (std::size_t end; (end = transfer->body_.find('\n', start)) != std::string::npos; start = end + 1) {
      transfer->lines_.emplace_back(transfer->body_, start, end - start);
    }
    transfer->body_.erase(0, start);
  }
  return n;
}

std::vector<std::string> Transfer::take_lines() {
  std::vector<std::string> lines(std::make_move_iterator(lines_.begin()), std::make_move_iterator(lines_.end()));
  lines_.clear();
  return lines;
}

void Transfer::finish(CURLcode code) {
  done_ = true;
  code_ = code;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status_);
  // A streamed answer's last line may lack its newline.
  if (streaming_ && !body_.empty()) {
    lines_.push_back(std::move(body_));
    body_.clear();
  }
}

std::optional<std::string> Transfer::header(const char* name) const {
  curl_header* found = nullptr;
  if (curl_easy_header(easy_, name, 0, CURLH_HEADER, -1, &found) != CURLHE_OK || !found) return std::nullopt;
  return std::string(found->value);
}

std::string Transfer::transport_error() const {
  if (code_ == CURLE_OK) return {};
  return error_buffer_[0] ? std::string(error_buffer_) : std::string(curl_easy_strerror(code_));
}

}  // namespace tarvex::engine
