// The module reads CPython 3.11's object layouts directly (compact ASCII strings, the small-int
// cache, the cached string hash); they differ in other minor versions, so no other is built.
#include <Python.h>

#if PY_MAJOR_VERSION != 3 || PY_MINOR_VERSION != 11
#error \
    "quillometer builds only against CPython 3.11 headers: it reads 3.11's object layouts \
(compact ASCII strings, small ints, the cached hash), which other versions lay out differently"
#endif
