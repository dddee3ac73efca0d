#include "engine/raw_connection.hpp"

#include <sys/socket.h>

#include "engine/transfer.hpp"
#include "tarvex/exceptions.hpp"

namespace tarvex::engine {

RawConnection::RawConnection(const std::string& socket_path, std::chrono::milliseconds connect_timeout)
    : socket_(socket_path) {
  ensure_curl_initialised();
  easy_ = curl_easy_init();
  if (!easy_) throw RuntimeError("cannot make a curl handle for the engine at " + socket_path);
  curl_easy_setopt(easy_, CURLOPT_UNIX_SOCKET_PATH, socket_path.c_str());
  curl_easy_setopt(easy_, CURLOPT_URL, "http://localhost/");
  curl_easy_setopt(easy_, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect_timeout.count()));
  const CURLcode code = curl_easy_perform(easy_);
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (code == CURLE_OK) curl_easy_getinfo(easy_, CURLINFO_ACTIVESOCKET, &socket);
  if (code != CURLE_OK || socket == CURL_SOCKET_BAD) {
    curl_easy_cleanup(easy_);
    throw ConnectionError(ECONNREFUSED,
                          "cannot talk to the engine at " + socket_path + " (" + curl_easy_strerror(code) + ")");
  }
  fd_ = socket;
}

RawConnection::~RawConnection() { curl_easy_cleanup(easy_); }

std::size_t RawConnection::send_some(std::string_view data) {
  std::size_t sent = 0;
  const CURLcode code = curl_easy_send(easy_, data.data(), data.size(), &sent);
  if (code == CURLE_AGAIN) return 0;
  if (code != CURLE_OK) {
    throw ConnectionError(EPIPE, "cannot send to the engine at " + socket_ + " (" + curl_easy_strerror(code) + ")");
  }
  return sent;
}

std::optional<std::string> RawConnection::receive() {
  char buffer[16384];
  std::size_t received = 0;
  const CURLcode code = curl_easy_recv(easy_, buffer, sizeof buffer, &received);
  if (code == CURLE_AGAIN) return std::nullopt;
  if (code != CURLE_OK) {
    throw ConnectionError(ECONNRESET,
                          "cannot read from the engine at " + socket_ + " (" + curl_easy_strerror(code) + ")");
  }
  return std::string(buffer, received);
}

void RawConnection::close_write() { ::shutdown(fd_, SHUT_WR); }

}  // namespace tarvex::engine
