#include "tarvex/fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tarvex/exceptions.hpp"

namespace tarvex {

void UniqueFd::reset(int fd) noexcept {
  // close() is not retried on EINTR: on Linux the descriptor is released
  // either way, and a retry could close a descriptor another part reused.
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Pipe Pipe::open(int flags) {
  int fds[2];
  if (::pipe2(fds, flags | O_CLOEXEC) != 0) {
    const int error = errno;
    throw OSError(error, std::string("cannot create a pipe: ") + std::strerror(error));
  }
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace tarvex
