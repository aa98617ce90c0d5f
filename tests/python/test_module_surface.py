"""The module object, the class and its methods as Python sees them."""

import ast
import ctypes
import gc
import inspect
import re
import sys
import weakref
from pathlib import Path

import pytest
from conftest import METHODS, QUERIES, Quillometer, run_python, setattr_error

import quillometer

Py_TPFLAGS_IMMUTABLETYPE = 1 << 8
Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_READY = 1 << 12
Py_TPFLAGS_HAVE_GC = 1 << 14
Py_TPFLAGS_HAVE_VERSION_TAG = 1 << 18
Py_TPFLAGS_VALID_VERSION_TAG = 1 << 19
Py_tp_doc = 56
METH_FASTCALL_KEYWORDS = 0x80 | 0x02


# --- the module --------------------------------------------------------------------------------


def test_module_all_lists_the_class_only():
    assert type(quillometer.__all__) is list
    assert quillometer.__all__ == ["Quillometer"]


def test_module_attributes():
    assert quillometer.Quillometer is Quillometer
    assert type(Quillometer) is type
    assert quillometer.__name__ == "quillometer"
    assert quillometer.__doc__ == ""
    own = {name for name in vars(quillometer) if not name.startswith("__")}
    assert own == {"Quillometer"}
    assert not hasattr(quillometer, "PanicException")


def test_star_import_brings_the_class():
    namespace = {}
    exec("from quillometer import *", namespace)
    assert namespace["Quillometer"] is Quillometer
    assert {k for k in namespace if not k.startswith("__")} == {"Quillometer"}


# --- the class ---------------------------------------------------------------------------------


def test_class_names_and_docs():
    assert Quillometer.__name__ == "Quillometer"
    assert Quillometer.__qualname__ == "Quillometer"
    assert Quillometer.__module__ == "builtins"
    assert Quillometer.__doc__ == ""
    assert Quillometer.__text_signature__ == "(col_names, window_size, alpha, time_window)"


def test_class_doc_slot():
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    get_slot.restype = ctypes.c_char_p
    assert (
        get_slot(Quillometer, Py_tp_doc)
        == b"Quillometer(col_names, window_size, alpha, time_window)\n--\n\n"
    )


def test_class_signature_via_inspect():
    sig = inspect.signature(Quillometer)
    assert list(sig.parameters) == ["col_names", "window_size", "alpha", "time_window"]
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty


def test_class_base_and_flags():
    assert Quillometer.__bases__ == (object,)
    assert Quillometer.__mro__ == (Quillometer, object)
    flags = Quillometer.__flags__
    assert flags & Py_TPFLAGS_HEAPTYPE, "the type is made at run time by PyType_FromSpec"
    assert not flags & Py_TPFLAGS_BASETYPE
    assert not flags & Py_TPFLAGS_HAVE_GC
    assert not flags & Py_TPFLAGS_IMMUTABLETYPE
    # Py_TPFLAGS_DEFAULT and nothing else: only what CPython itself adds may be set besides
    set_by_cpython = (
        Py_TPFLAGS_HEAPTYPE
        | Py_TPFLAGS_READY
        | Py_TPFLAGS_HAVE_VERSION_TAG
        | Py_TPFLAGS_VALID_VERSION_TAG
    )
    assert flags & ~set_by_cpython == 0, hex(flags)
    assert Quillometer.__itemsize__ == 0
    assert Quillometer.__dictoffset__ == 0
    assert Quillometer.__weakrefoffset__ == 0


def test_class_dict_holds_the_eleven_methods_in_table_order():
    own = [name for name in vars(Quillometer) if not name.startswith("__")]
    assert own == list(METHODS)
    for name in METHODS:
        descriptor = vars(Quillometer)[name]
        assert type(descriptor).__name__ == "method_descriptor"
        assert descriptor.__name__ == name
        assert descriptor.__qualname__ == f"Quillometer.{name}"
        assert descriptor.__objclass__ is Quillometer
    assert "__new__" in vars(Quillometer)
    assert "__init__" not in vars(Quillometer)
    assert Quillometer.__init__ is object.__init__


