#include "vty_client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tarvex/exceptions.hpp"
#include "tarvex/process.hpp"

namespace tarvex::morvane::cleaners::frr {

VtyClient::VtyClient(std::string path) : path_(std::move(path)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) throw OSError(ENAMETOOLONG, "The vty socket path is too long: " + path_);
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd_ || ::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    throw OSError(error, "Cannot connect to " + path_ + ": " + std::strerror(error));
  }
}

std::string VtyClient::run(const std::string& command, Clock::time_point deadline) {
  if (!process::write_fully(fd_.get(), std::string_view(command.c_str(), command.size() + 1))) {
    const int error = errno;
    throw OSError(error, "Cannot send " + command + " to " + path_ + ": " + std::strerror(error));
  }
  std::string answer;
  char buffer[16384];
  for (;;) {
    if (answer.size() >= 4 && answer.compare(answer.size() - 4, 3, std::string(3, '\0')) == 0) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd pfd{fd_.get(), POLLIN, 0};
    const int ready = left > 0 ? ::poll(&pfd, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) throw TimeoutError(ETIMEDOUT, "No answer to " + command + " from " + path_ + " in time");
    const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw RuntimeError("The daemon at " + path_ + " closed the connection during " + command);
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  const int status = static_cast<unsigned char>(answer.back());
  answer.resize(answer.size() - 4);
  if (status != 0) {
    throw RuntimeError("The daemon at " + path_ + " refused " + command + " (status " + std::to_string(status) +
                       "): " + answer);
  }
  return answer;
}

}  // namespace tarvex::morvane::cleaners::frr
