// The module's entry point, the Quillometer type and its method entries: each entry binds,
// holds, converts, calls the engine and builds the result, under the entry guard.
#include <Python.h>

#include <array>
#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/error.hpp"
#include "boundary/hold.hpp"
#include "boundary/panic.hpp"
#include "boundary/python_version.hpp"
#include "boundary/text.hpp"
#include "engine/frame.hpp"
#include "engine/queries.hpp"
#include "runtime/fatal.hpp"

namespace quillometer {
namespace {

using boundary::argument_error;
using boundary::Ref;

constexpr std::string_view kClassName = "Quillometer";

struct QuillometerObject {
  PyObject_HEAD
  engine::Frame frame;
  boundary::BorrowFlag borrow_flag;
};

// ---- signatures --------------------------------------------------------------------------

constexpr std::array<std::string_view, 4> kNewParameters = {"col_names", "window_size", "alpha",
                                                            "time_window"};
constexpr std::array<std::string_view, 2> kAppendParameters = {"row", "ts"};
constexpr std::array<std::string_view, 1> kQueryParameters = {"col"};

constexpr boundary::MethodSignature signature(std::string_view method,
                                              std::span<const std::string_view> parameters) {
  return {kClassName, method, parameters, parameters.size()};
}

constexpr auto kNewSignature = signature("__new__", kNewParameters);
constexpr auto kAppendSignature = signature("append", kAppendParameters);

// The text signature that inspect reads from a doc ("append($self, row, ts)\n--\n\n", or the
// class's own without $self), written from the parameters that binding uses so that the two
// cannot disagree. With `out` null it only counts the characters.
constexpr std::size_t render_text_signature(const boundary::MethodSignature& signature, bool method,
                                            char* out) {
  std::size_t size = 0;
  const auto put = [&](std::string_view text) {
    for (const char c : text) {
      if (out != nullptr) out[size] = c;
      ++size;
    }
  };
  put(method ? signature.method_name : signature.class_name);
  put(method ? "($self" : "(");
  for (std::size_t i = 0; i < signature.positional_names.size(); ++i) {
    if (method || i > 0) put(", ");
    put(signature.positional_names[i]);
  }
  put(")\n--\n\n");
  return size;
}

template <const boundary::MethodSignature& Signature, bool Method>
constexpr auto make_text_signature() {
  std::array<char, render_text_signature(Signature, Method, nullptr) + 1> text{};
  render_text_signature(Signature, Method, text.data());
  return text;
}

// A doc that is the text signature alone, built at compile time.
template <const boundary::MethodSignature& Signature, bool Method = true>
constexpr auto kTextSignature = make_text_signature<Signature, Method>();

// ---- the type object ---------------------------------------------------------------------

PyTypeObject* create_type();

std::atomic<PyTypeObject*> type_cell{nullptr};

// The class, created on first need and kept for the life of the process; NULL with the
// exception set if it cannot be made.
PyTypeObject* class_type() {
  if (PyTypeObject* existing = type_cell.load(std::memory_order_acquire)) return existing;
  PyTypeObject* created = create_type();
  if (created == nullptr) {
    boundary::pass_error_or_resume_panic();
    return nullptr;
  }
  PyTypeObject* expected = nullptr;
  if (!type_cell.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return expected;
  }
  return created;
}

[[gnu::cold, gnu::noinline]] PyTypeObject* create_class_type_or_fatal() {
  if (PyTypeObject* type = class_type()) return type;
  PyErr_PrintEx(0);
  runtime::raise_fatal("failed to create type object for " + std::string(kClassName));
}

// For callers that cannot report an error: the receiver check of a method call.
inline PyTypeObject* class_type_or_fatal() {
  if (PyTypeObject* existing = type_cell.load(std::memory_order_acquire)) [[likely]] {
    return existing;
  }
  return create_class_type_or_fatal();
}

// ---- entries -----------------------------------------------------------------------------

PyObject* new_entry(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
  return boundary::guard_entry([&]() -> PyObject* {
    std::array<PyObject*, 4> slots{};
    if (!boundary::bind_tuple_dict(kNewSignature, args, kwargs, slots)) return nullptr;
    std::vector<engine::HashedName> col_names;
    if (!boundary::extract_text_list(slots[0], col_names)) return argument_error("col_names");
    std::uint64_t window_size;
    if (!boundary::extract_size(slots[1], window_size)) return argument_error("window_size");
    double alpha;
    if (!boundary::extract_float(slots[2], alpha)) return argument_error("alpha");
    std::int64_t time_window;
    if (!boundary::extract_int64(slots[3], time_window)) return argument_error("time_window");

    engine::Frame frame(col_names, window_size, alpha, time_window);

    allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
    PyObject* object = alloc(subtype, 0);
    if (object == nullptr) {
      boundary::pass_error_or_resume_panic();
      return nullptr;
    }
    auto* self = reinterpret_cast<QuillometerObject*>(object);
    ::new (&self->frame) engine::Frame(std::move(frame));
    ::new (&self->borrow_flag) boundary::BorrowFlag(0);
    return object;
  });
}

void dealloc_entry(PyObject* object) noexcept {
  boundary::guard_destructor([&] {
    auto* self = reinterpret_cast<QuillometerObject*>(object);
    std::destroy_at(&self->frame);
    std::destroy_at(&self->borrow_flag);
    PyTypeObject* type = Py_TYPE(object);
    // The check is on the instance's own type; the message has always named object's slot.
    if (type->tp_free == nullptr) runtime::raise_fatal("PyBaseObject_Type should have tp_free");
    type->tp_free(object);
    // Every instance of a heap type holds a reference to its type.
    Py_DECREF(type);
  });
}

PyObject* append_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return boundary::guard_entry([&]() __attribute__((always_inline)) -> PyObject* {
    std::array<PyObject*, 2> slots{};
    if (!boundary::bind_fastcall(kAppendSignature, args, nargs, kwnames, slots)) [[unlikely]]
      return nullptr;
    boundary::Hold<QuillometerObject, boundary::HoldKind::exclusive> hold;
    if (!hold.take(self, class_type_or_fatal(), kClassName)) [[unlikely]]
      return nullptr;
    engine::Frame& frame = hold.instance().frame;
    boundary::ResolvedRow row;
    if (!boundary::extract_row(slots[0], frame, row)) [[unlikely]]
      return argument_error("row");
    std::int64_t ts;
    if (!boundary::extract_int64(slots[1], ts)) [[unlikely]]
      return argument_error("ts");
    // An unknown name was only noted during the walk, so that every conversion error (ts's
    // too) comes first; and exhausted memory comes before it.
    if (const std::optional<std::string_view> missing = row.missing()) [[unlikely]] {
      frame.refuse(row.updates(), *missing);
    }
    frame.apply(row.updates(), ts);
    return Py_NewRef(Py_None);
  });
}

template <const boundary::MethodSignature& Signature, engine::Statistic Statistic>
[[gnu::noinline]] PyObject* query_entry_general(PyObject* self, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return boundary::guard_entry([&]() __attribute__((always_inline)) -> PyObject* {
    std::array<PyObject*, 1> slots{};
    if (!boundary::bind_fastcall(Signature, args, nargs, kwnames, slots)) return nullptr;
    boundary::Hold<QuillometerObject, boundary::HoldKind::shared> hold;
    if (!hold.take(self, class_type_or_fatal(), kClassName)) return nullptr;
    engine::ColumnKey col;
    if (!boundary::extract_key(slots[0], col)) return argument_error("col");
    // NULL with MemoryError set when the float cannot be made.
    return PyFloat_FromDouble(engine::query<Statistic>(hold.instance().frame, col));
  });
}

// A query's common call is settled here: one positional str whose text and hash are read
// inline, a receiver of the class that no append holds, and a column that exists. It takes the
// same steps in the same order as the general entry, none of which can fail or run Python code
// on this path; any other call (keywords included) goes to the general entry before anything
// has been done.
template <const boundary::MethodSignature& Signature, engine::Statistic Statistic>
PyObject* query_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  if (kwnames != nullptr || nargs != 1 || !boundary::is_ready_ascii_key(args[0]) ||
      Py_TYPE(self) != type_cell.load(std::memory_order_acquire)) [[unlikely]] {
    return query_entry_general<Signature, Statistic>(self, args, nargs, kwnames);
  }
  auto* instance = reinterpret_cast<QuillometerObject*>(self);
  const engine::ColumnState* column = nullptr;
  double value = 0.0;
  {
    boundary::Hold<QuillometerObject, boundary::HoldKind::shared> hold;
    if (hold.try_take(instance)) [[likely]] {
      column = instance->frame.find_column(boundary::ready_ascii_key(args[0]));
      if (column != nullptr) [[likely]]
        value = Statistic(*column);
    }
  }
  // The hold is given back before the float is made: making it runs no Python code, so nothing
  // can tell. It fails only for want of memory, with MemoryError set.
  if (column != nullptr) [[likely]]
    return PyFloat_FromDouble(value);
  // Held by an append, or no such column: the general entry reports it.
  return query_entry_general<Signature, Statistic>(self, args, 1, nullptr);
}

