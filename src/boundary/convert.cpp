// Conversion of argument objects to texts, text lists, rows, sizes, 64-bit integers and doubles.
#include "boundary/convert.hpp"

#include <unordered_map>

#include "boundary/binding.hpp"
#include "runtime/fatal.hpp"
#include "runtime/hash.hpp"

namespace quillometer::boundary {

namespace {

// A length hint is only a reservation; a sequence may claim any length it likes.
constexpr std::size_t kMaxReservedNames = 1024;

}  // namespace

Result<std::string_view> extract_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return fail(Error::type_mismatch(obj, "PyString"));
  std::size_t size = 0;
  const char* data = str_utf8(obj, size);
  if (data == nullptr) return fail(fetch_error());
  return std::string_view(data, size);
}

Result<std::vector<std::string>> extract_text_list(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    return fail(Error::fixed_message(PyExc_TypeError, "Can't extract `str` to `Vec`"));
  }
  if (PySequence_Check(obj) == 0) return fail(Error::type_mismatch(obj, "Sequence"));
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint == -1) {
    fetch_error();  // discarded: the hint only sizes the reservation
    hint = 0;
  }
  std::vector<std::string> names;
  names.reserve(std::min(static_cast<std::size_t>(hint), kMaxReservedNames));
  Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) return fail(fetch_error());
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    QM_TRY_ASSIGN(std::string_view name, extract_text(item.get()));
    names.emplace_back(name);
  }
  if (auto error = take_error()) return fail(std::move(*error));
  return names;
}

void Row::keep_last_of_each_name() {
  // Later entries win; an entry keeps the place of the first one with its name.
  std::size_t kept = 0;
  auto keep = [&](std::size_t i, std::size_t* earlier) {
    if (earlier != nullptr) {
      entries_[*earlier].value = entries_[i].value;
    } else {
      entries_[kept++] = entries_[i];
    }
  };
  if (entries_.size() <= 32) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      std::size_t k = 0;
      while (k < kept && entries_[k].name != entries_[i].name) ++k;
      keep(i, k < kept ? &k : nullptr);
    }
  } else {
    std::unordered_map<std::string_view, std::size_t, runtime::SeededHash> seen;
    seen.reserve(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      auto [where, inserted] = seen.try_emplace(entries_[i].name, kept);
      keep(i, inserted ? nullptr : &where->second);
    }
  }
  entries_.truncate(kept);
}

Status extract_row(PyObject* obj, Row& row) {
  if (!PyDict_Check(obj)) return fail(Error::type_mismatch(obj, "PyDict"));
  const Py_ssize_t size = PyDict_GET_SIZE(obj);
  row.dict_ = Ref::borrow(obj);
  row.entries_.reserve(static_cast<std::size_t>(size));
  row.keys_.reserve(static_cast<std::size_t>(size));
  // Distinct dict keys can share a text only if some key is a str subclass, or if Python code
  // (a value's __float__) mutated the dict along the way; only then are names deduplicated.
  bool may_repeat = false;
  Py_ssize_t remaining = size;
  Py_ssize_t position = 0;
  for (;;) {
    if (PyDict_GET_SIZE(obj) != size)
      runtime::raise_fatal("dictionary changed size during iteration");
    if (remaining == -1) runtime::raise_fatal("dictionary keys changed during iteration");
    PyObject *borrowed_key, *borrowed_value;
    if (!PyDict_Next(obj, &position, &borrowed_key, &borrowed_value)) break;
    --remaining;
    Ref& key = row.keys_.emplace_back(Ref::borrow(borrowed_key));
    Ref value = Ref::borrow(borrowed_value);
    QM_TRY_ASSIGN(std::string_view name, extract_text(key.get()));
    may_repeat |= !PyUnicode_CheckExact(key.get()) ||
                  !(PyFloat_CheckExact(value.get()) || PyLong_CheckExact(value.get()));
    QM_TRY_ASSIGN(double number, extract_float(value.get()));
    row.entries_.emplace_back(engine::RowEntry{name, number});
  }
  if (may_repeat) row.keep_last_of_each_name();
  return {};
}

Result<std::uint64_t> extract_size(PyObject* obj) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return fail(fetch_error());
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1)) {
    if (auto error = take_error()) return fail(std::move(*error));
  }
  return static_cast<std::uint64_t>(value);
}

Result<std::int64_t> extract_int64(PyObject* obj) {
  const long long value = PyLong_AsLongLong(obj);
  if (value == -1) {
    if (auto error = take_error()) return fail(std::move(*error));
  }
  return static_cast<std::int64_t>(value);
}

Result<double> extract_float(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0) {
    if (auto error = take_error()) return fail(std::move(*error));
  }
  return value;
}

Error argument_error(std::string_view parameter, Error error) {
  Error::Normalized& incoming = error.normalize();
  if (incoming.type.get() != PyExc_TypeError) return error;
  std::string text = "argument '";
  text.append(parameter).append("': ").append(display_text(incoming.value.get()));
  Ref message = make_str(text);
  Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return fetch_error();
  // Only the incoming exception's own cause carries over (the call steals the reference).
  PyException_SetCause(replacement.get(), PyException_GetCause(incoming.value.get()));
  return Error::normalized(Ref::borrow(PyExc_TypeError), std::move(replacement), Ref());
}

}  // namespace quillometer::boundary
