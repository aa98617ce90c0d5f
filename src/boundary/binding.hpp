// Argument binding: matching a call's positional and keyword arguments to a method's fixed
// parameters, with CPython-style messages; and display_text, an object's text for messages.
#pragma once

#include <Python.h>

#include <array>
#include <span>
#include <string>
#include <string_view>

#include "boundary/error.hpp"

namespace quillometer::boundary {

// The parameters of one callable. Every parameter of this module is positional-or-keyword and
// required, so the names and the required count describe a signature completely.
struct MethodSignature {
  std::string_view class_name;
  std::string_view method_name;
  std::span<const std::string_view> positional_names;
  std::size_t required_count;
};

bool bind_fastcall_general(const MethodSignature& signature, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// Slots receive borrowed references, in parameter order; nothing is allocated on success. False
// with the binding TypeError set on failure. The common call, every argument by position, is
// settled inline.
inline bool bind_fastcall(const MethodSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, std::span<PyObject*> slots) {
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == signature.positional_names.size()) {
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = args[i];
    return true;
  }
  return bind_fastcall_general(signature, args, nargs, kwnames, slots);
}
bool bind_tuple_dict(const MethodSignature& signature, PyObject* args_tuple, PyObject* kwargs,
                     std::span<PyObject*> slots);

}  // namespace quillometer::boundary
