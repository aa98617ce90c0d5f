"""Reference counts: no call, successful or failing, keeps or drops a reference it should not."""

import gc
import sys

import pytest
from conftest import (
    QUERIES,
    Float,
    Index,
    Quillometer,
    assert_free,
    check_call,
    fresh_float,
    fresh_int,
    fresh_str,
    panic_class,
)
from hostile import LyingStr

PanicException = panic_class()


class Names:
    """A sequence with a length hint far beyond what could be reserved."""

    def __init__(self, names):
        self.names = names

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        return self.names[i]


class NoLen:
    def __init__(self, names):
        self.names = names

    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, i):
        return self.names[i]


class BrokenIter:
    def __getitem__(self, i):
        raise ValueError("broken")


class RaiseFrom:
    """Raises a fresh exception of the given kind from every conversion hook."""

    def __init__(self, make):
        self.make = make

    def __index__(self):
        raise self.make()

    __float__ = __index__


def names():
    return [fresh_str("col1"), fresh_str("col2")]


def args():
    return names(), fresh_int(1000), fresh_float(0.375), fresh_int(50_000)


def flat(*objects):
    """The objects and, for lists, tuples and dicts, their items (keys and values)."""
    out = []
    for o in objects:
        out.append(o)
        if isinstance(o, (list, tuple)):
            out.extend(o)
        elif isinstance(o, dict):
            out.extend(o.keys())
            out.extend(o.values())
    return out


# --- constructor -------------------------------------------------------------------------------


def ctor_cases():
    n, ws, a, tw = args()
    yield "ok-positional", (n, ws, a, tw), {}, None
    yield "ok-keywords", (), dict(col_names=n, window_size=ws, alpha=a, time_window=tw), None
    yield "ok-tuple", (tuple(n), ws, a, tw), {}, None
    yield "ok-str-subclass-names", ([LyingStr("ab"), LyingStr("cd")], ws, a, tw), {}, None
    yield "ok-huge-length-hint", (Names(n), ws, a, tw), {}, None
    yield "ok-failing-length", (NoLen(n), ws, a, tw), {}, None
    yield (
        "ok-protocols",
        (n, Index(fresh_int(300)), Float(fresh_float(0.125)), Index(fresh_int(-400))),
        {},
        None,
    )
    yield "ok-no-names-huge-window", ([], fresh_int(2**63), a, tw), {}, None
    yield "missing", (n, ws), {}, TypeError
    yield "too-many", (n, ws, a, tw, fresh_int(5000)), {}, TypeError
    yield "multiple", (n, ws, a, tw), {"alpha": fresh_float(0.5)}, TypeError
    yield "unexpected", (n, ws, a, tw), {"bogus": fresh_float(0.5)}, TypeError
    yield "names-str", (fresh_str("ab"), ws, a, tw), {}, TypeError
    yield "names-set", ({fresh_str("ab")}, ws, a, tw), {}, TypeError
    yield "names-int-item", ([fresh_str("ab"), fresh_int(1234)], ws, a, tw), {}, TypeError
    yield (
        "names-surrogate-item",
        ([fresh_str("ab"), fresh_str("c\udc80")], ws, a, tw),
        {},
        UnicodeEncodeError,
    )
    yield "names-iteration-error", (BrokenIter(), ws, a, tw), {}, ValueError
    yield "window-float", (n, fresh_float(3.0), a, tw), {}, TypeError
    yield "window-negative", (n, fresh_int(-1000), a, tw), {}, OverflowError
    yield "window-huge", (n, fresh_int(2**70), a, tw), {}, OverflowError
    yield "window-index-raises", (n, RaiseFrom(lambda: TypeError("no")), a, tw), {}, TypeError
    yield "alpha-str", (n, ws, fresh_str("0.5"), tw), {}, TypeError
    yield "alpha-huge", (n, ws, fresh_int(10**400), tw), {}, OverflowError
    yield "alpha-float-raises", (n, ws, RaiseFrom(lambda: ValueError("no")), tw), {}, ValueError
    yield "time-window-float", (n, ws, a, fresh_float(1.5)), {}, TypeError
    yield "time-window-huge", (n, ws, a, fresh_int(2**63)), {}, OverflowError
    yield "capacity-overflow", (n, fresh_int(2**60), a, tw), {}, PanicException
    yield "memory-error", (n, fresh_int(2**59), a, tw), {}, MemoryError
    yield "memory-error-larger", (n, fresh_int(2**60 - 1), a, tw), {}, MemoryError
    yield (
        "resumed-panic",
        (n, ws, RaiseFrom(lambda: PanicException("resumed")), tw),
        {},
        PanicException,
    )


