// Every read of an object layout that differs between CPython minor versions, behind version
// fences. The inline fast paths (exact float, ready compact-ASCII str, small exact int) read the
// objects through these helpers only; a new minor version builds once its layouts match a fence.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#if PY_VERSION_HEX < 0x030B0000
#error "quillometer needs CPython 3.11 or later: it reads object layouts that 3.11 introduced"
#endif

#ifdef Py_GIL_DISABLED
#error \
    "quillometer does not support free-threaded CPython builds: its objects and column tables \
are guarded by the interpreter lock, and a free-threaded build has none"
#endif

namespace quillometer::python {

// The number of digits of an exact int, negative for a negative int, 0 for zero.
inline Py_ssize_t long_signed_digits(PyObject* obj) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  // 3.12 keeps the digit count and sign in lv_tag; no API reads both without a call.
  const std::uintptr_t tag = reinterpret_cast<PyLongObject*>(obj)->long_value.lv_tag;
  const auto count = static_cast<Py_ssize_t>(tag >> _PyLong_NON_SIZE_BITS);
  return (tag & _PyLong_SIGN_MASK) == 2 ? -count : count;
#else
  return Py_SIZE(obj);
#endif
}

// The digits of an exact int, least significant first.
inline const digit* long_digits(PyObject* obj) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return reinterpret_cast<PyLongObject*>(obj)->long_value.ob_digit;
#else
  return reinterpret_cast<PyLongObject*>(obj)->ob_digit;
#endif
}

// A str's cached hash, -1 when not computed yet.
inline Py_hash_t str_cached_hash(PyObject* text) noexcept {
#if PY_VERSION_HEX >= 0x030F0000
  return PyUnstable_Unicode_GET_CACHED_HASH(text);
#else
  // Before 3.15 no API reads the cached hash without computing it.
  return reinterpret_cast<PyASCIIObject*>(text)->hash;
#endif
}

namespace detail {

using StrState = decltype(PyASCIIObject::state);
static_assert(sizeof(StrState) == sizeof(std::uint32_t));

// The state bits that mark a compact ASCII str, as the word that holds them, so that both are
// tested with one mask. (The word has unnamed padding bits, so it is built at run time; the
// compiler folds it to a constant.)
inline std::uint32_t compact_ascii_bits() noexcept {
  StrState state;
  std::memset(&state, 0, sizeof state);
  state.compact = 1;
  state.ascii = 1;
  std::uint32_t bits;
  std::memcpy(&bits, &state, sizeof bits);
  return bits;
}

}  // namespace detail

// Whether a str stores ASCII characters in the object itself. Every version's state word has the
// compact and ascii bits (3.12 dropped `ready`: every str is ready); one load and mask tests both,
// where PyUnicode_IS_COMPACT_ASCII reads the bit fields one by one.
[[gnu::always_inline]] inline bool is_compact_ascii(PyObject* text) noexcept {
  std::uint32_t state;
  std::memcpy(&state, &reinterpret_cast<const PyASCIIObject*>(text)->state, sizeof state);
  const std::uint32_t bits = detail::compact_ascii_bits();
  return (state & bits) == bits;
}

// The text of a str that is_compact_ascii accepts.
[[gnu::always_inline]] inline std::string_view compact_ascii_text(PyObject* text) noexcept {
  return {reinterpret_cast<const char*>(reinterpret_cast<const PyASCIIObject*>(text) + 1),
          static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
}

}  // namespace quillometer::python
