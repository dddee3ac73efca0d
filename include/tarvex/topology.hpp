// Device objects of the framework's topology model.
#pragma once

#include <string>

#include "tarvex/object.hpp"

namespace tarvex::topology {

// A device of a testbed: its name, its clean settings (a mapping) and every
// other entry of its testbed definition as an attribute.  Cleaners receive
// one to clean.  Subclasses register in the device-class registry.
class Device : public Object {
  TARVEX_OBJECT(Device)

 public:
  // Keywords: "name" (required), "clean" (a mapping; an empty one when
  // absent or null); any other keyword becomes an attribute of the device.
  void init(const Args& args, const Kwargs& kwargs) override;

  std::string name;
  Value clean = Map{};
};

}  // namespace tarvex::topology
