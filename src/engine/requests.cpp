#include "engine/requests.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "tarvex/engine/engine_error.hpp"
#include "tarvex/exceptions.hpp"

namespace tarvex::engine {

namespace {

// The engine's own words: the `message` of its JSON error body, else the
// body itself.
std::string engine_message(const std::string& body) {
  const auto parsed = nlohmann::json::parse(body, nullptr, false);
  if (parsed.is_object() && parsed.contains("message") && parsed["message"].is_string()) {
    return parsed["message"].get<std::string>();
  }
  std::string text = body.substr(0, 300);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.empty() ? "no message" : text;
}

}  // namespace

std::optional<Failure> failure_of(const Transfer& transfer, const std::string& what, const std::string& socket_path,
                                  std::initializer_list<long> accepted) {
  if (transfer.code() == CURLE_OPERATION_TIMEDOUT) {
    return Failure{Failure::Kind::timeout, transfer.status(),
                   fmt::format("cannot {}: the engine at {} did not answer in time ({})", what, socket_path,
                               transfer.transport_error())};
  }
  if (transfer.code() != CURLE_OK) {
    return Failure{
        Failure::Kind::connection, transfer.status(),
        fmt::format("cannot {}: cannot talk to the engine at {} ({})", what, socket_path, transfer.transport_error())};
  }
  const long status = transfer.status();
  if ((status >= 200 && status < 300) || std::find(accepted.begin(), accepted.end(), status) != accepted.end()) {
    return std::nullopt;
  }
  return Failure{Failure::Kind::engine, status,
                 fmt::format("cannot {}: {} {}", what, status, engine_message(transfer.body()))};
}

void raise_failure(const Failure& failure) {
  switch (failure.kind) {
    case Failure::Kind::timeout: throw TimeoutError(ETIMEDOUT, failure.text);
    case Failure::Kind::connection: throw ConnectionError(ECONNREFUSED, failure.text);
    case Failure::Kind::engine: break;
  }
  throw EngineError(failure.http_status, failure.text);
}

ItemResult item_result(std::string item, const std::optional<Failure>& failure) {
  ItemResult result;
  result.item = std::move(item);
  if (failure) {
    result.error = failure->text;
    result.http_status = failure->http_status;
  }
  return result;
}

std::unique_ptr<Transfer> Requests::make(std::string method, std::string path, std::optional<std::string> json,
                                         std::optional<std::chrono::milliseconds> timeout) const {
  Request request{std::move(method), std::move(path), std::move(json), timeout.value_or(options_.request_timeout)};
  return std::make_unique<Transfer>(socket_, request, options_.connect_timeout);
}

std::unique_ptr<Transfer> Requests::run(std::string method, std::string path, std::optional<std::string> json) const {
  std::vector<std::unique_ptr<Transfer>> one;
  one.push_back(make(std::move(method), std::move(path), std::move(json)));
  run_all(one);
  return std::move(one.front());
}

std::unique_ptr<Transfer> Requests::checked(const std::string& what, std::string method, std::string path,
                                            std::optional<std::string> json,
                                            std::initializer_list<long> accepted) const {
  auto transfer = run(std::move(method), std::move(path), std::move(json));
  if (const auto failure = failure_of(*transfer, what, socket_, accepted)) raise_failure(*failure);
  return transfer;
}

void Requests::run_all(const std::vector<std::unique_ptr<Transfer>>& transfers,
                       const std::function<void()>& between) const {
  std::vector<Transfer*> pointers;
  pointers.reserve(transfers.size());
  for (const auto& transfer : transfers) pointers.push_back(transfer.get());
  loop_.run(pointers, options_.max_parallel, [&] {
    if (between) between();
    interrupt();
  });
}

}  // namespace tarvex::engine
