// Argument conversion: bound argument objects to the plain values the engine takes, and the
// argument error that names the parameter of a failed conversion.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "boundary/error.hpp"
#include "engine/frame.hpp"
#include "runtime/small_vector.hpp"

namespace quillometer::boundary {

// A str's UTF-8, read in place: valid while the object lives (arguments outlive the call).
Result<std::string_view> extract_text(PyObject* obj);
Result<std::vector<std::string>> extract_text_list(PyObject* obj);
Result<std::uint64_t> extract_size(PyObject* obj);
Result<std::int64_t> extract_int64(PyObject* obj);
Result<double> extract_float(PyObject* obj);

// A converted row: one entry per distinct name. The names point into the key objects, which
// the row keeps alive; typical rows live entirely inline.
class Row {
 public:
  std::span<const engine::RowEntry> entries() const noexcept { return entries_.span(); }

 private:
  friend Status extract_row(PyObject* obj, Row& row);
  void keep_last_of_each_name();

  runtime::SmallVector<engine::RowEntry, 16> entries_;
  runtime::SmallVector<Ref, 16> keys_;
  Ref dict_;
};

// Converts a dict (or subclass, read as a dict) into `row`, which must be empty.
Status extract_row(PyObject* obj, Row& row);

// A conversion failure as the call reports it: an exact TypeError becomes the TypeError
// "argument '<name>': <message>" (keeping its cause); anything else passes unchanged.
Error argument_error(std::string_view parameter, Error error);

// Converts an argument: assigns the value of a conversion's result to `lhs`, or returns the
// argument error naming `parameter`.
#define QM_TRY_ARGUMENT_IMPL(result, lhs, parameter, expr)                              \
  auto result = (expr);                                                                 \
  if (!result) {                                                                        \
    return ::quillometer::boundary::fail(                                               \
        ::quillometer::boundary::argument_error(parameter, std::move(result.error()))); \
  }                                                                                     \
  lhs = std::move(*result)
#define QM_TRY_ARGUMENT(lhs, parameter, expr) \
  QM_TRY_ARGUMENT_IMPL(QM_CONCAT(qm_argument_, __LINE__), lhs, parameter, expr)

}  // namespace quillometer::boundary
