// The worker's way to ask the XML-RPC server of its own process to stop.
//
// Workers call request_bringup_worker_server_shutdown() when they are done
// tearing down and before they raise an error to their caller.  The server
// module installs the implementation when it is loaded; in a process without
// a server the call does nothing.
#pragma once

namespace tarvex::morvane::orvanta {

void request_bringup_worker_server_shutdown();

}  // namespace tarvex::morvane::orvanta
