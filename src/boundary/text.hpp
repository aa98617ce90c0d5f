// Text between Python str objects and UTF-8: reading a str's UTF-8, making a str, and the display
// text of any object for a message.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "boundary/ref.hpp"

namespace quillometer::boundary {

// The UTF-8 of a str without copying: compact ASCII is read in place, anything else through
// the interpreter's cached UTF-8. Null (with the exception pending) on failure.
inline const char* str_utf8(PyObject* text, std::size_t& size) noexcept {
  if (PyUnicode_IS_COMPACT_ASCII(text)) {
    size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    return static_cast<const char*>(PyUnicode_DATA(text));
  }
  Py_ssize_t length = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &length);
  size = static_cast<std::size_t>(length);
  return data;
}

// The UTF-8 of a str, or nullopt with the exception discarded.
std::optional<std::string_view> utf8_or_clear(PyObject* text) noexcept;

// A new Python str from UTF-8 text, ill-formed bytes replaced; null, with MemoryError set, when
// the interpreter has no memory for it (it cannot fail otherwise).
Ref make_str(std::string_view text);

// Appends str(obj) as UTF-8 to `out`, for a message, with the fallbacks for ill-formed text and
// a failing str(). False, with MemoryError set, only when memory runs out.
bool append_display_text(PyObject* obj, std::string& out);

}  // namespace quillometer::boundary
