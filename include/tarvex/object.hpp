// Objects whose members can be reached by name, and classes as values.
//
// A class declares its members once, in a table held by its ClassInfo:
// typed fields (converted to and from Value), read-only properties and
// operations (whose Value parameters are converted to the C++ parameter
// types).  A subclass's table extends its base's.  Names set on an object
// that no table knows are kept per instance.  The command-line merge, the
// XML-RPC dispatcher, the cleaner factory and device keyword expansion all
// go through this one mechanism.
//
// Construction is two-phase: the C++ constructor only establishes member
// defaults, then `init(args, kwargs)` runs the class's construction steps.
// `init` is virtual and every override calls its base first, so that the
// construction steps of a base class can call overridden operations of the
// subclass, as a dynamic language would.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "tarvex/exceptions.hpp"
#include "tarvex/value.hpp"

namespace tarvex {

using Args = List;
using Kwargs = Map;

class Object;

// Conversion between C++ types and Value; `what` names the value in errors.
template <class T>
struct Convert;

template <>
struct Convert<Value> {
  static Value to(const Value& v) { return v; }
  static Value from(const Value& v, std::string_view) { return v; }
};
template <>
struct Convert<bool> {
  static Value to(bool v) { return v; }
  static bool from(const Value& v, std::string_view what);
};
template <>
struct Convert<std::int64_t> {
  static Value to(std::int64_t v) { return v; }
  static std::int64_t from(const Value& v, std::string_view what);
};
template <>
struct Convert<int> {
  static Value to(int v) { return v; }
  static int from(const Value& v, std::string_view what) {
    return static_cast<int>(Convert<std::int64_t>::from(v, what));
  }
};
template <>
struct Convert<double> {
  static Value to(double v) { return v; }
  static double from(const Value& v, std::string_view what);
};
template <>
struct Convert<std::string> {
  static Value to(const std::string& v) { return v; }
  static std::string from(const Value& v, std::string_view what);
};
template <>
struct Convert<List> {
  static Value to(const List& v) { return v; }
  static List from(const Value& v, std::string_view what);
};
template <>
struct Convert<Map> {
  static Value to(const Map& v) { return v; }
  static Map from(const Value& v, std::string_view what);
};
template <class T>
struct Convert<std::optional<T>> {
  static Value to(const std::optional<T>& v) { return v ? Convert<T>::to(*v) : Value(); }
  static std::optional<T> from(const Value& v, std::string_view what) {
    if (v.is_none()) return std::nullopt;
    return Convert<T>::from(v, what);
  }
};
template <class T>
struct Convert<std::vector<T>> {
  static Value to(const std::vector<T>& v) {
    List out;
    out.reserve(v.size());
    for (const auto& item : v) out.push_back(Convert<T>::to(item));
    return out;
  }
  static std::vector<T> from(const Value& v, std::string_view what) {
    std::vector<T> out;
    for (const auto& item : Convert<List>::from(v, what)) out.push_back(Convert<T>::from(item, what));
    return out;
  }
};

// One named member of a class table.
struct Member {
  std::function<Value(const Object&)> get;          // fields and properties
  std::function<void(Object&, Value)> set;          // settable fields
  std::function<Value(Object&, const List&)> call;  // operations
  // Fields held as a Value: the stored value itself, so that a reader that
  // only looks (an encoder, a logger) need not copy a whole testbed.
  std::function<const Value*(const Object&)> view;
  bool is_operation() const { return static_cast<bool>(call); }
};

// A registered class: qualified name (its text form), base class, factory
// and member table.  Operations can be attached at run time; they are seen
// by every instance of the class and of its subclasses.
class ClassInfo {
 public:
  using Factory = std::function<std::unique_ptr<Object>(const Args&, const Kwargs&)>;

  ClassInfo(std::string qualified_name, const ClassInfo* base, Factory factory = {});
  ClassInfo(const ClassInfo&) = delete;
  ClassInfo& operator=(const ClassInfo&) = delete;

  const std::string& name() const { return name_; }
  const ClassInfo* base() const { return base_; }
  bool is_subclass_of(const ClassInfo& other) const;
  bool is_abstract() const { return !factory_; }
  // Constructs an instance; TypeError when the class cannot be instantiated.
  std::unique_ptr<Object> construct(const Args& args, const Kwargs& kwargs) const;

  // Own table first, then attached operations, then the base class's.
  const Member* find_member(std::string_view name) const;
  std::vector<std::string> member_names() const;

