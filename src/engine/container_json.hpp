// The Engine API's JSON forms of containers, read and written.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "tarvex/engine/container_config.hpp"
#include "tarvex/engine/container_state.hpp"
#include "tarvex/exceptions.hpp"

namespace tarvex::engine {

class Transfer;

// The body of POST /containers/create (the name goes in the query).
std::string create_body(const ContainerConfig& config);

// An answer of GET /containers/{id}/json, and one entry of /containers/json.
ContainerState read_state(const nlohmann::json& inspect);
ContainerSummary read_summary(const nlohmann::json& entry);

// The new container's id in the answer to POST /containers/create;
// RuntimeError naming `what` when there is none.
std::string created_id(const Transfer& transfer, const std::string& what);

// Parses an answer the engine sent; RuntimeError naming `what` when it is
// not JSON.
nlohmann::json parse_answer(const std::string& body, const std::string& what);

}  // namespace tarvex::engine
