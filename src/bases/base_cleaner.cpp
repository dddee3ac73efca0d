#include "tarvex/morvane/bases/base_cleaner.hpp"

#include "tarvex/registry.hpp"

namespace tarvex::morvane::bases {

std::unique_ptr<Object> MorvaneFactory::call(const ClassInfo& cls, const Args& args, const Kwargs& kwargs) {
  const Value* requested = kwargs.find("class");
  if (!requested) return cls.construct(args, kwargs);

  const ClassInfo* chosen = nullptr;
  if (requested->is_class()) {
    chosen = &requested->as_class();
  } else if (requested->is_str()) {
    chosen = &cleaner_classes().resolve(requested->as_str());
  } else {
    throw TypeError(std::string("issubclass() arg 1 must be a class, not ") + requested->type_name());
  }
  if (!chosen->is_subclass_of(cls)) {
    throw TypeError("'" + chosen->name() + "' is not a subclass of class '" + cls.name() + "'");
  }
  Kwargs remaining = kwargs;
  remaining.erase("class");
  return chosen->construct(args, remaining);
}

const ClassInfo& BaseCleaner::class_info() {
  static ClassInfo& info = []() -> ClassInfo& {
    static ClassInfo c("tarvex.morvane.bases.BaseCleaner", nullptr, factory_of<BaseCleaner>());
    c.operation("clean", [](Object& self, const List& params) -> Value {
      if (params.size() != 1) throw TypeError("clean() takes 1 positional argument");
      (void)self;
      return Value();
    });
    return c;
  }();
  return info;
}

TARVEX_REGISTER_CLASS(cleaner_classes(), BaseCleaner, "BaseCleaner");

void BaseCleaner::init(const Args& args, const Kwargs& kwargs) {
  Object::init(args, kwargs);
  for (const auto& [key, value] : kwargs) set_attr(key.str(), value);
}

void BaseCleaner::clean(topology::Device&) {}

}  // namespace tarvex::morvane::bases
