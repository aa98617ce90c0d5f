"""Total reference counts on a debug interpreter: after any call, successful or failing, the
interpreter holds as many references in all as before it, whatever objects the call touched.

sys.getrefcount (test_refcounts) sees only the objects a test watches; the total also counts
references to objects the call makes itself (converted indexes, messages, exceptions, causes) and
to shared ones (None, the built-in types and exception classes). Only a debug build of CPython
keeps the total (scripts/debug-refcounts runs the suite under one); elsewhere this module skips.
"""

import sys

import pytest

if not hasattr(sys, "gettotalrefcount"):
    pytest.skip("the total reference count needs a debug interpreter", allow_module_level=True)

import gc
import itertools

from conftest import (
    QUERIES,
    Quillometer,
    call_new_raw,
    call_raw,
    fresh_float,
    fresh_int,
    fresh_str,
    panic_class,
)
from hostile import LyingStr
from test_conversion import (
    LyingDict,
    row_adding,
    row_adding_at_the_last_entry,
    row_deleting_another,
    row_deleting_itself,
    row_swapping_a_visited_key,
)
from test_refcounts import RaiseFrom, append_cases, ctor_cases, query_cases

PanicException = panic_class()

# Calls per measurement: a call that keeps one reference too many (or too few) moves the total by
# N over the first measurement and by 2 * N over the second.
WARM_UP = 20
N = 200


@pytest.fixture(autouse=True)
def discard_unraisable(monkeypatch):
    """An unprintable error is reported through sys.unraisablehook, which pytest's own hook
    turns into a kept warning; the reports are checked elsewhere, and dropped here."""
    monkeypatch.setattr(sys, "unraisablehook", lambda info: None)


def growth(call, n):
    """How much the total moves over n calls, cycles collected, after a warm-up that fills the
    interpreter's caches. The measurement itself adds the same small constant every time."""
    repeat, total = itertools.repeat, sys.gettotalrefcount
    for _ in repeat(None, WARM_UP):
        call()
    # Survivors are set aside, so that the collections below look only at new objects.
    gc.collect()
    gc.freeze()
    before = total()
    for _ in repeat(None, n):
        call()
    gc.collect()
    return total() - before


def expecting(call, raises):
    """call, checked on every run: it returns, or raises exactly `raises`."""
    if raises is None:
        return call

    def run():
        try:
            call()
        except BaseException as exc:
            if type(exc) is not raises:
                raise
        else:
            raise AssertionError(f"returned; expected {raises.__name__}")

    return run


def assert_flat(call, raises):
    """The total moves over N and over 2 * N calls exactly as over N calls of a no-op. A stray
    difference (an interpreter cache replacing an entry) is measured again; a leak grows with the
    number of calls and fails every attempt."""
    run = expecting(call, raises)
    seen = []
    for _ in range(3):
        baseline = growth(lambda: None, N)
        once, twice = growth(run, N), growth(run, 2 * N)
        seen.append((once - baseline, twice - baseline))
        if seen[-1] == (0, 0):
            return
    pytest.fail(f"the total moved by (after {N} calls, after {2 * N} calls): {seen}")


def raising(exc_type, *args, cause=None):
    """A function that raises a fresh exc_type(*args), from a fresh cause() if given."""

    def fail():
        if cause is not None:
            raise exc_type(*args) from cause()
        raise exc_type(*args)

    return fail


class Items:
    """A sequence of names whose item access runs `fail` at index 1."""

    def __init__(self, fail):
        self.fail = fail

    def __getitem__(self, i):
        if i == 1:
            self.fail()
        if i == 0:
            return "a"
        raise IndexError(i)


class Unprintable:
    def __str__(self):
        raise ValueError("str() refused")


# --- constructor, destruction ------------------------------------------------------------------


def constructor_calls():
    for case_id, positional, keywords, raises in ctor_cases():
        yield case_id, lambda p=positional, k=keywords: Quillometer(*p, **k), raises
    with_cause = raising(TypeError, "t", cause=lambda: KeyError("k"))
    yield "type-error-with-cause", lambda: Quillometer(Items(with_cause), 2, 0.5, 1), TypeError
    unprintable = RaiseFrom(lambda: TypeError(Unprintable()))
    yield "type-error-unprintable", lambda: Quillometer(["a"], unprintable, 0.5, 1), TypeError
    yield "item-raises", lambda: Quillometer(Items(raising(ValueError, "v")), 2, 0.5, 1), ValueError
    panicking = RaiseFrom(lambda: PanicException("resumed"))
    yield "window-index-raises-panic", lambda: Quillometer(["a"], panicking, 0.5, 1), PanicException
    yield "c-caller-no-keywords", lambda: call_new_raw((["a"], 2, 0.5, 10)), None
    yield "c-caller-int-keyword", lambda: call_new_raw((["a"],), {fresh_int(12345): 1}), TypeError
    yield "c-caller-bytes-keyword", lambda: call_new_raw((["a"],), {b"alpha": 1}), TypeError

    def filled():
        q = Quillometer([f"c{i}" for i in range(20)], 4, 0.5, 10)
        for ts in range(10):
            q.append({f"c{i}": float(ts * i) for i in range(20)}, ts)
        q.mean("c3")

    yield "destroyed-with-data", filled, None


