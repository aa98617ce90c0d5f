"""Shared fixtures and helpers for the quillometer Python tests."""

import ctypes
import gc
import os
import subprocess
import sys
import textwrap

import pytest
from model import QUERIES

from quillometer import Quillometer

METHODS = ("append",) + QUERIES


def _sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# The sanitizer run (scripts/sanitize) loads the ASan runtime into this interpreter.
UNDER_ASAN = _sanitizer_loaded() or "libasan" in os.environ.get("LD_PRELOAD", "")


def setattr_error(type_name, name):
    """The running interpreter's message for setting an unknown attribute on an instance without a
    __dict__ (its wording changes between versions)."""
    try:
        object().__setattr__(name, 1)
    except AttributeError as exc:
        return str(exc).replace("'object'", f"'{type_name}'", 1)
    raise AssertionError("object() accepted a new attribute")


def fresh_str(text):
    """A new str object equal to `text` (two characters at least), shared with no code object."""
    assert len(text) >= 2, "one-character strings may be shared interpreter-wide"
    return "".join(list(text))


def fresh_int(value):
    """A new int object (outside the small-int cache when |value| > 256)."""
    return int(str(value))


def fresh_float(value):
    return float(repr(float(value)))


def bits(x):
    """The exact bits of a float as text; NaN compares equal to any NaN."""
    assert type(x) is float, f"expected a float, got {type(x).__name__}"
    return "nan" if x != x else x.hex()


def same_float(got, expected):
    return bits(got) == bits(expected)


def outcome(fn):
    """Runs fn; returns ("ok", result) or ("raised", exception type, str(exception), args)."""
    try:
        result = fn()
    except BaseException as exc:
        return ("raised", type(exc), str(exc), exc.args)
    return ("ok", result)


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def _shared(o):
    if o is None or o is True or o is False or sys.getrefcount(o) >= 10**8:
        return True
    return isinstance(o, type) and not o.__flags__ & (1 << 9)  # not a heap type


def check_call(fn, watched=(), raises=None, message=None, repeat=4):
    """Calls fn `repeat` times and checks the outcome and the reference counts of `watched`.

    With `raises` given, every call must raise exactly that type (and `message`, if given, must
    equal str(exception)); otherwise every call must return. The reference counts of every watched
    object must be the same after the calls as before them. Returns the last outcome.
    """
    # Objects shared by the whole interpreter (None, the bools, and the statically allocated small
    # ints and one-character strings, whose counts start near 10**9) change with unrelated work:
    # their counts say nothing about the call.
    # The same holds for the static built-in types (int, str, object, ...).
    watched = tuple(o for o in watched if not _shared(o))
    # Garbage from earlier tests (classes made inside a test refer to their bases) must not be
    # collected in the middle of the count. Collecting, then freezing what survives, keeps each
    # of these collections down to the objects made since the previous one.
    gc.collect()
    gc.freeze()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        return _check_call(fn, watched, raises, message, repeat)
    finally:
        if was_enabled:
            gc.enable()


def _check_call(fn, watched, raises, message, repeat):
    before = refcounts(watched)
    last = None
    for _ in range(repeat):
        last = outcome(fn)
        if raises is None:
            assert last[0] == "ok", f"unexpected {last[1].__name__}: {last[2]}"
        else:
            assert last[0] == "raised", f"expected {raises.__name__}, call returned {last[1]!r}"
            assert last[1] is raises, (
                f"expected {raises.__name__}, got {last[1].__name__}: {last[2]}"
            )
            if message is not None:
                assert last[2] == message
    if last[0] == "ok":
        last = ("ok", type(last[1]).__name__)  # drop the result (and its type) before counting
    after = refcounts(watched)
    if last[0] == "raised":
        # the arguments of the last exception, kept for the caller, may refer to watched objects
        after = [n - sum(a is o for a in last[3]) for n, o in zip(after, watched, strict=True)]
    assert after == before, f"reference counts changed: {before} -> {after}"
    return last


def capi_error(function, obj, restype):
    """The exception that the named C API function raises for obj, as (type, message).

    Calls the function of the running interpreter itself, so the expectation is the interpreter's
    own message rather than a copy of it. Returns ("ok", value) when the call succeeds.
    """
    f = getattr(ctypes.pythonapi, function)
    f.argtypes = [ctypes.py_object]
    f.restype = restype
    try:
        value = f(obj)
    except BaseException as exc:
        return type(exc), str(exc)
    return "ok", value


