// How the server module installs what request_bringup_worker_server_shutdown()
// does (internal: the worker server's, and the tests' that count requests).
#pragma once

#include <functional>

namespace tarvex::morvane::orvanta {

void set_server_shutdown_hook(std::function<void()> hook);

}  // namespace tarvex::morvane::orvanta
