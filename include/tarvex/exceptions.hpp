// The error family of the framework.
//
// `Exception` (a std::exception) is the ordinary error family: it is caught,
// logged, stored and chained.  `BaseException` is the root of interrupt and
// exit requests (KeyboardInterrupt, SystemExit), which deliberately do not
// derive from std::exception so that `catch (const std::exception&)` never
// swallows them while `catch (...)` clean-up still runs.
//
// Every error carries a type name, a message, a cause (set explicitly when
// one error is raised because of another) and a context (the error that was
// being handled when it was created, captured by the constructor).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace tarvex {

class ErrorBase {
 public:
  ErrorBase() : ErrorBase(std::string()) {}
  explicit ErrorBase(std::string message);
  virtual ~ErrorBase() = default;

  virtual const char* type_name() const = 0;
  const std::string& message() const { return message_; }
  const std::exception_ptr& cause() const { return cause_; }
  const std::exception_ptr& context() const { return context_; }
  // Sets the explicit cause; refuses to close a cycle in the chain.
  void set_cause(std::exception_ptr cause);
  void set_context(std::exception_ptr context) { context_ = std::move(context); }
  // Whether the message already shows the whole chain (the user-facing form
  // of an error); the chain is then not shown a second time.
  bool chain_in_message() const { return chain_in_message_; }
  // Whether the error has a line of its own in a formatted chain (errors
  // that only carry another one across a boundary do not).
  virtual bool shown_in_chain() const { return true; }
  void set_chain_in_message(bool value) { chain_in_message_ = value; }
  // Makes a copy into a sibling: another message, no cause or context.
  void reset_for_sibling(std::string message) {
    message_ = std::move(message);
    cause_ = nullptr;
    context_ = nullptr;
    chain_in_message_ = false;
  }

  // Throws a copy of this error with its dynamic type.
  [[noreturn]] virtual void raise() const = 0;
  // A new error of the same type (and the same extra fields) with another
  // message and no cause or context.
  virtual std::exception_ptr make_sibling(std::string message) const = 0;
  // The error to raise in a user's context for this one (see
  // BringupExceptionWithTraceback).  By default a sibling whose message is
  // the whole formatted chain and whose cause is this error.
  virtual std::exception_ptr user_exception(const std::exception_ptr& self) const;

 protected:
  std::string message_;
  std::exception_ptr cause_;
  std::exception_ptr context_;
  bool chain_in_message_ = false;
};

class Exception : public std::exception, public ErrorBase {
 public:
  Exception() = default;
  explicit Exception(std::string message) : ErrorBase(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const char* type_name() const override { return "Exception"; }
  [[noreturn]] void raise() const override { throw *this; }
  std::exception_ptr make_sibling(std::string message) const override;
};

class BaseException : public ErrorBase {
 public:
  BaseException() = default;
  using ErrorBase::ErrorBase;
};

// Factory of errors by type name, so that an error that crossed a process
// boundary as text can be raised again with its own type.
using ExceptionFactory = std::function<std::exception_ptr(std::string message)>;
bool register_exception_type(const std::string& type_name, ExceptionFactory factory);
// The named type with `message`, or nullptr when the name is not registered.
std::exception_ptr make_exception_by_name(const std::string& type_name, std::string message);

}  // namespace tarvex

// Declaring an error class: in a header,
//
//   TARVEX_DECLARE_EXCEPTION(Name, Base)            // a plain subclass, or
//   class Name : public Base {
//     TARVEX_EXCEPTION_MEMBERS(Name, Base)          // one with fields of its own
//     ...
//   };
//
// and in exactly one source file, in the same namespace,
//
//   TARVEX_DEFINE_EXCEPTION(Name)
//
// which defines the type name, the polymorphic raise and sibling
// construction, and registers the type under its name (it must be
// constructible from a message).  Only declarations live in headers, so
// that each error class is compiled once, not in every file that includes it.
#define TARVEX_EXCEPTION_MEMBERS(Name, Base) \
 public:                                     \
  using Base::Base;                          \
  const char* type_name() const override;    \
  [[noreturn]] void raise() const override;  \
  std::exception_ptr make_sibling(std::string message) const override;

#define TARVEX_DECLARE_EXCEPTION(Name, Base) \
  class Name : public Base {                 \
    TARVEX_EXCEPTION_MEMBERS(Name, Base)     \
  };