  // Table builders.  Fields are data members of C (or of a base of C).
  template <class C, class T>
  ClassInfo& field(std::string name, T C::*ptr) {
    std::string what = name;
    Member member{[ptr](const Object& o) { return Convert<T>::to(cast<C>(o).*ptr); },
                  [ptr, what](Object& o, Value v) {
                    if constexpr (std::is_same_v<T, Value>) {
                      cast<C>(o).*ptr = std::move(v);
                    } else {
                      cast<C>(o).*ptr = Convert<T>::from(v, what);
                    }
                  },
                  {}};
    if constexpr (std::is_same_v<T, Value>) member.view = [ptr](const Object& o) { return &(cast<C>(o).*ptr); };
    return add(std::move(name), std::move(member));
  }
  template <class C, class T>
  ClassInfo& readonly(std::string name, T C::*ptr) {
    Member member{[ptr](const Object& o) { return Convert<T>::to(cast<C>(o).*ptr); }, {}, {}};
    if constexpr (std::is_same_v<T, Value>) member.view = [ptr](const Object& o) { return &(cast<C>(o).*ptr); };
    return add(std::move(name), std::move(member));
  }
  // Process-wide values that every instance reads through its attributes.
  template <class T>
  ClassInfo& static_field(std::string name, T* ptr) {
    std::string what = name;
    Member member{[ptr](const Object&) { return Convert<T>::to(*ptr); },
                  [ptr, what](Object&, Value v) {
                    if constexpr (std::is_same_v<T, Value>) {
                      *ptr = std::move(v);
                    } else {
                      *ptr = Convert<T>::from(v, what);
                    }
                  },
                  {}};
    if constexpr (std::is_same_v<T, Value>) member.view = [ptr](const Object&) -> const Value* { return ptr; };
    return add(std::move(name), std::move(member));
  }
  template <class C, class R>
  ClassInfo& property(std::string name, R (C::*getter)() const) {
    return add(
        std::move(name),
        Member{[getter](const Object& o) { return Convert<std::decay_t<R>>::to((cast<C>(o).*getter)()); }, {}, {}});
  }
  template <class C, class R>
  ClassInfo& property(std::string name, R (C::*getter)()) {
    return add(std::move(name), Member{[getter](const Object& o) {
                                         return Convert<std::decay_t<R>>::to((const_cast<C&>(cast<C>(o)).*getter)());
                                       },
                                       {},
                                       {}});
  }
  // Operations; `defaults` fill missing trailing parameters.
  template <class C, class R, class... A>
  ClassInfo& method(std::string name, R (C::*fn)(A...), List defaults = {}) {
    std::string what = name;
    return add(std::move(name), Member{{}, {}, [fn, what, defaults](Object& o, const List& params) -> Value {
                                         const List args = complete_args(what, sizeof...(A), params, defaults);
                                         return invoke<C, R, A...>(cast<C>(o), fn, what, args,
                                                                   std::index_sequence_for<A...>{});
                                       }});
  }
  template <class C, class R, class... A>
  ClassInfo& method(std::string name, R (C::*fn)(A...) const, List defaults = {}) {
    std::string what = name;
    return add(std::move(name), Member{{}, {}, [fn, what, defaults](Object& o, const List& params) -> Value {
                                         const List args = complete_args(what, sizeof...(A), params, defaults);
                                         return invoke<C, R, A...>(cast<C>(o), fn, what, args,
                                                                   std::index_sequence_for<A...>{});
                                       }});
  }
  // An operation given directly as a function of the object and its
  // parameters.
  ClassInfo& operation(std::string name, std::function<Value(Object&, const List&)> op);

  // Attaches an operation after the class has been defined.
  void attach(const std::string& name, std::function<Value(Object&, const List&)> op) const;
  bool has_attached(std::string_view name) const;

 private:
  ClassInfo& add(std::string name, Member member);

  template <class C>
  static C& cast(Object& o) {
    return static_cast<C&>(o);
  }
  template <class C>
  static const C& cast(const Object& o) {
    return static_cast<const C&>(o);
  }
  static List complete_args(const std::string& what, std::size_t arity, const List& params, const List& defaults);

  template <class C, class R, class... A, class Fn, std::size_t... I>
  static Value invoke(C& self, Fn fn, const std::string& what, const List& args, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<R>) {
      (self.*fn)(Convert<std::decay_t<A>>::from(args[I], what)...);
      return Value();
    } else {
      return Convert<std::decay_t<R>>::to((self.*fn)(Convert<std::decay_t<A>>::from(args[I], what)...));
    }
  }

  std::string name_;
  const ClassInfo* base_;
  Factory factory_;
  std::map<std::string, Member, std::less<>> members_;
  mutable std::map<std::string, Member, std::less<>> attached_;
};

class Object {
 public:
  Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object() = default;

  virtual const ClassInfo& klass() const = 0;
  // Construction steps; overrides call their base first.
  virtual void init(const Args& args, const Kwargs& kwargs);

  // AttributeError when the name is neither in the class table nor set on
  // the instance.  Reading an operation's name yields its qualified name.
  Value get_attr(std::string_view name) const;
  // The attribute's stored value, without a copy, when it is held as a
  // Value (a Value field, static field or read-only member, or a name set
  // on the instance); nullptr when it is computed or converted, or absent.
  // It stays valid until the attribute is next set.
  const Value* attr_view(std::string_view name) const;
  void set_attr(std::string_view name, Value value);
  bool has_attr(std::string_view name) const;
  bool is_operation(std::string_view name) const;
  // Calls the named operation with positional parameters.
  Value call(std::string_view name, const List& params = {});
  const Map& instance_attrs() const { return instance_attrs_; }

  // The default printable form: <qualified.Name object at 0x...>.
  std::string repr() const;

 private:
  Map instance_attrs_;
};

// Creates an object of class T and runs its construction steps.
template <class T>
std::unique_ptr<T> create(const Args& args = {}, const Kwargs& kwargs = {}) {
  auto object = std::make_unique<T>();
  object->init(args, kwargs);
  return object;
}

// The factory of a concrete class T, for its ClassInfo.
template <class T>
ClassInfo::Factory factory_of() {
  return [](const Args& args, const Kwargs& kwargs) -> std::unique_ptr<Object> { return create<T>(args, kwargs); };
}

// A keyword argument, or `fallback` when it is absent.
Value kwarg(const Kwargs& kwargs, std::string_view name, Value fallback = Value());

}  // namespace tarvex

// Declares the class-table hooks of an Object subclass; define
// `const tarvex::ClassInfo& Name::class_info()` in the source file.
#define TARVEX_OBJECT(Name)                       \
 public:                                          \
  static const ::tarvex::ClassInfo& class_info(); \
  const ::tarvex::ClassInfo& klass() const override { return class_info(); }
