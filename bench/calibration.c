/* The benchmark's calibration baseline: methods with quillometer's calling convention and
 * arguments that do no statistics, so their cost is the floor any such call pays. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifdef CALIBRATION_CALLGRIND
#include <valgrind/callgrind.h>
#endif

typedef struct {
  PyObject_HEAD
} FloorObject;

/* Binds `count` parameters from a vectorcall argument list the way a real method does:
 * positional first, then keywords matched by name. Inlined, as a real method's binding is. */
static inline __attribute__((always_inline)) int bind(const char* const* names, Py_ssize_t count,
                                                      PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames, PyObject** out) {
  if (kwnames == NULL && nargs == count) {
    for (Py_ssize_t i = 0; i < count; i++) out[i] = args[i];
    return 0;
  }
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "takes %zd positional arguments but %zd were given", count,
                 nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < count; i++) out[i] = i < nargs ? args[i] : NULL;
  Py_ssize_t nkw = kwnames == NULL ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; k++) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < count && slot < 0; i++)
      if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) slot = i;
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "got an unexpected keyword argument %R", key);
      return -1;
    }
    if (out[slot] != NULL) {
      PyErr_Format(PyExc_TypeError, "got multiple values for argument '%s'", names[slot]);
      return -1;
    }
    out[slot] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < count; i++)
    if (out[i] == NULL) {
      PyErr_Format(PyExc_TypeError, "missing required argument '%s'", names[i]);
      return -1;
    }
  return 0;
}

static const char* const append_names[] = {"row", "ts"};
static const char* const query_names[] = {"col"};

static PyObject* append_noop(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  (void)self;
  PyObject* bound[2];
  if (bind(append_names, 2, args, nargs, kwnames, bound) < 0) return NULL;
  Py_RETURN_NONE;
}

/* Reads what any append must read: each key's UTF-8, each value's double, and ts. */
static PyObject* append_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  (void)self;
  PyObject* bound[2];
  if (bind(append_names, 2, args, nargs, kwnames, bound) < 0) return NULL;
  if (!PyDict_Check(bound[0])) {
    PyErr_SetString(PyExc_TypeError, "row must be a dict");
    return NULL;
  }
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  Py_ssize_t total = 0;
  double sum = 0.0;
  while (PyDict_Next(bound[0], &pos, &key, &value)) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == NULL) return NULL;
    double x = PyFloat_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred()) return NULL;
    total += size;
    sum += x;
  }
  long long ts = PyLong_AsLongLong(bound[1]);
  if (ts == -1 && PyErr_Occurred()) return NULL;
  /* Keeps the reads from being optimised away without costing a call. */
  __asm__ volatile("" : : "r"(total), "r"(ts), "x"(sum));
  Py_RETURN_NONE;
}

static PyObject* query_noop(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  (void)self;
  PyObject* bound[1];
  if (bind(query_names, 1, args, nargs, kwnames, bound) < 0) return NULL;
  return PyFloat_FromDouble(0.0);
}

/* A query that also reads its column name's UTF-8, as any lookup by name must. */
static PyObject* query_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  (void)self;
  PyObject* bound[1];
  if (bind(query_names, 1, args, nargs, kwnames, bound) < 0) return NULL;
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(bound[0], &size);
  if (utf8 == NULL) return NULL;
  __asm__ volatile("" : : "r"(utf8), "r"(size));
  return PyFloat_FromDouble(0.0);
}

/* The constructor floor: binds the four constructor arguments and makes an empty instance. */
static PyObject* floor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static char* names[] = {"col_names", "window_size", "alpha", "time_window", NULL};
  PyObject *col_names, *window_size, *alpha, *time_window;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:Floor", names, &col_names, &window_size,
                                   &alpha, &time_window))
    return NULL;
  return type->tp_alloc(type, 0);
}

static void floor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

static PyMethodDef floor_methods[] = {
    {"append_noop", (PyCFunction)(void (*)(void))append_noop, METH_FASTCALL | METH_KEYWORDS,
     "append_noop($self, row, ts)\n--\n\nBinds the arguments and returns None."},
    {"append_read", (PyCFunction)(void (*)(void))append_read, METH_FASTCALL | METH_KEYWORDS,
     "append_read($self, row, ts)\n--\n\nReads each key's UTF-8, each value and ts."},
    {"query_noop", (PyCFunction)(void (*)(void))query_noop, METH_FASTCALL | METH_KEYWORDS,
     "query_noop($self, col)\n--\n\nBinds the argument and returns a new float."},
    {"query_read", (PyCFunction)(void (*)(void))query_read, METH_FASTCALL | METH_KEYWORDS,
     "query_read($self, col)\n--\n\nReads the column name's UTF-8 and returns a new float."},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot floor_slots[] = {
    {Py_tp_new, floor_new},
    {Py_tp_dealloc, floor_dealloc},
    {Py_tp_methods, floor_methods},
    {Py_tp_doc, "Calling-convention floor for quillometer's methods."},
    {0, NULL},
};

static PyType_Spec floor_spec = {
    "calibration.Floor", sizeof(FloorObject), 0, Py_TPFLAGS_DEFAULT, floor_slots,
};

/* Callgrind client requests: instrument and count only the loop between start and stop, so
 * the interpreter's start-up and each case's setup run at full speed and stay out of the counts. */
static PyObject* callgrind_start(PyObject* module, PyObject* unused) {
  (void)module, (void)unused;
#ifdef CALLGRIND_START_INSTRUMENTATION
  CALLGRIND_START_INSTRUMENTATION;
  CALLGRIND_ZERO_STATS;
  CALLGRIND_TOGGLE_COLLECT;
#endif
  Py_RETURN_NONE;
}

static PyObject* callgrind_stop(PyObject* module, PyObject* label) {
  (void)module;
  const char* text = PyUnicode_AsUTF8(label);
  if (text == NULL) return NULL;
#ifdef CALLGRIND_START_INSTRUMENTATION
  CALLGRIND_TOGGLE_COLLECT;
  CALLGRIND_DUMP_STATS_AT(text);
  CALLGRIND_STOP_INSTRUMENTATION;
#else
  (void)text;
#endif
  Py_RETURN_NONE;
}

static PyMethodDef module_methods[] = {
    {"callgrind_start", callgrind_start, METH_NOARGS,
     "Starts instrumenting, zeroes the counts and starts collecting."},
    {"callgrind_stop", callgrind_stop, METH_O,
     "Stops collecting, dumps the counts under a label and stops instrumenting."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef calibration_module = {
    PyModuleDef_HEAD_INIT,
    "calibration",
    "Calibration floors for the quillometer benchmark.",
    -1,
    module_methods,
    NULL,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC PyInit_calibration(void) {
  PyObject* module = PyModule_Create(&calibration_module);
  if (module == NULL) return NULL;
  PyObject* type = PyType_FromSpec(&floor_spec);
  if (type == NULL || PyModule_AddObject(module, "Floor", type) < 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return NULL;
  }
#ifdef CALLGRIND_START_INSTRUMENTATION
  if (PyModule_AddIntConstant(module, "has_callgrind", 1) < 0) {
#else
  if (PyModule_AddIntConstant(module, "has_callgrind", 0) < 0) {
#endif
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
