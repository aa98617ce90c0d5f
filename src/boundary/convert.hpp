// Argument conversion: bound argument objects to the plain values the engine takes, and the
// argument error that names the parameter of a failed conversion. Each conversion writes its
// value and returns true, or returns false with the exception set. The common cases (an exact
// float, an exact compact-ASCII str with its hash cached, a small exact int) are read inline;
// everything else takes the general paths in convert.cpp.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "boundary/error.hpp"
#include "boundary/python_version.hpp"
#include "engine/frame.hpp"
#include "runtime/small_vector.hpp"

namespace quillometer::boundary {

// A str's UTF-8, read in place: valid while the object lives (arguments outlive the call).
bool extract_text(PyObject* obj, std::string_view& out);
bool extract_size(PyObject* obj, std::uint64_t& out);

// Column names with their hashes, the hash being the interpreter's hash of each name as a str
// (so a name's hash depends on its text alone, whatever str subclass carried it).
bool extract_text_list(PyObject* obj, std::vector<engine::HashedName>& out);

// The interpreter's hash of a str (or subclass) as a str: the cached value, or str's own hash
// function, never a subclass's __hash__. It runs no Python code and cannot fail.
inline std::uint64_t str_hash(PyObject* text) noexcept {
  Py_hash_t hash = python::str_cached_hash(text);
  if (hash == -1) [[unlikely]]
    hash = PyUnicode_Type.tp_hash(text);
  return static_cast<std::uint64_t>(hash);
}

// An exact str of ASCII characters stored in the object itself, with its hash cached: its
// text and hash are read without a call.
[[gnu::always_inline]] inline bool is_ready_ascii_key(PyObject* obj) noexcept {
  return PyUnicode_CheckExact(obj) && python::is_compact_ascii(obj) &&
         python::str_cached_hash(obj) != -1;
}

// The key of a str that is_ready_ascii_key accepts.
[[gnu::always_inline]] inline engine::ColumnKey ready_ascii_key(PyObject* obj) noexcept {
  return {python::compact_ascii_text(obj),
          static_cast<std::uint64_t>(python::str_cached_hash(obj))};
}

// A str as a column key, its UTF-8 read in place, with its hash; for keys that are not ready.
bool extract_key_general(PyObject* obj, engine::ColumnKey& out);

inline bool extract_key(PyObject* obj, engine::ColumnKey& out) {
  if (is_ready_ascii_key(obj)) [[likely]] {
    out = ready_ascii_key(obj);
    return true;
  }
  return extract_key_general(obj, out);
}

bool extract_int64_general(PyObject* obj, std::int64_t& out);

inline bool extract_int64(PyObject* obj, std::int64_t& out) {
  // An exact int of at most two digits fits in 60 bits; its digits are read directly.
  if (PyLong_CheckExact(obj)) [[likely]] {
    const Py_ssize_t size = python::long_signed_digits(obj);
    const digit* digits = python::long_digits(obj);
    switch (size) {
      case 0:
        out = 0;
        return true;
      case 1:
        out = static_cast<std::int64_t>(digits[0]);
        return true;
      case -1:
        out = -static_cast<std::int64_t>(digits[0]);
        return true;
      case 2:
        out = static_cast<std::int64_t>(digits[0]) |
              (static_cast<std::int64_t>(digits[1]) << PyLong_SHIFT);
        return true;
      case -2:
        out = -(static_cast<std::int64_t>(digits[0]) |
                (static_cast<std::int64_t>(digits[1]) << PyLong_SHIFT));
        return true;
      default:
        break;
    }
  }
  return extract_int64_general(obj, out);
}

bool extract_float_general(PyObject* obj, double& out);

inline bool extract_float(PyObject* obj, double& out) {
  if (PyFloat_CheckExact(obj)) [[likely]] {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  return extract_float_general(obj, out);
}

// A row converted and looked up in one walk of the dict: the column and value of each distinct
// name, in the order of their first appearance, until the first name that is not a column;
// that name is kept for the error. Typical rows live entirely inline.
class ResolvedRow {
 public:
  std::span<const engine::Update> updates() const noexcept { return updates_.span(); }
  std::optional<std::string_view> missing() const noexcept {
    if (!missing_) return std::nullopt;
    return std::string_view(*missing_);
  }

 private:
  friend bool extract_row(PyObject* obj, engine::Frame& frame, ResolvedRow& row);
  friend bool extract_entry_general(PyObject* dict, PyObject* key, PyObject* value,
                                    engine::Frame& frame, ResolvedRow& row);

  [[gnu::always_inline]] void resolve(engine::Frame& frame, engine::ColumnKey key, double value) {
    if (missing_) [[unlikely]]
      return;  // nothing is applied after an unknown name
    engine::ColumnState* column = frame.find_column(key);
    if (column == nullptr) [[unlikely]] {
      note_missing(key.name);
      return;
    }
    updates_.push_back_reserved(engine::Update{column, value});
  }
  [[gnu::cold, gnu::noinline]] void note_missing(std::string_view name) { missing_.emplace(name); }
  void keep_last_of_each_column();

  runtime::SmallVector<engine::Update, 64> updates_;
  std::optional<std::string> missing_;
  Ref dict_;  // taken before the first conversion that can run Python code
  bool may_repeat_ = false;
};

// Converts one entry whose key or value is not of an exact type read inline; it may run Python
// code, so it holds references to the key, the value and the dict while it does.
bool extract_entry_general(PyObject* dict, PyObject* key, PyObject* value, engine::Frame& frame,
                           ResolvedRow& row);

[[noreturn]] void dict_changed_size();
[[noreturn]] void dict_keys_changed();

// Converts a dict (or subclass, read as a dict) and looks its names up in `frame`; `row` must
// be empty. Keys convert to text, values to float, and a conversion error ends the walk; a name
// that is not a column is only recorded, so that later conversion errors still come first.
[[gnu::always_inline]] inline bool extract_row(PyObject* obj, engine::Frame& frame,
                                               ResolvedRow& row) {
  if (!PyDict_Check(obj)) [[unlikely]]
    return raise_mismatch(obj, "PyDict");
  const Py_ssize_t size = PyDict_GET_SIZE(obj);
  // A dict that Python code changes during the walk can yield one entry more than it had
  // before the walk stops it.
  row.updates_.reserve(static_cast<std::size_t>(size) + 1);
  Py_ssize_t remaining = size;
  Py_ssize_t position = 0;
  for (;;) {
    if (PyDict_GET_SIZE(obj) != size) [[unlikely]]
      dict_changed_size();
    if (remaining == -1) [[unlikely]]
      dict_keys_changed();
    PyObject *key, *value;
    if (!PyDict_Next(obj, &position, &key, &value)) break;
    --remaining;
    // An exact compact-ASCII key with its hash cached and an exact float value convert without
    // running any Python code, so they need no references of their own for the step.
    if (is_ready_ascii_key(key) && PyFloat_CheckExact(value)) [[likely]] {
      row.resolve(frame, ready_ascii_key(key), PyFloat_AS_DOUBLE(value));
    } else if (!extract_entry_general(obj, key, value, frame, row)) [[unlikely]] {
      return false;
    }
  }
  if (row.may_repeat_) [[unlikely]]
    row.keep_last_of_each_column();
  return true;
}

// A conversion of `parameter` failed, its exception pending: an exact TypeError becomes the
// TypeError "argument '<parameter>': <message>" (keeping its cause); anything else passes
// unchanged. Returns NULL, for the entry to return.
[[gnu::cold]] PyObject* argument_error(std::string_view parameter);

}  // namespace quillometer::boundary