CTOR = list(ctor_cases())


@pytest.mark.parametrize(
    "positional, keywords, raises", [c[1:] for c in CTOR], ids=[c[0] for c in CTOR]
)
def test_constructor(positional, keywords, raises):
    watched = flat(*positional, *keywords.values(), Quillometer)
    check_call(
        lambda: Quillometer(*positional, **keywords), watched=watched, raises=raises, repeat=8
    )


# --- append ------------------------------------------------------------------------------------


@pytest.fixture
def q():
    return Quillometer(["col1", "col2"], 4, 0.5, 100)


class Hold:
    """A value whose conversion calls back into the held object."""

    def __init__(self, q, inner):
        self.q, self.inner = q, inner

    def __float__(self):
        self.inner(self.q)
        return 1.0


def append_cases(q):
    k1, k2 = fresh_str("col1"), fresh_str("col2")
    yield "ok", ({k1: fresh_float(1.5), k2: fresh_float(2.5)}, fresh_int(1000)), {}, None
    yield "ok-keywords", (), {"ts": fresh_int(1001), "row": {k1: fresh_float(1.5)}}, None
    yield "ok-empty", ({}, fresh_int(1002)), {}, None
    yield (
        "ok-protocols",
        ({k1: Float(fresh_float(3.5)), k2: fresh_int(12345)}, Index(fresh_int(1003))),
        {},
        None,
    )
    yield "ok-str-subclass-key", ({LyingStr("col1"): fresh_float(4.5)}, fresh_int(1004)), {}, None
    yield "missing", ({k1: fresh_float(1.5)},), {}, TypeError
    yield "too-many", ({k1: fresh_float(1.5)}, fresh_int(1000), fresh_int(1001)), {}, TypeError
    yield "unexpected", (), {"rows": {k1: fresh_float(1.5)}, "ts": fresh_int(1000)}, TypeError
    yield "row-list", ([k1, fresh_float(1.5)], fresh_int(1000)), {}, TypeError
    yield (
        "key-int",
        ({k1: fresh_float(1.5), fresh_int(4321): fresh_float(2.5)}, fresh_int(1000)),
        {},
        TypeError,
    )
    yield (
        "key-surrogate",
        ({fresh_str("c\udc80"): fresh_float(2.5)}, fresh_int(1000)),
        {},
        UnicodeEncodeError,
    )
    yield (
        "value-str",
        ({k1: fresh_float(1.5), k2: fresh_str("2.5")}, fresh_int(1000)),
        {},
        TypeError,
    )
    yield "value-huge", ({k1: fresh_int(10**400)}, fresh_int(1000)), {}, OverflowError
    yield "value-raises", ({k1: RaiseFrom(lambda: KeyError("k"))}, fresh_int(1000)), {}, KeyError
    yield "ts-float", ({k1: fresh_float(1.5)}, fresh_float(1.5)), {}, TypeError
    yield "ts-huge", ({k1: fresh_float(1.5)}, fresh_int(2**64)), {}, OverflowError
    yield (
        "ts-index-raises-type-error",
        ({k1: fresh_float(1.5)}, RaiseFrom(lambda: TypeError("t"))),
        {},
        TypeError,
    )
    unknown = {k1: fresh_float(1.5), fresh_str("zz"): fresh_float(2.5)}
    yield "unknown-column", (unknown, fresh_int(1000)), {}, PanicException
    yield (
        "resumed-panic",
        ({k1: fresh_float(1.5)}, RaiseFrom(lambda: PanicException("resumed"))),
        {},
        PanicException,
    )
    yield (
        "shared-hold-refused",
        ({k1: Hold(q, lambda q: q.mean("col1"))}, fresh_int(1000)),
        {},
        RuntimeError,
    )
    yield (
        "exclusive-hold-refused",
        ({k1: Hold(q, lambda q: q.append({}, 0))}, fresh_int(1000)),
        {},
        RuntimeError,
    )


APPEND_IDS = [c[0] for c in append_cases(Quillometer([], 0, 0.0, 0))]


@pytest.mark.parametrize("case", APPEND_IDS)
def test_append(q, case):
    _, positional, keywords, raises = {c[0]: c for c in append_cases(q)}[case]
    watched = flat(q, *positional, *keywords.values())
    check_call(lambda: q.append(*positional, **keywords), watched=watched, raises=raises, repeat=8)
    assert_free(q, "col1")


