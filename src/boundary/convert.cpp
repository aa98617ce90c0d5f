// Conversion of argument objects to texts, text lists, rows, sizes, 64-bit integers and doubles:
// the general paths, for everything the inline readers in convert.hpp do not settle.
#include "boundary/convert.hpp"

#include <unordered_map>

#include "boundary/binding.hpp"
#include "boundary/text.hpp"
#include "runtime/fatal.hpp"

namespace quillometer::boundary {

namespace {

// A length hint is only a reservation; a sequence may claim any length it likes.
constexpr std::size_t kMaxReservedNames = 1024;

}  // namespace

bool extract_text(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) return raise_mismatch(obj, "PyString");
  std::size_t size = 0;
  const char* data = str_utf8(obj, size);
  if (data == nullptr) return pass_error_or_resume_panic();
  out = std::string_view(data, size);
  return true;
}

[[gnu::cold]] bool extract_key_general(PyObject* obj, engine::ColumnKey& out) {
  if (!extract_text(obj, out.name)) return false;
  out.hash = str_hash(obj);
  return true;
}

bool extract_text_list(PyObject* obj, std::vector<engine::HashedName>& names) {
  if (PyUnicode_Check(obj)) return raise_message(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (PySequence_Check(obj) == 0) return raise_mismatch(obj, "Sequence");
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint == -1) {
    pass_error_or_resume_panic();  // then discarded: the hint only sizes the reservation
    PyErr_Clear();
    hint = 0;
  }
  names.reserve(std::min(static_cast<std::size_t>(hint), kMaxReservedNames));
  Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) return pass_error_or_resume_panic();
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    std::string_view name;
    if (!extract_text(item.get(), name)) return false;
    names.push_back(engine::HashedName{std::string(name), str_hash(item.get())});
  }
  return !PyErr_Occurred() || pass_error_or_resume_panic();
}

void dict_changed_size() {
  runtime::raise_fatal("dictionary changed size during iteration");
}

void dict_keys_changed() {
  runtime::raise_fatal("dictionary keys changed during iteration");
}

bool extract_entry_general(PyObject* dict, PyObject* key_object, PyObject* value_object,
                           engine::Frame& frame, ResolvedRow& row) {
  if (!row.dict_) row.dict_ = Ref::borrow(dict);
  Ref key = Ref::borrow(key_object);
  Ref value = Ref::borrow(value_object);
  engine::ColumnKey column_key;
  if (!extract_key(key.get(), column_key)) return false;
  // Distinct dict keys share a text only if some key is a str subclass, or if Python code (a
  // value's __float__) changed the dict along the way; only then are names deduplicated.
  row.may_repeat_ |= !PyUnicode_CheckExact(key.get()) ||
                     !(PyFloat_CheckExact(value.get()) || PyLong_CheckExact(value.get()));
  double number = 0.0;
  if (!extract_float(value.get(), number)) return false;
  row.resolve(frame, column_key, number);
  return true;
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

bool extract_size(PyObject* obj, std::uint64_t& out) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return pass_error_or_resume_panic();
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred())
    return pass_error_or_resume_panic();
  out = static_cast<std::uint64_t>(value);
  return true;
}

[[gnu::cold]] bool extract_int64_general(PyObject* obj, std::int64_t& out) {
  const long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) return pass_error_or_resume_panic();
  out = static_cast<std::int64_t>(value);
  return true;
}

bool extract_float_general(PyObject* obj, double& out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return pass_error_or_resume_panic();
  out = value;
  return true;
}

PyObject* argument_error(std::string_view parameter) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return nullptr;
  }
  Ref incoming[] = {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
  std::string text = "argument '";
  text.append(parameter).append("': ");
  if (!append_display_text(incoming[1].get(), text)) return nullptr;
  Ref message = make_str(text);
  if (!message) return nullptr;
  Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) {
    pass_error_or_resume_panic();
    return nullptr;
  }
  // Only the incoming exception's own cause carries over (the call steals the reference).
  PyException_SetCause(replacement.get(), PyException_GetCause(incoming[1].get()));
  PyErr_Restore(Py_NewRef(PyExc_TypeError), replacement.release(), nullptr);
  return nullptr;
}

}  // namespace quillometer::boundary
