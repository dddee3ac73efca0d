#include "tarvex/exceptions.hpp"

#include <cxxabi.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <typeinfo>

#include "tarvex/value.hpp"

namespace tarvex {

namespace {

std::map<std::string, ExceptionFactory>& exception_types() {
  static std::map<std::string, ExceptionFactory> types;
  return types;
}

// A foreign error (not of our family), kept with its type name and text.
class ForeignError : public Exception {
 public:
  ForeignError(std::string type, std::string message) : Exception(std::move(message)), type_(std::move(type)) {}
  const char* type_name() const override { return type_.c_str(); }
  [[noreturn]] void raise() const override { throw *this; }
  std::exception_ptr make_sibling(std::string message) const override {
    return std::make_exception_ptr(ForeignError(type_, std::move(message)));
  }

 private:
  std::string type_;
};

std::string demangle(const char* name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> out(abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
  return status == 0 && out ? std::string(out.get()) : std::string(name);
}

const bool exception_registered = register_exception_type(
    "Exception", [](std::string m) { return std::make_exception_ptr(Exception(std::move(m))); });

}  // namespace

ErrorBase::ErrorBase(std::string message) : message_(std::move(message)), context_(std::current_exception()) {}

void ErrorBase::set_cause(std::exception_ptr cause) {
  for (std::exception_ptr link = cause; link;) {
    const ErrorBase* error = as_error(link);
    if (error == this) return;  // would close a cycle
    link = error ? error->cause() : nullptr;
  }
  cause_ = std::move(cause);
}

std::exception_ptr ErrorBase::user_exception(const std::exception_ptr& self) const {
  std::exception_ptr user = make_sibling(format_exception(self));
  as_mutable_error(user)->set_cause(self);
  as_mutable_error(user)->set_chain_in_message(true);
  return user;
}

std::exception_ptr Exception::make_sibling(std::string message) const {
  return std::make_exception_ptr(Exception(std::move(message)));
}

bool register_exception_type(const std::string& type_name, ExceptionFactory factory) {
  exception_types()[type_name] = std::move(factory);
  return true;
}

std::exception_ptr make_exception_by_name(const std::string& type_name, std::string message) {
  const auto found = exception_types().find(type_name);
  if (found == exception_types().end()) return nullptr;
  return found->second(std::move(message));
}

void raise_os_error(int error_number, const std::string& path) {
  std::string message =
      "[Errno " + std::to_string(error_number) + "] " + std::strerror(error_number) + ": " + py_repr(path);
  if (error_number == ENOENT) throw FileNotFoundError(error_number, std::move(message));
  throw OSError(error_number, std::move(message));
}

TARVEX_DEFINE_EXCEPTION(TypeError)
TARVEX_DEFINE_EXCEPTION(ValueError)
TARVEX_DEFINE_EXCEPTION(LookupError)
TARVEX_DEFINE_EXCEPTION(KeyError)
TARVEX_DEFINE_EXCEPTION(IndexError)
TARVEX_DEFINE_EXCEPTION(AttributeError)
TARVEX_DEFINE_EXCEPTION(RuntimeError)
TARVEX_DEFINE_EXCEPTION(NotImplementedError)
TARVEX_DEFINE_EXCEPTION(AssertionError)
TARVEX_DEFINE_EXCEPTION(EOFError)
TARVEX_DEFINE_EXCEPTION(ImportError)
TARVEX_DEFINE_EXCEPTION(OSError)
TARVEX_DEFINE_EXCEPTION(FileNotFoundError)
TARVEX_DEFINE_EXCEPTION(TimeoutError)
TARVEX_DEFINE_EXCEPTION(ConnectionError)
TARVEX_DEFINE_EXCEPTION(ConnectionRefusedError)
TARVEX_DEFINE_EXCEPTION(ConnectionResetError)
TARVEX_DEFINE_EXCEPTION(KeyboardInterrupt)
TARVEX_DEFINE_EXCEPTION(SystemExit)

KeyError missing_key(std::string_view key_repr) { return KeyError(std::string(key_repr)); }

std::exception_ptr adopt(const std::exception_ptr& error) {
  if (!error) return error;
  try {
    std::rethrow_exception(error);
  } catch (const ErrorBase&) {
    return error;
  } catch (const std::exception& e) {
    // Made while the foreign error is handled: that error is what is
    // wrapped, not the context of the wrapper.
    ForeignError wrapper(demangle(typeid(e).name()), e.what());
    wrapper.set_context(nullptr);
    return std::make_exception_ptr(wrapper);
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    ForeignError wrapper(type ? demangle(type->name()) : "unknown", "");
    wrapper.set_context(nullptr);
    return std::make_exception_ptr(wrapper);
  }
}

ErrorBase* as_mutable_error(const std::exception_ptr& error) {
  if (!error) return nullptr;
  try {
    std::rethrow_exception(error);
  } catch (ErrorBase& e) {
    return &e;  // the object the pointer owns, which outlives this frame
  } catch (...) {
    return nullptr;
  }
}

const ErrorBase* as_error(const std::exception_ptr& error) { return as_mutable_error(error); }

std::string exception_type_name(const std::exception_ptr& error) {
  const std::exception_ptr adopted = adopt(error);
  const ErrorBase* e = as_error(adopted);
  return e ? e->type_name() : "None";
}

std::string exception_str(const std::exception_ptr& error) {
  const std::exception_ptr adopted = adopt(error);
  const ErrorBase* e = as_error(adopted);
  return e ? e->message() : "None";
}

std::string exception_repr(const std::exception_ptr& error) {
  const std::exception_ptr adopted = adopt(error);
  const ErrorBase* e = as_error(adopted);
  if (!e) return "None";
  return std::string(e->type_name()) + "(" + (e->message().empty() ? "" : py_repr(e->message())) + ")";
}

namespace {

void format_chain(const std::exception_ptr& error, std::string& out, int depth) {
  const std::exception_ptr adopted = adopt(error);
  const ErrorBase* e = as_error(adopted);
  if (!e) return;
  if (e->chain_in_message()) {
    out += e->message();
    out += '\n';
    return;
  }
  if (!e->shown_in_chain()) return;
  // A link of the chain is shown only below an error that was (a cause
  // that is not shown, such as a fault, leaves no empty place).
  const std::size_t before = out.size();
  if (depth < 64) {
    if (e->cause()) {
      format_chain(e->cause(), out, depth + 1);
      if (out.size() != before) out += "\nThe above exception was the direct cause of the following exception:\n\n";
    } else if (e->context() && as_error(e->context()) != e) {
      format_chain(e->context(), out, depth + 1);
      if (out.size() != before) out += "\nDuring handling of the above exception, another exception occurred:\n\n";
    }
  }
  out += e->type_name();
  if (!e->message().empty()) {
    out += ": ";
    out += e->message();
  }
  out += '\n';
}

}  // namespace

std::string format_exception(const std::exception_ptr& error) {
  std::string out;
  format_chain(error, out, 0);
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

bool is_ordinary(const std::exception_ptr& error) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace tarvex
