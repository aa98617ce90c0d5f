// Text between Python str objects and UTF-8.
#include "boundary/text.hpp"

namespace quillometer::boundary {

std::optional<std::string_view> utf8_or_clear(PyObject* text) noexcept {
  std::size_t size = 0;
  const char* data = str_utf8(text, size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(data, size);
}

Ref make_str(std::string_view text) {
  return Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

bool append_display_text(PyObject* obj, std::string& out) {
  Ref text = Ref::steal(PyObject_Str(obj));
  if (!text) {
    PyErr_WriteUnraisable(obj);
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (!type_name) {
      PyErr_Clear();
      out += "<unprintable object>";
      return true;
    }
    out += "<unprintable ";
    if (!append_display_text(type_name.get(), out)) return false;
    out += " object>";
    return true;
  }
  std::size_t size = 0;
  if (const char* data = str_utf8(text.get(), size)) {
    out.append(data, size);
    return true;
  }
  // Lone surrogates: encode them as they are and decode with U+FFFD for each ill-formed piece.
  // These calls fail only for want of memory.
  PyErr_Clear();
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!bytes) return false;
  Ref repaired = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                 PyBytes_GET_SIZE(bytes.get()), "replace"));
  if (!repaired) return false;
  const char* data = str_utf8(repaired.get(), size);
  if (data == nullptr) return false;
  out.append(data, size);
  return true;
}

}  // namespace quillometer::boundary