#define TARVEX_DEFINE_EXCEPTION(Name)                                                       \
  const char* Name::type_name() const { return #Name; }                                     \
  void Name::raise() const { throw *this; }                                                 \
  std::exception_ptr Name::make_sibling(std::string message) const {                        \
    Name sibling(*this);                                                                    \
    sibling.reset_for_sibling(std::move(message));                                          \
    return std::make_exception_ptr(sibling);                                                \
  }                                                                                         \
  [[maybe_unused]] static const bool Name##_registered = ::tarvex::register_exception_type( \
      #Name, [](std::string m) { return std::make_exception_ptr(Name(std::move(m))); });

namespace tarvex {

TARVEX_DECLARE_EXCEPTION(TypeError, Exception)
TARVEX_DECLARE_EXCEPTION(ValueError, Exception)
TARVEX_DECLARE_EXCEPTION(LookupError, Exception)
TARVEX_DECLARE_EXCEPTION(KeyError, LookupError)
TARVEX_DECLARE_EXCEPTION(IndexError, LookupError)
TARVEX_DECLARE_EXCEPTION(AttributeError, Exception)
TARVEX_DECLARE_EXCEPTION(RuntimeError, Exception)
TARVEX_DECLARE_EXCEPTION(NotImplementedError, RuntimeError)
TARVEX_DECLARE_EXCEPTION(AssertionError, Exception)
TARVEX_DECLARE_EXCEPTION(EOFError, Exception)
TARVEX_DECLARE_EXCEPTION(ImportError, Exception)

// A failed system call; `error_number()` is its errno (0 when the failure
// had none).
class OSError : public Exception {
  TARVEX_EXCEPTION_MEMBERS(OSError, Exception)
  OSError(int error_number, std::string message) : Exception(std::move(message)), errno_(error_number) {}
  int error_number() const { return errno_; }

 private:
  int errno_ = 0;
};
TARVEX_DECLARE_EXCEPTION(FileNotFoundError, OSError)
TARVEX_DECLARE_EXCEPTION(TimeoutError, OSError)
TARVEX_DECLARE_EXCEPTION(ConnectionError, OSError)
TARVEX_DECLARE_EXCEPTION(ConnectionRefusedError, ConnectionError)
TARVEX_DECLARE_EXCEPTION(ConnectionResetError, ConnectionError)

TARVEX_DECLARE_EXCEPTION(KeyboardInterrupt, BaseException)

class SystemExit : public BaseException {
  TARVEX_EXCEPTION_MEMBERS(SystemExit, BaseException)
  explicit SystemExit(int code) : BaseException(std::to_string(code)), code_(code) {}
  int code() const { return code_; }

 private:
  int code_ = 0;
};

}  // namespace tarvex

namespace tarvex {

// The OSError of a failed system call on a file, worded like the errors of
// the standard library of a dynamic language, which users know
// ("[Errno 2] No such file or directory: 'tb.yaml'"); a missing file raises
// the FileNotFoundError subtype.
[[noreturn]] void raise_os_error(int error_number, const std::string& path);

// KeyError for a missing key, with the key's printable form as its text.
KeyError missing_key(std::string_view key_repr);

// The error an exception_ptr holds, as one of ours: errors of the family are
// returned unchanged; anything else (a std::exception of another library, or
// a non-standard throw) is wrapped in a plain Exception that keeps its type
// name and text.
std::exception_ptr adopt(const std::exception_ptr& error);
// Access to the ErrorBase behind an adopted pointer (nullptr for foreign ones).
// The pointer is valid while `error` lives, so a temporary is refused.
const ErrorBase* as_error(const std::exception_ptr& error);
ErrorBase* as_mutable_error(const std::exception_ptr& error);
const ErrorBase* as_error(std::exception_ptr&& error) = delete;
ErrorBase* as_mutable_error(std::exception_ptr&& error) = delete;

// Type name, text form (the message), printable representation
// (`TypeName('message')`) and the whole chain, oldest error first, the way a
// traceback shows it.
std::string exception_type_name(const std::exception_ptr& error);
std::string exception_str(const std::exception_ptr& error);
std::string exception_repr(const std::exception_ptr& error);
std::string format_exception(const std::exception_ptr& error);

// Whether the error belongs to the ordinary family (std::exception).
bool is_ordinary(const std::exception_ptr& error);
// Whether the error's dynamic type is T or derives from it.
template <class T>
bool is_instance(const std::exception_ptr& error) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const T&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace tarvex
