// A client of an FRR daemon's vty socket, as vtysh talks to it: a command
// is sent as text ending with a NUL byte; the answer is the command's
// output followed by three NUL bytes and a status byte (0 for success).
#pragma once

#include <chrono>
#include <string>

#include "tarvex/fd.hpp"

namespace tarvex::morvane::cleaners::frr {

class VtyClient {
 public:
  using Clock = std::chrono::steady_clock;

  // Connects to the socket at `path` (DIR/DAEMON.vty); OSError when no
  // daemon listens there.
  explicit VtyClient(std::string path);

  // The output of `command`; RuntimeError when the daemon reports an error
  // or closes the connection, TimeoutError when it has not answered by
  // `deadline`.
  std::string run(const std::string& command, Clock::time_point deadline);

 private:
  std::string path_;
  UniqueFd fd_;
};

}  // namespace tarvex::morvane::cleaners::frr
