#include "xmlrpc_socket.hpp"

#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "tarvex/exceptions.hpp"

namespace tarvex::xmlrpc::detail {

std::exception_ptr os_error(int err, std::string_view doing) {
  std::string text = fmt::format("[Errno {}] {}", err, std::system_category().message(err));
  if (!doing.empty()) text += fmt::format(" ({})", doing);
  switch (err) {
    case ECONNREFUSED: return std::make_exception_ptr(ConnectionRefusedError(err, std::move(text)));
    case ECONNRESET: return std::make_exception_ptr(ConnectionResetError(err, std::move(text)));
    case EPIPE:
    case ECONNABORTED: return std::make_exception_ptr(ConnectionError(err, std::move(text)));
    case ETIMEDOUT: return std::make_exception_ptr(TimeoutError(err, std::move(text)));
    default: return std::make_exception_ptr(OSError(err, std::move(text)));
  }
}

void raise_os_error(int err, std::string_view doing) { std::rethrow_exception(os_error(err, doing)); }

bool wait_until(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd, events, 0};
    const int timeout = static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), 60'000));
    const int n = ::poll(&entry, 1, timeout);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return true;  // let the caller's read or write report it
  }
}

bool send_some(int fd, std::span<iovec>& parts) {
  while (!parts.empty() && parts.front().iov_len == 0) parts = parts.subspan(1);
  if (parts.empty()) return true;
  msghdr message{};
  message.msg_iov = parts.data();
  message.msg_iovlen = parts.size();
  ssize_t sent;
  do {
    sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return false;
  auto left = static_cast<std::size_t>(sent);
  while (!parts.empty() && left >= parts.front().iov_len) {
    left -= parts.front().iov_len;
    parts = parts.subspan(1);
  }
  if (left > 0) {
    parts.front().iov_base = static_cast<char*>(parts.front().iov_base) + left;
    parts.front().iov_len -= left;
  }
  return true;
}

}  // namespace tarvex::xmlrpc::detail