def test_append_dict_changed_during_conversion(q):
    row = {fresh_str("col1"): fresh_float(1.5)}
    key = fresh_str("zz")

    class Grow:
        def __float__(self):
            row[key] = 1.0
            return 1.0

    row[fresh_str("col2")] = Grow()
    watched = flat(q, row)
    check_call(lambda: q.append(row, 0), watched=watched, raises=PanicException, repeat=1)
    assert_free(q, "col1")


# --- queries -----------------------------------------------------------------------------------


def query_cases():
    yield "ok", (fresh_str("col1"),), {}, None
    yield "ok-keyword", (), {"col": fresh_str("col2")}, None
    yield "ok-str-subclass", (LyingStr("col1"),), {}, None
    yield "missing", (), {}, TypeError
    yield "too-many", (fresh_str("col1"), fresh_str("col2")), {}, TypeError
    yield "multiple", (fresh_str("col1"),), {"col": fresh_str("col2")}, TypeError
    yield "unexpected", (), {"column": fresh_str("col1")}, TypeError
    yield "col-int", (fresh_int(5000),), {}, TypeError
    yield "col-bytes", (b"col1",), {}, TypeError
    yield "col-surrogate", (fresh_str("c\udc80"),), {}, UnicodeEncodeError
    yield "unknown-column", (fresh_str("zz"),), {}, PanicException


QUERY = list(query_cases())


@pytest.mark.parametrize("name", QUERIES)
@pytest.mark.parametrize(
    "positional, keywords, raises", [c[1:] for c in QUERY], ids=[c[0] for c in QUERY]
)
def test_query(q, name, positional, keywords, raises):
    q.append({"col1": 1.0, "col2": 2.0}, 0)
    q.append({"col1": 3.0}, 1)
    method = getattr(q, name)
    watched = flat(q, *positional, *keywords.values())
    check_call(lambda: method(*positional, **keywords), watched=watched, raises=raises, repeat=8)
    assert_free(q, "col1")


# --- the class and other shared objects --------------------------------------------------------


def test_type_reference_is_released_by_the_destructor():
    gc.collect()
    before = sys.getrefcount(Quillometer)
    alive = [Quillometer(["a"], 2, 0.5, 10) for _ in range(100)]
    assert sys.getrefcount(Quillometer) == before + 100  # each instance holds its type
    del alive
    assert sys.getrefcount(Quillometer) == before
    for _ in range(1000):
        Quillometer(["a"], 2, 0.5, 10).append({"a": 1.0}, 0)
        try:
            Quillometer(["a"], 2**60, 0.5, 10)
        except BaseException:
            pass
    assert sys.getrefcount(Quillometer) == before


def test_panic_class_reference_is_stable():
    q = Quillometer(["a"], 2, 0.5, 10)
    before = sys.getrefcount(PanicException)
    for _ in range(200):
        try:
            q.mean("zz")
        except BaseException:
            pass
    assert sys.getrefcount(PanicException) == before


def test_append_result_reference():
    q = Quillometer(["a"], 2, 0.5, 10)
    row = {"a": 1.0}
    for _ in range(10):
        q.append(row, 0)
    before = sys.getrefcount(None)
    for _ in range(5000):
        q.append(row, 0)
    after = sys.getrefcount(None)
    assert after == before


def allocated_growth(call, n=3000):
    for _ in range(50):
        call()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(n):
        call()
    gc.collect()
    return sys.getallocatedblocks() - before


def swallow(fn):
    def run():
        try:
            fn()
        except BaseException:
            pass

    return run


@pytest.mark.parametrize(
    "label",
    [
        "query",
        "append",
        "construct",
        "binding-error",
        "conversion-error",
        "prefixed-error",
        "panic",
        "memory-error",
    ],
)
@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="the allocator does not count blocks")
def test_no_objects_pile_up(label):
    q = Quillometer(["a", "b"], 8, 0.5, 100)
    q.append({"a": 1.0, "b": 2.0}, 0)
    calls = {
        "query": lambda: q.rolling_std("a"),
        "append": lambda: q.append({"a": 3.0, "b": 1.0}, 1),
        "construct": lambda: Quillometer(["a", "b"], 8, 0.5, 100),
        "binding-error": swallow(lambda: q.mean(col="a", extra=1)),
        "conversion-error": swallow(lambda: q.append({"a": "x"}, 0)),
        "prefixed-error": swallow(
            lambda: Quillometer(["a"], RaiseFrom(lambda: TypeError("t")), 0.5, 1)
        ),
        "panic": swallow(lambda: q.mean("zz")),
        "memory-error": swallow(lambda: Quillometer(["a"], 2**59, 0.5, 1)),
    }
    growth = allocated_growth(calls[label])
    assert growth < 100, f"{growth} blocks more after 3000 calls"
