// PanicException, and the guards every entry runs under: they turn internal fatal errors into
// PanicException and exhausted memory into MemoryError, so that no C++ exception reaches the
// interpreter.
#pragma once

#include <Python.h>

#include "boundary/error.hpp"
#include "runtime/fatal.hpp"

namespace quillometer::boundary {

// The PanicException class (borrowed), created on first use; its creation failing is an
// internal fatal error.
PyObject* panic_exception_class();

// Sets the PanicException for a C++ exception caught at an entry, or MemoryError for exhausted
// memory. Call only from inside a catch handler.
void raise_current_exception();

// Runs the body of an entry that returns an object: its result, or NULL with the exception set
// (by the body where it failed, or here for a C++ exception).
template <class Body>
[[gnu::always_inline]] inline PyObject* guard_entry(Body&& body) noexcept {
  try {
    try {
      return body();
    } catch (...) {
      raise_current_exception();
    }
  } catch (...) {
    // A fatal error while raising a fatal error (PanicException could not be created).
    runtime::abort_uncaught();
  }
  return nullptr;
}

// Runs the body of an entry that cannot report an error (the destructor): a fatal error goes to
// the unraisable hook, and an exception pending on entry is kept.
template <class Body>
void guard_destructor(Body&& body) noexcept {
  try {
    try {
      body();
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
