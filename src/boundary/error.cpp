// Setting, passing on and describing Python exceptions.
#include "boundary/error.hpp"

#include <optional>

#include "boundary/panic.hpp"
#include "boundary/text.hpp"
#include "runtime/fatal.hpp"

namespace quillometer::boundary {

namespace {

constexpr std::string_view kNoneSet = "attempted to fetch exception but none was set";

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

}  // namespace

bool pass_error_or_resume_panic() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return raise_message(PyExc_SystemError, kNoneSet);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type);
  Ref owned_value = Ref::steal(value);
  Ref owned_traceback = Ref::steal(traceback);
  if (owned_type.get() == panic_exception_class()) {
    resume_panic(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
  }
  PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
  return false;
}

bool raise_message(PyObject* type, std::string_view text) {
  if (Ref message = make_str(text)) PyErr_SetObject(type, message.get());
  return false;
}

bool raise_mismatch(PyObject* object, std::string_view target) {
  std::string_view type_name = "<failed to extract type name>";
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!qualname) {
    PyErr_Clear();
  } else if (auto utf8 = utf8_or_clear(qualname.get())) {
    type_name = *utf8;
  }
  std::string text;
  text.reserve(type_name.size() + target.size() + 40);
  text.append("'").append(type_name).append("' object cannot be converted to '");
  text.append(target).append("'");
  return raise_message(PyExc_TypeError, text);
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

}  // namespace quillometer::boundary
