// The base of clean implementations, and the class factory through which
// they are constructed.
#pragma once

#include <memory>

#include "tarvex/object.hpp"
#include "tarvex/topology.hpp"

namespace tarvex::morvane::bases {

// Constructs a class, or the subclass that the keyword "class" names, with
// the remaining arguments.  "class" may be a class or the name of a
// registered cleaner class.  A class outside the hierarchy is a TypeError:
// "'<D>' is not a subclass of class '<cls>'".
class MorvaneFactory {
 public:
  static std::unique_ptr<Object> call(const ClassInfo& cls, const Args& args, const Kwargs& kwargs);
  template <class T>
  static std::unique_ptr<T> make(const Args& args, const Kwargs& kwargs) {
    std::unique_ptr<Object> made = call(T::class_info(), args, kwargs);
    return std::unique_ptr<T>(static_cast<T*>(made.release()));
  }
};

// The base of every clean implementation.  Keyword arguments become
// attributes of the same name, in argument order; `clean(device)` cleans one
// device (the base does nothing).  Construct cleaners through
// MorvaneFactory, e.g. `MorvaneFactory::make<BaseCleaner>({}, definition)`.
class BaseCleaner : public Object {
  TARVEX_OBJECT(BaseCleaner)

 public:
  void init(const Args& args, const Kwargs& kwargs) override;
  virtual void clean(topology::Device& device);
};

}  // namespace tarvex::morvane::bases
