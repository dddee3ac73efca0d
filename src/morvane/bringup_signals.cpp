#include "tarvex/morvane/bringup_signals.hpp"

#include <csignal>
#include <cstring>

#include "morvane/bringup_globals.hpp"
#include "tarvex/log.hpp"
#include "tarvex/signals.hpp"

namespace tarvex::morvane::bringup_signals {

namespace {

bool installed = false;

std::string signal_text(int signum) {
  const char* abbrev = ::sigabbrev_np(signum);
  return std::string("signal ") + (abbrev ? std::string("SIG") + abbrev : std::to_string(signum)) + " (" +
         std::to_string(signum) + ")";
}

bool teardown_in_progress() {
  for (const Object* instance : utils::bringup_globals().bringup_instances) {
    if (instance->has_attr("shutting_down") && instance->get_attr("shutting_down").truthy()) return true;
  }
  return false;
}

void bringup_policy(int signum) {
  if (teardown_in_progress()) {
    log::getLogger("tarvex.morvane.bringup_signals")
        .info(fmt::format("Received {} while tearing down; the teardown goes on.", signal_text(signum)));
    return;
  }
  throw SignalError(signum);
}

}  // namespace

SignalError::SignalError(int signum) : Exception(signal_text(signum)), signum_(signum) {}

TARVEX_DEFINE_EXCEPTION(SignalError)

void install_signal_handlers() {
  signals::capture({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
  signals::set_policy(bringup_policy);
  installed = true;
}

bool signal_handlers_installed() { return installed; }

}  // namespace tarvex::morvane::bringup_signals