def panic_class():
    """The PanicException class, obtained the only way Python can: by catching one."""
    q = Quillometer([], 0, 0.5, 0)
    try:
        q.mean("no such column")
    except BaseException as exc:
        return type(exc)
    raise AssertionError("a query of an unknown column returned")


@pytest.fixture(scope="session")
def PanicException():
    return panic_class()


@pytest.fixture
def q():
    """An object with columns "a" and "b", window_size 3, alpha 0.5, time_window 10."""
    return Quillometer(["a", "b"], 3, 0.5, 10)


def assert_free(q, col=None):
    """The object's hold is free: an append (exclusive) and, given a column, a query (shared)
    both succeed. The empty row changes nothing."""
    assert q.append({}, 0) is None
    if col is not None:
        assert type(q.mean(col)) is float


def stats_of(q, col):
    """All ten statistics of a column, as exact bit texts."""
    return {name: bits(getattr(q, name)(col)) for name in QUERIES}


# --- calling the C entries directly ---------------------------------------------------------------
# Python's own call machinery checks receivers and keyword names before an entry runs; these
# helpers reach the entries the way any C caller could, to exercise the checks behind them.

_FASTCALL = ctypes.PYFUNCTYPE(
    ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_void_p
)
_NEWFUNC = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_void_p)
Py_tp_new = 65


def raw_entry(name):
    """The C function of a method (from the PyMethodDef behind its descriptor: CPython's
    PyMethodDescrObject holds it after the object header, d_type, d_name and d_qualname)."""
    descriptor = vars(Quillometer)[name]
    pointer_size = ctypes.sizeof(ctypes.c_void_p)
    method_def = ctypes.c_void_p.from_address(id(descriptor) + 5 * pointer_size).value
    function = ctypes.c_void_p.from_address(method_def + pointer_size).value
    return _FASTCALL(function)


def call_raw(name, receiver, *args, kwnames=None, null_args=False, **kwargs):
    """Calls a method's entry as METH_FASTCALL | METH_KEYWORDS: positional args, then keyword
    values; kwnames (a tuple, may hold anything) defaults to the keyword names given."""
    values = list(args) + list(kwargs.values())
    if kwnames is None and kwargs:
        kwnames = tuple(kwargs)
    vector = (ctypes.py_object * max(len(values), 1))(*values)
    address = None if null_args else ctypes.addressof(vector)
    names = None if kwnames is None else ctypes.c_void_p(id(kwnames))
    return raw_entry(name)(receiver, address, len(args), names)


def call_new_raw(args, kwargs=None):
    """Calls the class's tp_new slot with a positional tuple and a keyword dict (or NULL)."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    get_slot.restype = ctypes.c_void_p
    new = _NEWFUNC(get_slot(Quillometer, Py_tp_new))
    return new(Quillometer, tuple(args), None if kwargs is None else ctypes.c_void_p(id(kwargs)))


def clean_env(**overrides):
    env = {k: v for k, v in os.environ.items() if k != "QUILLOMETER_BACKTRACE"}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env.pop("PYTHONWARNINGS", None)
    for key, value in overrides.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def run_python(code, timeout=60, **env):
    """Runs a snippet in a fresh interpreter; returns the CompletedProcess (text output).

    Keyword arguments set environment variables for the child (None removes one);
    QUILLOMETER_BACKTRACE is unset unless given.
    """
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=clean_env(**env),
        capture_output=True,
        text=True,
        errors="backslashreplace",
        timeout=timeout,
    )


@pytest.fixture
def python_snippet():
    return run_python


@pytest.fixture
def unraisable(monkeypatch):
    """Records every call of sys.unraisablehook as (exc_type, str(exc_value), object)."""
    seen = []

    def hook(info):
        seen.append((info.exc_type, str(info.exc_value), info.object))

    monkeypatch.setattr(sys, "unraisablehook", hook)
    return seen


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def conversion_call(param, hook):
    """A call whose conversion of `param` runs hook (a Recorder-like object)."""
    return {
        "col_names": lambda: Quillometer(hook, 2, 0.5, 10),
        "window_size": lambda: Quillometer(["a"], hook, 0.5, 10),
        "alpha": lambda: Quillometer(["a"], 2, hook, 10),
        "time_window": lambda: Quillometer(["a"], 2, 0.5, hook),
        "row": lambda: Quillometer(["a"], 2, 0.5, 10).append({"a": hook}, 0),
        "ts": lambda: Quillometer(["a"], 2, 0.5, 10).append({"a": 1.0}, hook),
    }[param]
