// Parallel calls in child processes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tarvex/object.hpp"

namespace tarvex::async_ {

// The objects handed to the targets, one per target.
using Target = std::function<void(Object& device)>;

// Calls every target i with `device[i]`, each in a child process of its own,
// all at the same time, and returns when all have finished.  Raises when a
// call fails (the error names the device and carries the child's error
// text), when `timeout` seconds have elapsed, or when a termination signal
// arrives; the children still running are then stopped and reaped.
// `on_success`, when given, is called in the caller's process with the name
// of each device whose call has ended well, as it ends.
void pcall(const std::vector<Target>& targets, double timeout, const std::vector<std::shared_ptr<Object>>& device,
           const std::function<void(const std::string& device_name)>& on_success = {});

}  // namespace tarvex::async_