def test_every_list_of_the_statistics_follows_the_method_table():
    # The table is made from the one list in C++; the stub, the model, the bit-identity stream,
    # the Ray layer's shard and its front end's query methods write the names out again, in the
    # same order.
    root = Path(__file__).resolve().parents[2]

    def parsed(path):
        return ast.parse((root / path).read_text()).body

    def assigned(path, name):
        return list(
            next(
                ast.literal_eval(n.value)
                for n in parsed(path)
                if isinstance(n, ast.Assign)
                and [t.id for t in n.targets if isinstance(t, ast.Name)] == [name]
            )
        )

    def functions(path, cls):
        body = next(n.body for n in parsed(path) if getattr(n, "name", "") == cls)
        return [n for n in body if isinstance(n, ast.FunctionDef)]

    stub = [n.name for n in functions("src/quillometer-stubs/__init__.pyi", "Quillometer")]
    # The front end's wrappers: `return self.query("<its own name>", column)`.
    wrappers = [
        n.name
        for n in functions("src/quillometer_tools/ray/frontend.py", "ShardedQuillometer")
        if ast.unparse(n.body[-1]) == f"return self.query({n.name!r}, column)"
    ]
    table = [name for name in vars(Quillometer) if not name.startswith("__")]
    assert table[0] == "append"
    assert stub == ["__new__", *table]
    assert list(QUERIES) == table[1:]
    assert assigned("tests/packaging/stream.py", "QUERIES") == table[1:]
    assert assigned("src/quillometer_tools/ray/shard.py", "STATISTICS") == table[1:]
    assert wrappers == table[1:]


@pytest.mark.parametrize(
    "slot",
    ["__repr__", "__str__", "__hash__", "__eq__", "__lt__", "__getattribute__", "__setattr__"],
)
def test_inherited_slots_are_objects(slot):
    assert slot not in vars(Quillometer)
    assert getattr(Quillometer, slot) is getattr(object, slot)


@pytest.mark.parametrize(
    "slot", ["__iter__", "__len__", "__getitem__", "__call__", "__add__", "__get__"]
)
def test_no_protocol_slots_of_its_own(slot):
    assert not hasattr(Quillometer([], 0, 0.0, 0), slot)
    assert slot not in vars(Quillometer)


def test_instance_behaves_like_a_plain_object():
    q = Quillometer(["a"], 1, 0.5, 1)
    assert re.fullmatch(r"<(builtins\.)?Quillometer object at 0x[0-9a-f]+>", repr(q))
    assert hash(q) == object.__hash__(q)
    assert q == q and q != Quillometer(["a"], 1, 0.5, 1)
    assert not gc.is_tracked(q)
    with pytest.raises(TypeError):
        len(q)


@pytest.mark.parametrize("name", METHODS)
def test_method_docs_and_text_signatures(name):
    method = getattr(Quillometer, name)
    assert method.__doc__ is None
    expected = "($self, row, ts)" if name == "append" else "($self, col)"
    assert method.__text_signature__ == expected
    params = list(inspect.signature(method).parameters.values())
    assert [p.name for p in params] == (
        ["self", "row", "ts"] if name == "append" else ["self", "col"]
    )
    assert params[0].kind is inspect.Parameter.POSITIONAL_ONLY  # "$self"
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params[1:])
    bound = list(inspect.signature(getattr(Quillometer([], 0, 0.0, 0), name)).parameters)
    assert bound == (["row", "ts"] if name == "append" else ["col"])


class _PyMethodDef(ctypes.Structure):
    _fields_ = [
        ("ml_name", ctypes.c_char_p),
        ("ml_meth", ctypes.c_void_p),
        ("ml_flags", ctypes.c_int),
        ("ml_doc", ctypes.c_char_p),
    ]


def method_def(name):
    """The PyMethodDef behind a method descriptor (PyMethodDescrObject, laid out alike from 3.11
    to 3.15: the object header, d_type, d_name, d_qualname, then d_method)."""
    descriptor = vars(Quillometer)[name]
    pointer = ctypes.c_void_p.from_address(id(descriptor) + 5 * ctypes.sizeof(ctypes.c_void_p))
    return _PyMethodDef.from_address(pointer.value)


@pytest.mark.parametrize("name", METHODS)
def test_method_table_entries(name):
    entry = method_def(name)
    assert entry.ml_name == name.encode()
    assert entry.ml_flags == METH_FASTCALL_KEYWORDS
    params = "row, ts" if name == "append" else "col"
    assert entry.ml_doc == f"{name}($self, {params})\n--\n\n".encode()


# --- what the class refuses --------------------------------------------------------------------


def test_class_cannot_be_subclassed():
    with pytest.raises(
        TypeError, match=r"^type '(builtins\.)?Quillometer' is not an acceptable base type$"
    ):

        class Sub(Quillometer):
            pass

    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (Quillometer,), {})


def test_instances_have_no_dict():
    q = Quillometer(["a"], 1, 0.5, 1)
    with pytest.raises(AttributeError) as caught:
        q.extra = 1
    assert str(caught.value) in {
        setattr_error(name, "extra") for name in ("Quillometer", "builtins.Quillometer")
    }
    with pytest.raises(AttributeError):
        _ = q.__dict__
    with pytest.raises(AttributeError, match="read-only"):
        q.mean = None
    assert not hasattr(q, "extra")
    assert q.mean("a") == 0.0


