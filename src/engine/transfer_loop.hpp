// Runs transfers to the engine concurrently on the calling thread.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <functional>
#include <vector>

#include "engine/transfer.hpp"

namespace tarvex::engine {

// A curl multi handle: its connections to the engine are kept between
// calls, and the transfers of one call run at once, without threads.
class TransferLoop {
 public:
  TransferLoop();
  ~TransferLoop();
  TransferLoop(const TransferLoop&) = delete;
  TransferLoop& operator=(const TransferLoop&) = delete;

  // Runs every transfer to its end, at most `parallel` at once.  `between`
  // runs after each wait, at least every 100 ms: it hands out streamed
  // lines and calls the interrupt callback.  Whatever it throws ends the
  // run; the transfers still in flight are then dropped (their connections
  // closed) and the error propagates.
  void run(const std::vector<Transfer*>& transfers, std::size_t parallel, const std::function<void()>& between);

 private:
  CURLM* multi_ = nullptr;
};

}  // namespace tarvex::engine
