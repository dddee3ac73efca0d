// A connection to the engine that leaves HTTP behind after one answer, as
// an exec's start does: the command's standard input goes one way and its
// framed output comes back the other, until the engine closes it.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tarvex::engine {

// curl connects (CONNECT_ONLY, over the unix socket) and then carries the
// bytes as they are; the caller waits on fd() for readiness.  Neither send
// nor receive blocks.
class RawConnection {
 public:
  RawConnection(const std::string& socket_path, std::chrono::milliseconds connect_timeout);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  int fd() const { return fd_; }
  // Sends what the socket takes now; returns how many bytes.
  std::size_t send_some(std::string_view data);
  // What has arrived: nullopt when nothing yet, empty at the end.
  std::optional<std::string> receive();
  // Tells the engine that no more input comes (the command's input ends).
  void close_write();

 private:
  std::string socket_;
  CURL* easy_ = nullptr;
  int fd_ = -1;
};

}  // namespace tarvex::engine
