// The boundary's one error convention: a step that fails sets the Python exception where it
// fails and returns false (an entry: NULL). C++ exceptions (the internal fatal error,
// std::bad_alloc) become Python exceptions only in the entry guards (panic.hpp).
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "boundary/ref.hpp"

namespace quillometer::boundary {

// After an interpreter call reported failure: leaves its exception pending, normalized, and
// returns false; with none pending, sets the SystemError "attempted to fetch exception but none
// was set". A PanicException coming back from Python code is not passed on: its fatal error is
// resumed (printed, then thrown as FatalError without a new report).
[[gnu::cold]] bool pass_error_or_resume_panic();

// Sets an exception of `type` (a built-in class) with the message `text`; returns false.
[[gnu::cold]] bool raise_message(PyObject* type, std::string_view text);

// Sets the TypeError "'<qualified type name>' object cannot be converted to '<target>'";
// returns false.
[[gnu::cold]] bool raise_mismatch(PyObject* object, std::string_view target);

// A description of the pending Python error (type, value and traceback), which is cleared.
std::string describe_pending_error();

}  // namespace quillometer::boundary
