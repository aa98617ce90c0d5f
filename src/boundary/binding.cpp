// Binding of call arguments to parameters, and the four binding messages.
#include "boundary/binding.hpp"

#include <algorithm>
#include <optional>

#include "boundary/text.hpp"

namespace quillometer::boundary {

namespace {

std::string display_name(const MethodSignature& signature) {
  std::string name;
  name.append(signature.class_name).append(".").append(signature.method_name).append("()");
  return name;
}

bool too_many_positional(const MethodSignature& signature, Py_ssize_t given) {
  return raise_message(PyExc_TypeError, display_name(signature) + " takes " +
                                            std::to_string(signature.positional_names.size()) +
                                            " positional arguments but " + std::to_string(given) +
                                            " were given");
}

bool unexpected_keyword(const MethodSignature& signature, PyObject* name) {
  std::string text = display_name(signature) + " got an unexpected keyword argument '";
  if (!append_display_text(name, text)) return false;
  return raise_message(PyExc_TypeError, text + "'");
}

bool multiple_values(const MethodSignature& signature, std::string_view name) {
  std::string text = display_name(signature) + " got multiple values for argument '";
  text.append(name).append("'");
  return raise_message(PyExc_TypeError, text);
}

bool missing_required(const MethodSignature& signature, std::span<PyObject* const> slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < signature.required_count; ++i) missing += slots[i] == nullptr;
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
  std::string joined;
  std::size_t written = 0;
  for (std::size_t i = 0; i < signature.required_count; ++i) {
    if (slots[i] != nullptr) continue;
    if (written > 0) {
      if (missing > 2) joined += ",";
      joined += written + 1 == missing ? " and " : " ";
    }
    joined.append("'").append(signature.positional_names[i]).append("'");
    ++written;
  }
  return raise_message(PyExc_TypeError, display_name(signature) + " missing " +
                                            std::to_string(missing) + " required positional " +
                                            (missing == 1 ? "argument" : "arguments") + ": " +
                                            joined);
}

// Puts one keyword argument into its slot.
bool bind_keyword(const MethodSignature& signature, PyObject* name, PyObject* value,
                  std::span<PyObject*> slots) {
  std::size_t size = 0;
  const char* data = PyUnicode_Check(name) ? str_utf8(name, size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return unexpected_keyword(signature, name);
  }
  const std::string_view text(data, size);
  for (std::size_t k = 0; k < signature.positional_names.size(); ++k) {
    if (signature.positional_names[k] != text) continue;
    if (slots[k] != nullptr) return multiple_values(signature, text);
    slots[k] = value;
    return true;
  }
  return unexpected_keyword(signature, name);
}

bool check_required(const MethodSignature& signature, Py_ssize_t nargs,
                    std::span<PyObject*> slots) {
  for (std::size_t i = static_cast<std::size_t>(nargs); i < signature.required_count; ++i) {
    if (slots[i] == nullptr) return missing_required(signature, slots);
  }
  return true;
}

}  // namespace

bool bind_fastcall_general(const MethodSignature& signature, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t count = signature.positional_names.size();
  if (args != nullptr) {
    const std::size_t given = std::min(static_cast<std::size_t>(nargs), count);
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
  }
  if (static_cast<std::size_t>(nargs) > count) return too_many_positional(signature, nargs);
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
      if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) {
        return false;
      }
    }
  }
  return check_required(signature, nargs, slots);
}

bool bind_tuple_dict(const MethodSignature& signature, PyObject* args_tuple, PyObject* kwargs,
                     std::span<PyObject*> slots) {
  const std::size_t count = signature.positional_names.size();
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args_tuple);
  const std::size_t given = std::min(static_cast<std::size_t>(nargs), count);
  for (std::size_t i = 0; i < given; ++i) slots[i] = PyTuple_GET_ITEM(args_tuple, i);
  if (static_cast<std::size_t>(nargs) > count) return too_many_positional(signature, nargs);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!bind_keyword(signature, name, value, slots)) return false;
    }
  }
  return check_required(signature, nargs, slots);
}

}  // namespace quillometer::boundary
