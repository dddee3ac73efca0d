// The waits the manager makes, set from the module constants.  Tests
// shorten them here; the shipped constants never change.
#pragma once

#include "tarvex/morvane/orvanta.hpp"

namespace tarvex::morvane::orvanta {

struct Timing {
  double port_check_interval_sec = XMLRPC_SERVER_PORT_ALLOCATED_CHECK_INTERVAL_SEC;
  int port_check_attempts = MAX_XMLRPC_SERVER_PORT_ALLOCATED_CHECK_ATTEMPTS;
  double connect_retry_interval_sec = XMLRPC_CONNECT_RETRY_INTERVAL_SEC;
  int connect_retries = MAX_XMLRPC_CONNECT_RETRY;
  double settling_time_sec = PRE_TEARDOWN_SETTLING_TIME_SEC;
};
Timing& timing();

}  // namespace tarvex::morvane::orvanta
