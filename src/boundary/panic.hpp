// PanicException, and the guards every entry runs under: they turn errors into Python exceptions
// and internal fatal errors into PanicException, so that no C++ exception reaches the interpreter.
#pragma once

#include <Python.h>

#include <new>

#include "boundary/error.hpp"
#include "runtime/fatal.hpp"

namespace quillometer::boundary {

// The PanicException class (borrowed), created on first use; its creation failing is an
// internal fatal error.
PyObject* panic_exception_class();

// Raises the PanicException for a C++ exception caught at an entry, or MemoryError for exhausted
// memory. Call only from inside a catch handler.
void raise_current_exception();

// Counts the entries active on this thread, which therefore holds the interpreter lock. Every
// entry runs inside one: guard_entry and guard_destructor open it, and so does a fast path that
// settles a call before its guard.
class EntryScope {
 public:
  EntryScope() noexcept { ++depth(); }
  ~EntryScope() { --depth(); }
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
  static int& depth() noexcept {
    // initial-exec: a plain thread-pointer access instead of a call on every entry.
    [[gnu::tls_model("initial-exec")]] static thread_local int entries = 0;
    return entries;
  }
};

// Runs the body of an entry that returns an object: its result, or NULL with the exception set.
template <class Body>
[[gnu::always_inline]] inline PyObject* guard_entry(Body&& body) noexcept {
  EntryScope scope;
  try {
    try {
      Result<PyObject*> result = body();
      if (result) return *result;
      std::move(result.error()).raise();
    } catch (...) {
      raise_current_exception();
    }
  } catch (...) {
    // A fatal error while raising a fatal error (PanicException could not be created).
    runtime::abort_uncaught();
  }
  return nullptr;
}

// Runs the body of an entry that cannot report an error (the destructor): an error or fatal
// error goes to the unraisable hook, and an exception pending on entry is kept.
template <class Body>
void guard_destructor(Body&& body) noexcept {
  EntryScope scope;
  try {
    try {
      Status status = body();
      if (status) return;
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      std::move(status.error()).raise();
      PyErr_WriteUnraisable(nullptr);
      PyErr_Restore(type, value, traceback);
    } catch (...) {
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      raise_current_exception();
      PyErr_WriteUnraisable(nullptr);
      PyErr_Restore(type, value, traceback);
    }
  } catch (...) {
    runtime::abort_uncaught();
  }
}

}  // namespace quillometer::boundary
