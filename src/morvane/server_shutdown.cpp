#include "tarvex/morvane/server_shutdown.hpp"

#include "morvane/server_shutdown_hook.hpp"

namespace tarvex::morvane::orvanta {

namespace {

std::function<void()>& hook() {
  static std::function<void()>* installed = new std::function<void()>();
  return *installed;
}

}  // namespace

void request_bringup_worker_server_shutdown() {
  if (hook()) hook()();
}

void set_server_shutdown_hook(std::function<void()> new_hook) { hook() = std::move(new_hook); }

}  // namespace tarvex::morvane::orvanta
