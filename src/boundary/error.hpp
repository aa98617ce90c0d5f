// Error values: the outcome of every fallible boundary step, lazy until raised or inspected,
// and the fetching of exceptions pending in the interpreter.
#pragma once

#include <Python.h>

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "boundary/ref.hpp"

namespace quillometer::boundary {

class Error {
 public:
  struct Normalized {
    Ref type;
    Ref value;
    Ref traceback;  // may be empty
  };

  // An exception class of the interpreter's (borrowed: the built-in types live forever) with a
  // message; no Python object is made until the error is raised.
  static Error message(PyObject* type, std::string text) {
    return Error(Lazy{type, std::move(text), {}});
  }
  static Error fixed_message(PyObject* type, std::string_view text) noexcept {
    return Error(Lazy{type, {}, text});
  }
  // A TypeError "'<qualified type name>' object cannot be converted to '<target>'".
  static Error type_mismatch(PyObject* object, std::string_view target) noexcept {
    return Error(Mismatch{Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))), target});
  }
  // A PanicException carrying the message of an internal fatal error.
  static Error panic(std::string text) { return Error(Panic{std::move(text)}); }
  static Error normalized(Ref type, Ref value, Ref traceback) noexcept {
    return Error(Normalized{std::move(type), std::move(value), std::move(traceback)});
  }

  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;

  // Hands the error to the interpreter as the current exception.
  void raise() &&;
  // Materialises the exception so that its type and value can be inspected.
  Normalized& normalize();

 private:
  struct Lazy {
    PyObject* type;
    std::string owned_text;
    std::string_view fixed_text;
  };
  struct Mismatch {
    Ref type;
    std::string_view target;
  };
  struct Panic {
    std::string text;
  };

  template <class State>
  explicit Error(State&& state) noexcept : state_(std::forward<State>(state)) {}

  std::variant<Lazy, Mismatch, Panic, Normalized> state_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error error) noexcept {
  return std::unexpected(std::move(error));
}

// After an interpreter call reported failure: the pending exception, or the SystemError
// "attempted to fetch exception but none was set" when there is none. A PanicException coming
// back from Python is not returned: its fatal error is resumed (thrown as FatalError).
Error fetch_error();
// The same, but no pending exception means no error (for results such as -1 that are ambiguous).
std::optional<Error> take_error();

// A new Python str from UTF-8 text; ill-formed bytes are replaced. An interpreter failure takes
// the "Python API call failed" path.
Ref make_str(std::string_view text);

// A description of the pending Python error (type, value and traceback), which is cleared.
std::string describe_pending_error();

// The path for an interpreter call that returned NULL where the boundary cannot do without its
// object. A pending MemoryError becomes std::bad_alloc (MemoryError at the entry); anything else
// is printed and becomes the fatal error "Python API call failed".
[[noreturn]] void api_call_failed();

}  // namespace quillometer::boundary

// Early return of the error of a Result-valued expression.
#define QM_CONCAT_INNER(a, b) a##b
#define QM_CONCAT(a, b) QM_CONCAT_INNER(a, b)
#define QM_TRY(expr)                                                              \
  do {                                                                            \
    auto&& qm_try_result = (expr);                                                \
    if (!qm_try_result) return std::unexpected(std::move(qm_try_result.error())); \
  } while (0)
#define QM_TRY_ASSIGN_IMPL(result, lhs, expr)                     \
  auto result = (expr);                                           \
  if (!result) return std::unexpected(std::move(result.error())); \
  lhs = std::move(*result)
#define QM_TRY_ASSIGN(lhs, expr) QM_TRY_ASSIGN_IMPL(QM_CONCAT(qm_result_, __LINE__), lhs, expr)
