// Ownership of file descriptors.
#pragma once

#include <utility>

namespace tarvex {

// Owns one file descriptor and closes it when destroyed, so that no error
// path can leak it.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes the descriptor held so far and takes ownership of `fd`.
  void reset(int fd = -1) noexcept;
  // Gives up ownership without closing.
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

// Both ends of a pipe.
struct Pipe {
  UniqueFd read;
  UniqueFd write;
  // pipe2() with `flags` (O_CLOEXEC is always added); OSError on failure.
  static Pipe open(int flags = 0);
};

}  // namespace tarvex
