#include "tarvex/object.hpp"

#include <cstdio>

namespace tarvex {

namespace {

[[noreturn]] void conversion_error(const Value& v, std::string_view what, const char* wanted) {
  throw TypeError(std::string(what) + ": expected " + wanted + ", got " + v.type_name() + " " + v.repr());
}

}  // namespace

bool Convert<bool>::from(const Value& v, std::string_view what) {
  if (v.is_bool()) return v.as_bool();
  // None means "not given", which for a flag is false.
  if (v.is_none()) return false;
  if (v.is_int()) return v.as_int() != 0;
  if (v.is_str()) {
    const std::string& s = v.as_str();
    if (s == "True" || s == "true") return true;
    if (s == "False" || s == "false") return false;
  }
  conversion_error(v, what, "bool");
}

std::int64_t Convert<std::int64_t>::from(const Value& v, std::string_view what) {
  if (v.is_int()) return v.as_int();
  if (v.is_bool()) return v.as_bool() ? 1 : 0;
  conversion_error(v, what, "int");
}

double Convert<double>::from(const Value& v, std::string_view what) {
  if (v.is_number()) return v.as_float();
  conversion_error(v, what, "float");
}

std::string Convert<std::string>::from(const Value& v, std::string_view what) {
  if (v.is_str()) return v.as_str();
  conversion_error(v, what, "str");
}

List Convert<List>::from(const Value& v, std::string_view what) {
  if (v.is_list()) return v.as_list();
  conversion_error(v, what, "list");
}

Map Convert<Map>::from(const Value& v, std::string_view what) {
  if (v.is_map()) return v.as_map();
  conversion_error(v, what, "dict");
}

// ---------------------------------------------------------------- ClassInfo

ClassInfo::ClassInfo(std::string qualified_name, const ClassInfo* base, Factory factory)
    : name_(std::move(qualified_name)), base_(base), factory_(std::move(factory)) {}

bool ClassInfo::is_subclass_of(const ClassInfo& other) const {
  for (const ClassInfo* c = this; c; c = c->base_) {
    if (c == &other) return true;
  }
  return false;
}

std::unique_ptr<Object> ClassInfo::construct(const Args& args, const Kwargs& kwargs) const {
  if (!factory_) throw TypeError("Can't instantiate abstract class " + name_);
  return factory_(args, kwargs);
}

const Member* ClassInfo::find_member(std::string_view name) const {
  for (const ClassInfo* c = this; c; c = c->base_) {
    if (auto found = c->members_.find(name); found != c->members_.end()) return &found->second;
    if (auto found = c->attached_.find(name); found != c->attached_.end()) return &found->second;
  }
  return nullptr;
}

std::vector<std::string> ClassInfo::member_names() const {
  std::vector<std::string> out;
  for (const ClassInfo* c = this; c; c = c->base_) {
    for (const auto& [name, member] : c->members_) out.push_back(name);
    for (const auto& [name, member] : c->attached_) out.push_back(name);
  }
  return out;
}

ClassInfo& ClassInfo::operation(std::string name, std::function<Value(Object&, const List&)> op) {
  return add(std::move(name), Member{{}, {}, std::move(op), {}});
}

void ClassInfo::attach(const std::string& name, std::function<Value(Object&, const List&)> op) const {
  attached_[name] = Member{{}, {}, std::move(op), {}};
}

bool ClassInfo::has_attached(std::string_view name) const {
  for (const ClassInfo* c = this; c; c = c->base_) {
    if (c->attached_.find(name) != c->attached_.end()) return true;
  }
  return false;
}

ClassInfo& ClassInfo::add(std::string name, Member member) {
  members_[std::move(name)] = std::move(member);
  return *this;
}

List ClassInfo::complete_args(const std::string& what, std::size_t arity, const List& params, const List& defaults) {
  if (params.size() > arity || params.size() + defaults.size() < arity) {
    throw TypeError(what + "() takes " + std::to_string(arity) + " positional argument" + (arity == 1 ? "" : "s") +
                    " but " + std::to_string(params.size()) + (params.size() == 1 ? " was" : " were") + " given");
  }
  List args = params;
  // Defaults belong to the last parameters.
  for (std::size_t i = params.size(); i < arity; ++i) args.push_back(defaults[defaults.size() - (arity - i)]);
  return args;
}

// ---------------------------------------------------------------- Object

void Object::init(const Args&, const Kwargs&) {}

Value Object::get_attr(std::string_view name) const {
  if (const Member* member = klass().find_member(name)) {
    if (member->get) return member->get(*this);
    return Value(klass().name() + "." + std::string(name));
  }
  if (const Value* found = instance_attrs_.find(Value(name))) return *found;
  throw AttributeError("'" + klass().name() + "' object has no attribute '" + std::string(name) + "'");
}

const Value* Object::attr_view(std::string_view name) const {
  if (const Member* member = klass().find_member(name)) return member->view ? member->view(*this) : nullptr;
  return instance_attrs_.find(Value(name));
}

void Object::set_attr(std::string_view name, Value value) {
  if (const Member* member = klass().find_member(name)) {
    if (!member->set) {
      throw AttributeError("attribute '" + std::string(name) + "' of '" + klass().name() + "' objects is not writable");
    }
    member->set(*this, std::move(value));
    return;
  }
  instance_attrs_.insert_or_assign(Value(name), std::move(value));
}

bool Object::has_attr(std::string_view name) const {
  return klass().find_member(name) != nullptr || instance_attrs_.contains(Value(name));
}

bool Object::is_operation(std::string_view name) const {
  const Member* member = klass().find_member(name);
  return member && member->is_operation();
}

Value Object::call(std::string_view name, const List& params) {
  const Member* member = klass().find_member(name);
  if (!member || !member->is_operation()) {
    if (has_attr(name)) throw TypeError(std::string("'") + get_attr(name).type_name() + "' object is not callable");
    throw AttributeError("'" + klass().name() + "' object has no attribute '" + std::string(name) + "'");
  }
  return member->call(*this, params);
}

std::string Object::repr() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  return "<" + klass().name() + " object at " + address + ">";
}

Value kwarg(const Kwargs& kwargs, std::string_view name, Value fallback) {
  const Value* found = kwargs.find(Value(name));
  return found ? *found : fallback;
}

}  // namespace tarvex