def test_instances_refuse_weak_references():
    q = Quillometer(["a"], 1, 0.5, 1)
    with pytest.raises(
        TypeError, match=r"^cannot create weak reference to '(builtins\.)?Quillometer' object$"
    ):
        weakref.ref(q)
    with pytest.raises(TypeError):
        weakref.proxy(q)


# --- calling conventions -----------------------------------------------------------------------


def test_every_parameter_can_be_given_by_keyword():
    q = Quillometer(time_window=10, alpha=0.5, window_size=3, col_names=["a"])
    assert q.append(ts=5, row={"a": 2.0}) is None
    assert q.append(row={"a": 4.0}, ts=6) is None
    assert q.append({"a": 6.0}, ts=7) is None
    for name in QUERIES:
        assert getattr(q, name)(col="a") == getattr(q, name)("a")
    assert q.mean(col="a") == 4.0
    assert q.rate(col="a") == 0.3


def test_constructor_through_dunder_new_and_unbound_methods():
    q = Quillometer.__new__(Quillometer, ["a"], 2, 0.5, 10)
    assert type(q) is Quillometer
    Quillometer.append(q, {"a": 3.0}, 1)
    assert Quillometer.last(q, "a") == 3.0
    assert Quillometer.mean(q, col="a") == 3.0
    assert Quillometer.__new__(Quillometer, col_names=[], window_size=0, alpha=0.0, time_window=0)


def test_instances_are_independent():
    q1 = Quillometer(["a"], 2, 0.5, 10)
    q2 = Quillometer(["a"], 2, 0.5, 10)
    q1.append({"a": 1.0}, 0)
    assert q1.last("a") == 1.0
    assert q2.last("a") == 0.0


# --- initialisation in fresh interpreters ------------------------------------------------------


def test_repeated_initialisation_gives_the_same_module():
    code = """
        import importlib, importlib.util, sys, _imp
        import quillometer
        first, cls = quillometer, quillometer.Quillometer
        del sys.modules["quillometer"]
        import quillometer as again
        print(again is first, again.Quillometer is cls)
        spec = importlib.util.find_spec("quillometer")
        print(importlib.util.module_from_spec(spec) is first)
        print(_imp.create_dynamic(spec) is first)
        print(importlib.reload(first) is first, first.Quillometer is cls)
        print(first.__all__)
        q = cls(["a"], 1, 0.5, 1)
        q.append({"a": 2.5}, 0)
        print(q.mean("a"))
    """
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n") == [
        "True True",
        "True",
        "True",
        "True True",
        "['Quillometer']",
        "2.5",
        "",
    ]


SUB_INTERPRETER_IMPORT = (
    "import sys\n"
    "try:\n"
    "    import quillometer\n"
    "except ImportError as exc:\n"
    "    print('sub: ImportError', type(exc) is ImportError, '|', exc)\n"
    "else:\n"
    "    print('sub: imported', quillometer.__all__)\n"
    "print('sub: in sys.modules', 'quillometer' in sys.modules)\n"
)
OWN_REFUSAL = (
    "quillometer does not support sub-interpreters: it can only be imported into the "
    "interpreter that imported it first"
)


@pytest.mark.parametrize("order", ["main-first", "sub-first"])
def test_only_one_interpreter_may_use_the_module(order):
    # From 3.12 only the main interpreter may own the module, whichever imports first; on 3.11
    # the first interpreter to import it owns it.
    code = f"""
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        def in_sub():
            interp = interpreters.create()
            interpreters.run_string(interp, {SUB_INTERPRETER_IMPORT!r})
            interpreters.destroy(interp)
        def in_main():
            try:
                import quillometer
            except ImportError as exc:
                print("main: ImportError", type(exc) is ImportError, "|", exc)
            else:
                q = quillometer.Quillometer(["a"], 1, 0.5, 1)
                q.append({{"a": 7.0}}, 0)
                print("main:", q.last("a"))
        {"in_main(); in_sub()" if order == "main-first" else "in_sub(); in_main()"}
    """
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    lines = sorted(proc.stdout.splitlines())
    if sys.version_info < (3, 12) and order == "sub-first":
        assert lines == [
            f"main: ImportError True | {OWN_REFUSAL}",
            "sub: imported ['Quillometer']",
            "sub: in sys.modules True",
        ], proc.stdout
        return
    assert (
        len(lines) == 3 and lines[0] == "main: 7.0" and lines[2] == "sub: in sys.modules False"
    ), proc.stdout
    refusal = lines[1].removeprefix("sub: ImportError True | ")
    # CPython itself may refuse a single-phase module in an isolated interpreter before its init runs.
    assert refusal == OWN_REFUSAL or (
        sys.version_info >= (3, 12) and "does not support loading in subinterpreters" in refusal
    ), lines[1]
