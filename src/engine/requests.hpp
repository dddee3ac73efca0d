// Running requests to the engine and reading their outcome: the parts the
// Engine's calls share.
#pragma once

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/transfer.hpp"
#include "engine/transfer_loop.hpp"
#include "tarvex/engine/engine.hpp"
#include "tarvex/exceptions.hpp"

namespace tarvex::engine {

// Why a request failed, worded for what was asked ("create container r1").
struct Failure {
  enum class Kind { engine, connection, timeout };
  Kind kind = Kind::engine;
  long http_status = 0;
  std::string text;
};

// nullopt when the transfer got a 2xx answer or one of `accepted`.
std::optional<Failure> failure_of(const Transfer& transfer, const std::string& what, const std::string& socket_path,
                                  std::initializer_list<long> accepted = {});
// EngineError, ConnectionError or TimeoutError, by the failure's kind.
[[noreturn]] void raise_failure(const Failure& failure);
// The outcome of a batch item.
ItemResult item_result(std::string item, const std::optional<Failure>& failure);

// The engine's Engine API calls, each on one loop with its options.
class Requests {
 public:
  Requests(TransferLoop& loop, const std::string& socket_path, const EngineOptions& options)
      : loop_(loop), socket_(socket_path), options_(options) {}

  std::unique_ptr<Transfer> make(std::string method, std::string path, std::optional<std::string> json = {},
                                 std::optional<std::chrono::milliseconds> timeout = {}) const;
  // Runs one request to its end; its outcome is left to the caller.
  std::unique_ptr<Transfer> run(std::string method, std::string path, std::optional<std::string> json = {}) const;
  // Runs one request and raises its failure, naming `what`.
  std::unique_ptr<Transfer> checked(const std::string& what, std::string method, std::string path,
                                    std::optional<std::string> json = {},
                                    std::initializer_list<long> accepted = {}) const;
  // Runs transfers at once (the options' max_parallel); `between` runs
  // after each wait, before the interrupt callback.
  void run_all(const std::vector<std::unique_ptr<Transfer>>& transfers,
               const std::function<void()>& between = {}) const;
  void interrupt() const {
    if (options_.interrupt) options_.interrupt();
  }

  const std::string& socket_path() const { return socket_; }
  const EngineOptions& options() const { return options_; }

 private:
  TransferLoop& loop_;
  const std::string& socket_;
  const EngineOptions& options_;
};

}  // namespace tarvex::engine
