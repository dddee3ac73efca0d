// The OSError for a failed system call on a file, shared by the code that
// reads and writes files.
#pragma once

#include <cstring>
#include <string>

#include "tarvex/exceptions.hpp"
#include "tarvex/value.hpp"

namespace tarvex {

// Worded like the errors of the standard library of a dynamic language
// (`[Errno 2] No such file or directory: 'tb.yaml'`), which users know;
// a missing file raises the FileNotFoundError subtype.
[[noreturn]] inline void raise_os_error(int error, const std::string& path) {
  std::string message = "[Errno " + std::to_string(error) + "] " + std::strerror(error) + ": " + py_repr(path);
  if (error == ENOENT) throw FileNotFoundError(std::move(message));
  throw OSError(std::move(message));
}

}  // namespace tarvex
