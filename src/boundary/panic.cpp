// The PanicException class and the translation of C++ exceptions caught at an entry.
#include "boundary/panic.hpp"

#include <atomic>
#include <new>
#include <string>

#include "boundary/text.hpp"
#include "runtime/fatal.hpp"

namespace quillometer::boundary {

namespace {

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when the native code of the quillometer extension, called from "
    "Python, fails with an internal fatal error.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically "
    "propagate all the way through the stack and cause the Python interpreter to exit.\n";

constexpr const char* kForeignPayload =
    "the native code of the quillometer extension failed with an internal fatal error";

std::atomic<PyObject*> panic_class{nullptr};

}  // namespace

PyObject* panic_exception_class() {
  if (PyObject* existing = panic_class.load(std::memory_order_acquire)) return existing;
  PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                PyExc_BaseException, nullptr);
  if (created == nullptr) {
    runtime::raise_fatal("Failed to initialize new exception type.: " + describe_pending_error());
  }
  PyObject* expected = nullptr;
  if (!panic_class.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);  // another thread stored its class first
    return expected;
  }
  return created;
}

namespace {

// Sets PanicException with the one-element tuple of the message as its argument.
void raise_panic(std::string_view text) {
  PyObject* type = panic_exception_class();
  Ref message = make_str(text);
  if (!message) return;
  Ref arguments = Ref::steal(PyTuple_Pack(1, message.get()));
  if (arguments) PyErr_SetObject(type, arguments.get());
}

}  // namespace

void raise_current_exception() {
  try {
    try {
      throw;
    } catch (const runtime::FatalError& fatal) {
      raise_panic(fatal.message());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (...) {
      raise_panic(kForeignPayload);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
}

}  // namespace quillometer::boundary