CONSTRUCTOR = list(constructor_calls())


@pytest.mark.parametrize(
    "call, raises", [c[1:] for c in CONSTRUCTOR], ids=[c[0] for c in CONSTRUCTOR]
)
def test_constructor_and_destruction(call, raises):
    assert_flat(call, raises)


# --- append ------------------------------------------------------------------------------------


def new_q():
    return Quillometer(["col1", "col2"] + [f"c{i}" for i in range(100)], 4, 0.5, 100)


def append_calls(q):
    for case_id, positional, keywords, raises in append_cases(q):
        yield case_id, lambda p=positional, k=keywords: q.append(*p, **k), raises
    many = {fresh_str(f"c{i}"): fresh_float(i) for i in range(100)}  # beyond the inline buffer
    yield "ok-many-columns", lambda: q.append(many, 5), None
    repeated = {LyingStr(f"c{i % 40}"): fresh_float(i) for i in range(80)}
    yield "ok-repeated-names", lambda: q.append(repeated, 6), None
    lying = LyingDict({"col1": 1.5, "col2": 2.5})
    yield "ok-dict-subclass", lambda: q.append(lying, 7), None
    with_cause = RaiseFrom(raising(TypeError, "t", cause=lambda: KeyError("k")))
    yield "value-type-error-with-cause", lambda: q.append({"col1": with_cause}, 0), TypeError
    unprintable = RaiseFrom(lambda: TypeError(Unprintable()))
    yield "value-type-error-unprintable", lambda: q.append({"col1": unprintable}, 0), TypeError
    yield "ts-index-raises", lambda: q.append({}, RaiseFrom(lambda: ValueError("v"))), ValueError
    yield "row-not-a-dict", lambda: q.append([("col1", 1.0)], 0), TypeError
    later_error = {"col1": fresh_int(300), "zz": 1.0, "col2": LyingStr("x")}
    yield "conversion-error-after-unknown-column", lambda: q.append(later_error, 0), TypeError
    for make in (
        row_deleting_another,
        row_deleting_itself,
        row_adding,
        row_adding_at_the_last_entry,
        row_swapping_a_visited_key,
    ):
        # a fresh row each time: the first call leaves the row changed
        yield make.__name__.replace("_", "-"), lambda make=make: q.append(make(), 1), PanicException
    yield "c-caller-no-arguments", lambda: call_raw("append", q, null_args=True), TypeError
    repeated_ts = ("ts", "row", "ts")
    yield (
        "c-caller-repeated-keyword",
        lambda: call_raw("append", q, kwnames=repeated_ts, v0=1, v1={}, v2=2),
        TypeError,
    )


APPEND_IDS = [c[0] for c in append_calls(new_q())]


@pytest.mark.parametrize("case", APPEND_IDS)
def test_append(case):
    q = new_q()
    _, call, raises = {c[0]: c for c in append_calls(q)}[case]
    assert_flat(call, raises)


# --- queries and the receiver check ------------------------------------------------------------

QUERY = list(query_cases())


@pytest.mark.parametrize("name", QUERIES)
@pytest.mark.parametrize(
    "positional, keywords, raises", [c[1:] for c in QUERY], ids=[c[0] for c in QUERY]
)
def test_query(name, positional, keywords, raises):
    q = new_q()
    q.append({"col1": 1.0, "col2": 2.0}, 0)
    q.append({"col1": 3.0}, 1)
    method = getattr(q, name)
    assert_flat(lambda: method(*positional, **keywords), raises)


@pytest.mark.parametrize("name", QUERIES)
def test_query_from_a_c_caller(name):
    q = new_q()
    q.append({"col1": 1.0}, 0)
    assert_flat(lambda: call_raw(name, q, col=fresh_str("col1")), None)
    assert_flat(lambda: call_raw(name, q, kwnames=(fresh_int(5000),), v0="col1"), TypeError)


@pytest.mark.parametrize(
    "receiver",
    [fresh_int(5000), object(), LyingStr("qq"), fresh_str("qq")],
    ids=["int", "object", "heap-type", "str"],
)
@pytest.mark.parametrize("name", ("append", "mean", "ewma"))
def test_receiver_refused(name, receiver):
    args = (
        ({fresh_str("ab"): fresh_float(1.5)}, fresh_int(7000))
        if name == "append"
        else (fresh_str("ab"),)
    )
    assert_flat(lambda: call_raw(name, receiver, *args), TypeError)
