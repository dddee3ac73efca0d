// The error of a request the engine refused.
#pragma once

#include "tarvex/exceptions.hpp"

namespace tarvex::engine {

// The engine answered with an HTTP error: the message names what was asked
// ("cannot create container lab-r1: 404 no such image: localhost/x:1"), and
// the status lets a caller tell a missing object (404) from a conflict (409)
// or a failure of the engine (500).
class EngineError : public RuntimeError {
  TARVEX_EXCEPTION_MEMBERS(EngineError, RuntimeError)
  EngineError(long http_status, std::string message) : RuntimeError(std::move(message)), status_(http_status) {}
  long http_status() const { return status_; }

 private:
  long status_ = 0;
};

}  // namespace tarvex::engine
