// Conversion of argument objects to texts, text lists, rows, sizes, 64-bit integers and doubles:
// the general paths, for everything the inline readers in convert.hpp do not settle.
#include "boundary/convert.hpp"

#include <unordered_map>

#include "boundary/binding.hpp"
#include "runtime/fatal.hpp"

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

[[gnu::cold]] Result<engine::ColumnKey> extract_key_general(PyObject* obj) {
  QM_TRY_ASSIGN(std::string_view text, extract_text(obj));
  return engine::ColumnKey{text, str_hash(obj)};
}

Result<std::vector<engine::HashedName>> extract_text_list(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    return fail(Error::fixed_message(PyExc_TypeError, "Can't extract `str` to `Vec`"));
  }
  if (PySequence_Check(obj) == 0) return fail(Error::type_mismatch(obj, "Sequence"));
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint == -1) {
    fetch_error();  // discarded: the hint only sizes the reservation
    hint = 0;
  }
  std::vector<engine::HashedName> names;
  names.reserve(std::min(static_cast<std::size_t>(hint), kMaxReservedNames));
  Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) return fail(fetch_error());
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    QM_TRY_ASSIGN(std::string_view name, extract_text(item.get()));
    names.push_back(engine::HashedName{std::string(name), str_hash(item.get())});
  }
  if (auto error = take_error()) return fail(std::move(*error));
  return names;
}

void dict_changed_size() {
  runtime::raise_fatal("dictionary changed size during iteration");
}

void dict_keys_changed() {
  runtime::raise_fatal("dictionary keys changed during iteration");
}

Status extract_entry_general(PyObject* dict, PyObject* key_object, PyObject* value_object,
                             engine::Frame& frame, ResolvedRow& row) {
  if (!row.dict_) row.dict_ = Ref::borrow(dict);
  Ref key = Ref::borrow(key_object);
  Ref value = Ref::borrow(value_object);
  QM_TRY_ASSIGN(engine::ColumnKey column_key, extract_key(key.get()));
  // Distinct dict keys share a text only if some key is a str subclass, or if Python code (a
  // value's __float__) changed the dict along the way; only then are names deduplicated.
  row.may_repeat_ |= !PyUnicode_CheckExact(key.get()) ||
                     !(PyFloat_CheckExact(value.get()) || PyLong_CheckExact(value.get()));
  QM_TRY_ASSIGN(double number, extract_float(value.get()));
  row.resolve(frame, column_key, number);
  return {};
}

void ResolvedRow::keep_last_of_each_column() {
  // Later entries win; an entry keeps the place of the first one for its column.
  std::size_t kept = 0;
  auto keep = [&](std::size_t i, std::size_t* earlier) {
    if (earlier != nullptr) {
      updates_[*earlier].value = updates_[i].value;
    } else {
      updates_[kept++] = updates_[i];
    }
  };
  if (updates_.size() <= 32) {
    for (std::size_t i = 0; i < updates_.size(); ++i) {
      std::size_t k = 0;
      while (k < kept && updates_[k].column != updates_[i].column) ++k;
      keep(i, k < kept ? &k : nullptr);
    }
  } else {
    std::unordered_map<const engine::ColumnState*, std::size_t> seen;
    seen.reserve(updates_.size());
    for (std::size_t i = 0; i < updates_.size(); ++i) {
      auto [where, inserted] = seen.try_emplace(updates_[i].column, kept);
      keep(i, inserted ? nullptr : &where->second);
    }
  }
  updates_.truncate(kept);
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

[[gnu::cold]] Result<std::int64_t> extract_int64_general(PyObject* obj) {
  const long long value = PyLong_AsLongLong(obj);
  if (value == -1) {
    if (auto error = take_error()) return fail(std::move(*error));
  }
  return static_cast<std::int64_t>(value);
}

Result<double> extract_float_general(PyObject* obj) {
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
