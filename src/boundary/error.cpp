// Raising, normalising and fetching error values.
#include "boundary/error.hpp"

#include <new>

#include "boundary/panic.hpp"
#include "runtime/fatal.hpp"

namespace quillometer::boundary {

namespace {

constexpr std::string_view kNoneSet = "attempted to fetch exception but none was set";

// The UTF-8 of a str, or nullopt with the exception discarded.
std::optional<std::string_view> utf8_or_clear(PyObject* text) noexcept {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

void set_exception(PyObject* type, Ref argument) {
  if (PyExceptionClass_Check(type)) {
    PyErr_SetObject(type, argument.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

// Resumes the fatal error carried by a PanicException that came back from Python code: the
// exception is printed with its traceback, and no new report is written.
[[noreturn]] void resume_panic(Ref type, Ref value, Ref traceback) {
  std::string message = "Unwrapped panic from Python code";
  if (Ref text = Ref::steal(PyObject_Str(value.get()))) {
    if (auto utf8 = utf8_or_clear(text.get())) message.assign(*utf8);
  } else {
    PyErr_Clear();
  }
  PySys_WriteStderr(
      "--- A PanicException from Python code has been fetched: resuming the internal fatal "
      "error it carries ---\n");
  PySys_WriteStderr("Python stack trace below:\n");
  PyErr_Restore(type.release(), value.release(), traceback.release());
  PyErr_PrintEx(0);
  runtime::resume_fatal(std::move(message));
}

std::optional<Error> fetch_pending() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return std::nullopt;
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type);
  Ref owned_value = Ref::steal(value);
  Ref owned_traceback = Ref::steal(traceback);
  if (owned_type.get() == panic_exception_class()) {
    resume_panic(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
  }
  return Error::normalized(std::move(owned_type), std::move(owned_value),
                           std::move(owned_traceback));
}

}  // namespace

void Error::raise() && {
  struct Raise {
    void operator()(Lazy& lazy) const {
      std::string_view text = lazy.owned_text.empty() ? lazy.fixed_text : lazy.owned_text;
      set_exception(lazy.type, make_str(text));
    }
    void operator()(Mismatch& mismatch) const {
      std::string_view type_name = "<failed to extract type name>";
      Ref qualname =
          Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(mismatch.type.get())));
      if (!qualname) {
        PyErr_Clear();
      } else if (auto utf8 = utf8_or_clear(qualname.get())) {
        type_name = *utf8;
      }
      std::string text;
      text.reserve(type_name.size() + mismatch.target.size() + 40);
      text.append("'").append(type_name).append("' object cannot be converted to '");
      text.append(mismatch.target).append("'");
      set_exception(PyExc_TypeError, make_str(text));
    }
    void operator()(Panic& panic) const {
      PyObject* type = panic_exception_class();
      Ref message = make_str(panic.text);
      Ref arguments = Ref::steal(PyTuple_Pack(1, message.get()));
      if (!arguments) api_call_failed();
      set_exception(type, std::move(arguments));
    }
    void operator()(Normalized& n) const {
      PyErr_Restore(n.type.release(), n.value.release(), n.traceback.release());
    }
  };
  std::visit(Raise{}, state_);
}

Error::Normalized& Error::normalize() {
  if (auto* done = std::get_if<Normalized>(&state_)) return *done;
  std::move(*this).raise();
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  state_ = Normalized{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
  return std::get<Normalized>(state_);
}

Error fetch_error() {
  if (auto error = fetch_pending()) return std::move(*error);
  return Error::fixed_message(PyExc_SystemError, kNoneSet);
}

std::optional<Error> take_error() {
  return fetch_pending();
}

Ref make_str(std::string_view text) {
  Ref result = Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!result) api_call_failed();
  return result;
}

std::string describe_pending_error() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned[] = {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
  const char* labels[] = {"type: ", ", value: ", ", traceback: "};
  std::string description;
  for (int i = 0; i < 3; ++i) {
    description += labels[i];
    Ref text = Ref::steal(owned[i] ? PyObject_Repr(owned[i].get()) : nullptr);
    std::optional<std::string_view> utf8;
    if (text) {
      utf8 = utf8_or_clear(text.get());
    } else if (owned[i]) {
      PyErr_Clear();
    }
    description += utf8 ? *utf8 : std::string_view(owned[i] ? "<unprintable>" : "None");
  }
  return description;
}

void api_call_failed() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  PyErr_Print();
  runtime::raise_fatal("Python API call failed");
}

}  // namespace quillometer::boundary
