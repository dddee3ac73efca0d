// Runs a test body in a forked child process, for tests that send real
// signals or change process-wide state that the test runner must keep.
#pragma once

#include <unistd.h>

#include <functional>
#include <string>

#include "tarvex/process.hpp"

namespace tarvex::testing {

struct ChildResult {
  int status;
  std::string output;  // what the body returned
};

// `body` gets the child's side of a pipe on which it may report readiness;
// `parent` runs in the parent meanwhile with the child's pid and the read end.
inline ChildResult run_in_child(const std::function<std::string(int ready_fd)>& body,
                                const std::function<void(pid_t child, int ready_fd)>& parent = {}) {
  int out[2];
  int ready[2];
  if (::pipe(out) != 0 || ::pipe(ready) != 0) throw std::runtime_error("pipe failed");
  auto child = process::ChildProcess::fork([&] {
    ::close(out[0]);
    ::close(ready[0]);
    const std::string text = body(ready[1]);
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(out[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    return 0;
  });
  ::close(out[1]);
  ::close(ready[1]);
  if (parent) parent(child.pid(), ready[0]);
  std::string output;
  char buf[4096];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) output.append(buf, static_cast<std::size_t>(n));
  ::close(out[0]);
  ::close(ready[0]);
  const int status = child.wait().value_or(-1);
  return {status, output};
}

// Blocks until the child has written a byte on its readiness pipe.
inline void wait_ready(int ready_fd) {
  char byte;
  [[maybe_unused]] auto n = ::read(ready_fd, &byte, 1);
}

}  // namespace tarvex::testing