// ---- method table ------------------------------------------------------------------------

template <const boundary::MethodSignature& Signature, engine::Statistic Statistic>
PyMethodDef query_method() {
  return {Signature.method_name.data(),
          reinterpret_cast<PyCFunction>(
              reinterpret_cast<void (*)()>(&query_entry<Signature, Statistic>)),
          METH_FASTCALL | METH_KEYWORDS, kTextSignature<Signature>.data()};
}

// A query's signature and its method record, for each of the ten statistics.
#define QM_SIGNATURE(name) constexpr auto k_##name##_signature = signature(#name, kQueryParameters);
QM_STATISTICS(QM_SIGNATURE)
#undef QM_SIGNATURE

#define QM_QUERY(name) query_method<k_##name##_signature, &engine::name>(),

PyMethodDef methods[] = {
    {"append", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&append_entry)),
     METH_FASTCALL | METH_KEYWORDS, kTextSignature<kAppendSignature>.data()},
    QM_STATISTICS(QM_QUERY){nullptr, nullptr, 0, nullptr},
};
#undef QM_QUERY

PyTypeObject* create_type() {
  // The class doc is the text signature and nothing else, so __doc__ is empty.
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kTextSignature<kNewSignature, false>.data())},
      {Py_tp_new, reinterpret_cast<void*>(&new_entry)},
      {Py_tp_methods, methods},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_entry)},
      {0, nullptr},
  };
  static const std::string spec_name = "builtins." + std::string(kClassName);
  PyType_Spec spec = {spec_name.c_str(), static_cast<int>(sizeof(QuillometerObject)), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

// ---- the module --------------------------------------------------------------------------

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quillometer", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

#if PY_VERSION_HEX < 0x030C0000
std::atomic<std::int64_t> owner_interpreter{-1};
#endif
std::atomic<PyObject*> module_cell{nullptr};

bool add_class(PyObject* module) {
  PyTypeObject* type = class_type();
  if (type == nullptr) return false;
  Ref name = boundary::make_str(kClassName);
  if (!name) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
      return boundary::pass_error_or_resume_panic();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      return boundary::pass_error_or_resume_panic();
    }
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    // The message says __name__ for the class's name, as it always has.
    runtime::raise_fatal("could not append __name__ to __all__: " +
                         boundary::describe_pending_error());
  }
  return PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) == 0 ||
         boundary::pass_error_or_resume_panic();
}

