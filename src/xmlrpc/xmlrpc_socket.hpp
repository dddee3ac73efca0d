// Socket plumbing shared by the XML-RPC server and client: waits bounded by
// a deadline, and the translation of errno values into the framework's
// OSError family.
#pragma once

#include <sys/uio.h>

#include <chrono>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "tarvex/fd.hpp"

namespace tarvex::xmlrpc::detail {

using Clock = std::chrono::steady_clock;

using tarvex::UniqueFd;

// The OSError-family error for errno `err` (ConnectionRefusedError for
// ECONNREFUSED, ConnectionResetError for ECONNRESET, ...), with the text
// "[Errno N] description" followed by `doing`, which says what failed.
std::exception_ptr os_error(int err, std::string_view doing);
[[noreturn]] void raise_os_error(int err, std::string_view doing);

// Waits until `fd` is ready for `events` (poll flags) or `deadline` passes;
// false on time-out.  An error or hang-up condition counts as ready, so that
// the following read or write reports it.
bool wait_until(int fd, short events, Clock::time_point deadline);

// Sends as much of `parts` as the socket accepts without blocking, never
// raising SIGPIPE, and drops from `parts` what was sent (empty once all is
// sent).  Returns false with errno set on failure (EAGAIN when the socket's
// buffer is full).
bool send_some(int fd, std::span<iovec>& parts);

}  // namespace tarvex::xmlrpc::detail