// Whether the running interpreter may own the module. On 3.11 the first interpreter to import
// it owns it. From 3.12 a sub-interpreter may run the init (an isolated one, which CPython then
// refuses the module), so only the main interpreter may own it: otherwise a failed import in a
// sub-interpreter would lock every interpreter out.
bool claim_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) return boundary::pass_error_or_resume_panic();
#if PY_VERSION_HEX >= 0x030C0000
  const bool may_own = interpreter == PyInterpreterState_Main();
#else
  std::int64_t owner = -1;
  const bool may_own = owner_interpreter.compare_exchange_strong(owner, id) || owner == id;
#endif
  if (may_own) return true;
  boundary::raise_message(
      PyExc_ImportError,
      "quillometer does not support sub-interpreters: it can only be imported into the "
      "interpreter that imported it first");
  return false;
}

PyObject* init_module() {
  if (!claim_module()) return nullptr;
  if (PyObject* existing = module_cell.load(std::memory_order_acquire)) {
    return Py_NewRef(existing);
  }
  Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  if (!module) {
    boundary::pass_error_or_resume_panic();
    return nullptr;
  }
  if (!add_class(module.get())) return nullptr;
  PyObject* expected = nullptr;
  if (!module_cell.compare_exchange_strong(expected, module.get(), std::memory_order_acq_rel)) {
    return Py_NewRef(expected);  // another thread stored its module first; ours is released
  }
  module.release();
  return Py_NewRef(module_cell.load(std::memory_order_acquire));
}

}  // namespace
}  // namespace quillometer

PyMODINIT_FUNC PyInit_quillometer(void) noexcept {
  return quillometer::boundary::guard_entry([] { return quillometer::init_module(); });
}
