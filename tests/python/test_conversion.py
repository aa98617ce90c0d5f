"""Converting bound arguments to engine values: every rule and every message."""

import collections
import ctypes
import decimal
import fractions
import math
import types

import pytest
from conftest import (
    QUERIES,
    Float,
    Index,
    Quillometer,
    assert_free,
    bits,
    capi_error,
    check_call,
    conversion_call,
    fresh_float,
    fresh_str,
    outcome,
    refcounts,
    stats_of,
)
from hostile import LyingStr

c_ll, c_ull, c_double = ctypes.c_longlong, ctypes.c_ulonglong, ctypes.c_double


def int64_error(obj):
    return capi_error("PyLong_AsLongLong", obj, c_ll)


def size_error(obj):
    """What window_size conversion meets: the index protocol for a non-int, then the unsigned
    64-bit conversion."""
    if not isinstance(obj, int):
        got = capi_error("PyNumber_Index", obj, ctypes.py_object)
        if got[0] != "ok":
            return got
        obj = got[1]
    return capi_error("PyLong_AsUnsignedLongLong", obj, c_ull)


def float_error(obj):
    return capi_error("PyFloat_AsDouble", obj, c_double)


def utf8_error(obj):
    return capi_error("PyUnicode_AsUTF8", obj, ctypes.c_char_p)


class Outer:
    class Inner:
        pass


class IntSub(int):
    def __index__(self):
        return 99


class FloatSub(float):
    def __float__(self):
        return 99.0


# --- observing converted values ----------------------------------------------------------------

POWERS = [float(2**i) for i in range(8)]


def window_mean(window_size):
    """rolling_mean after the values 1, 2, 4, ..., 128 with the given window_size object."""
    q = Quillometer(["a"], window_size, 0.5, 100)
    for i, x in enumerate(POWERS):
        q.append({"a": x}, i)
    return q.rolling_mean("a")


def expected_window_mean(n):
    kept = POWERS[-n:] if n else []
    return sum(kept) / len(kept) if kept else 0.0


def ewma_alpha(alpha):
    """ewma after the values 0.0 then 1.0: 1.0 * alpha + (1 - alpha) * 0.0, which is alpha."""
    q = Quillometer(["a"], 1, alpha, 1)
    q.append({"a": 0.0}, 0)
    q.append({"a": 1.0}, 0)
    return q.ewma("a")


def ts_is(ts_obj, expected):
    """True when the converted timestamp equals `expected`: with time_window 0, an entry at the
    converted ts survives a later append at `expected` and is evicted by one at `expected + 1`."""
    kept = Quillometer(["a"], 1, 0.5, 0)
    kept.append({"a": 1.0}, ts_obj)
    if expected <= 2**63 - 1:
        kept.append({"a": 2.0}, expected)
    evicted = Quillometer(["a"], 1, 0.5, 0)
    evicted.append({"a": 1.0}, ts_obj)
    if expected + 1 <= 2**63 - 1:
        evicted.append({"a": 2.0}, expected + 1)
        return kept.time_mean("a") == 1.5 and evicted.time_mean("a") == 2.0
    return kept.time_mean("a") == 1.5


def time_window_is(tw_obj, expected):
    """True when the converted time_window equals `expected` (>= 0): entries at 0 and `expected`
    share the window, entries at 0 and `expected + 1` do not."""
    kept = Quillometer(["a"], 1, 0.5, tw_obj)
    kept.append({"a": 1.0}, 0)
    kept.append({"a": 2.0}, expected)
    evicted = Quillometer(["a"], 1, 0.5, tw_obj)
    evicted.append({"a": 1.0}, 0)
    evicted.append({"a": 2.0}, expected + 1)
    return kept.time_mean("a") == 1.5 and evicted.time_mean("a") == 2.0


def test_observers_tell_values_apart():
    # The observers above must separate neighbouring values, or the tests below prove nothing.
    assert len({expected_window_mean(n) for n in range(9)}) == 9
    assert [window_mean(n) for n in range(9)] == [expected_window_mean(n) for n in range(9)]
    assert ewma_alpha(0.25) == 0.25 and ewma_alpha(0.75) == 0.75
    assert ts_is(5, 5) and not ts_is(5, 4) and not ts_is(5, 6)
    assert time_window_is(5, 5) and not time_window_is(5, 4) and not time_window_is(5, 6)


# --- col: text -----------------------------------------------------------------------------------


BAD_TEXT = [
    (b"a", "bytes"),
    (bytearray(b"a"), "bytearray"),
    (5, "int"),
    (True, "bool"),
    (1.5, "float"),
    (None, "NoneType"),
    (["a"], "list"),
    (("a",), "tuple"),
    (Outer.Inner(), "Outer.Inner"),
    (Index(1), "Index"),
]


@pytest.mark.parametrize("frame_columns", [["a"], []], ids=["columns", "no-columns"])
@pytest.mark.parametrize("name", QUERIES)
@pytest.mark.parametrize("col, type_name", BAD_TEXT, ids=[t for _, t in BAD_TEXT])
def test_col_not_a_str(frame_columns, name, col, type_name):
    q = Quillometer(frame_columns, 2, 0.5, 10)
    check_call(
        lambda: getattr(q, name)(col),
        watched=(q, col, type(col)),
        raises=TypeError,
        message=f"argument 'col': '{type_name}' object cannot be converted to 'PyString'",
    )
    check_call(lambda: getattr(q, name)(col=col), watched=(q, col), raises=TypeError)
    assert_free(q, "a" if frame_columns else None)


@pytest.mark.parametrize("name", QUERIES)
@pytest.mark.parametrize("col", ["\udc80", "a\ud800", "\udfff\ud800"])
def test_col_with_lone_surrogates(q, name, col):
    expected = utf8_error(col)
    assert expected[0] is UnicodeEncodeError
    got = check_call(
        lambda: getattr(q, name)(col),
        watched=(q, col),
        raises=UnicodeEncodeError,
        message=expected[1],
    )
    assert got[3][0] == "utf-8"  # the error the interpreter raised, not a re-wrapped one
    assert_free(q, "a")


def test_col_str_subclass_is_read_through_its_characters(q):
    q.append({"a": 2.5}, 0)
    for name in QUERIES:
        assert bits(getattr(q, name)(LyingStr("a"))) == bits(getattr(q, name)("a"))


# --- col_names: list of texts ------------------------------------------------------------------


def make_frame(col_names):
    return Quillometer(col_names, 2, 0.5, 10)


class OnlyIter:
    def __iter__(self):
        return iter(["a"])


class MyDict(dict):
    pass


def fresh_exception(exc):
    """A new exception like exc (same type, arguments and cause). Hooks raise copies, so that no
    traceback of an earlier call keeps the hook's frame, and so the hook, alive."""
    new = type(exc)(*exc.args)
    if exc.__cause__ is not None:
        new.__cause__ = exc.__cause__
    return new


@pytest.mark.parametrize(
    "col_names, message",
    [
        ("ab", "Can't extract `str` to `Vec`"),
        ("", "Can't extract `str` to `Vec`"),
        (LyingStr("ab"), "Can't extract `str` to `Vec`"),
        ({"a": 1}, "'dict' object cannot be converted to 'Sequence'"),
        (MyDict(a=1), "'MyDict' object cannot be converted to 'Sequence'"),
        ({"a"}, "'set' object cannot be converted to 'Sequence'"),
        (frozenset({"a"}), "'frozenset' object cannot be converted to 'Sequence'"),
        ((x for x in ["a"]), "'generator' object cannot be converted to 'Sequence'"),
        (iter(["a"]), "'list_iterator' object cannot be converted to 'Sequence'"),
        ({"a": 1}.keys(), "'dict_keys' object cannot be converted to 'Sequence'"),
        (
            types.MappingProxyType({"a": 1}),
            "'mappingproxy' object cannot be converted to 'Sequence'",
        ),
        (OnlyIter(), "'OnlyIter' object cannot be converted to 'Sequence'"),
        (Outer.Inner(), "'Outer.Inner' object cannot be converted to 'Sequence'"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
        (b"ab", "'int' object cannot be converted to 'PyString'"),
        (bytearray(b"ab"), "'int' object cannot be converted to 'PyString'"),
        (range(3), "'int' object cannot be converted to 'PyString'"),
        ([1], "'int' object cannot be converted to 'PyString'"),
        (["a", None], "'NoneType' object cannot be converted to 'PyString'"),
        (("a", b"b"), "'bytes' object cannot be converted to 'PyString'"),
        ([["a"]], "'list' object cannot be converted to 'PyString'"),
    ],
)
def test_col_names_refused(col_names, message):
    items = list(col_names) if isinstance(col_names, (list, tuple)) else []
    check_call(
        lambda: make_frame(col_names),
        watched=[col_names, type(col_names)] + items,
        raises=TypeError,
        message="argument 'col_names': " + message,
        repeat=1 if isinstance(col_names, types.GeneratorType) else 4,
    )


@pytest.mark.parametrize("col_names", [["\udc80"], ["a", "b\ud800"]])
def test_col_names_with_lone_surrogates(col_names):
    expected = utf8_error(col_names[-1])
    check_call(
        lambda: make_frame(col_names),
        watched=col_names,
        raises=UnicodeEncodeError,
        message=expected[1],
    )


class OldSequence:
    """A sequence known only by __getitem__ (iteration until IndexError)."""

    def __init__(self, names):
        self.names = names

    def __getitem__(self, i):
        return self.names[i]


class BadLen(OldSequence):
    def __len__(self):
        raise RuntimeError("no length")


class HugeLen(OldSequence):
    def __len__(self):
        return 2**62


class OverflowLen(OldSequence):
    def __len__(self):
        return 2**63


class NegativeLen(OldSequence):
    def __len__(self):
        return -1


class ShortLen(OldSequence):
    def __len__(self):
        return 1


class IterSeq(HugeLen):
    def __iter__(self):
        return iter(self.names)


def usable_columns(q, names):
    for i, name in enumerate(names):
        q.append({name: float(i + 1)}, 0)
    return [q.last(name) for name in names]


@pytest.mark.parametrize(
    "make",
    [
        list,
        tuple,
        OldSequence,
        BadLen,
        HugeLen,
        OverflowLen,
        NegativeLen,
        ShortLen,
        IterSeq,
        collections.deque,
    ],
)
def test_col_names_sequences(make):
    names = ["x", "y", "z"]
    col_names = make(names)
    q = make_frame(col_names)
    assert usable_columns(q, names) == [1.0, 2.0, 3.0]
    q.append({"x": 10.0, "y": 20.0, "z": 30.0}, 1)
    assert [q.last(n) for n in names] == [10.0, 20.0, 30.0]


def test_col_names_with_huge_length_hint_converts_without_memory_error():
    col_names = HugeLen(["a", "b"])
    check_call(lambda: make_frame(col_names), watched=(col_names,))
    q = make_frame(col_names)
    q.append({"a": 1.0, "b": 2.0}, 0)
    assert (q.last("a"), q.last("b")) == (1.0, 2.0)


@pytest.mark.parametrize("col_names", [[], (), b"", bytearray(), range(0), OldSequence([])])
def test_empty_col_names(col_names, PanicException):
    q = make_frame(col_names)
    assert q.append({}, 0) is None
    for name in QUERIES:
        got = outcome(lambda: getattr(q, name)("a"))
        assert got[:3] == ("raised", PanicException, "Column does not exist")


def test_col_names_items_may_be_str_subclasses_and_any_text():
    q = make_frame([LyingStr("a"), "", "A", "a ", "\u00e9", "e\u0301", "n\x00ul"])
    names = ["a", "", "A", "a ", "\u00e9", "e\u0301", "n\x00ul"]
    assert usable_columns(q, names) == [float(i + 1) for i in range(len(names))]


def test_duplicate_names_make_one_column():
    q = make_frame(["a", "b", "a"])
    q.append({"a": 4.0}, 0)
    q.append({"a": 6.0}, 1)
    assert q.mean("a") == 5.0
    assert q.variance("a") == 1.0


def with_cached_hash(text, value):
    """A fresh str of `text` whose cached hash is `value`. The module takes a str's cached hash as
    it stands, so names given one hash meet on the same probe of its table, where their bytes
    alone tell them apart."""
    s = fresh_str(text)
    for offset in range(0, 64, 8):  # the hash field, wherever this build's layout puts it
        field = ctypes.c_ssize_t.from_address(id(s) + offset)
        if field.value == hash(s):
            field.value = value
            return s
    raise AssertionError("no cached hash found in the str object")


def test_names_alike_but_for_one_byte_are_distinct_columns(PanicException):
    # Every length up to two words and beyond, every byte in turn differing: the byte compare
    # reads a name with overlapping loads whose last one ends at its last byte.
    for length in range(2, 19):
        text = "abcdefghijklmnopqrs"[:length]
        for position in range(length):
            other = text[:position] + "\x7f" + text[position + 1 :]
            a, b = (with_cached_hash(name, 0x5EED_CAFE_0000_0003) for name in (text, other))
            alone = make_frame([a])
            got = outcome(lambda: alone.last(b))
            assert got[:3] == ("raised", PanicException, "Column does not exist"), (text, other)
            both = make_frame([a, b])
            assert usable_columns(both, [a, b]) == [1.0, 2.0], (text, other)


def test_tables_of_every_size_find_their_names_and_no_other(python_snippet):
    # A table let to fill its last slot would probe for ever for an absent name: a child with a
    # time limit makes such a fault fail here rather than hang the suite.
    code = """
        from quillometer import Quillometer

        for n in range(1, 300):
            names = [f"c{i}" for i in range(n)]
            q = Quillometer(names, 1, 0.5, 1)
            q.append({name: float(i) for i, name in enumerate(names)}, 0)
            assert [q.last(name) for name in names] == [float(i) for i in range(n)], n
            for absent in (f"c{n}", "d", "c0 "):
                try:
                    q.last(absent)
                except BaseException as exc:
                    assert str(exc) == "Column does not exist", exc
                else:
                    raise AssertionError(f"{absent!r} found among {n} names")
        print("done")
        """
    proc = python_snippet(code, timeout=60)
    assert (proc.returncode, proc.stdout) == (0, "done\n"), proc.stderr


class RaisingIter(OldSequence):
    def __init__(self, exc):
        super().__init__(["a"])
        self.exc = exc

    def __iter__(self):
        raise fresh_exception(self.exc)


class NonIterator(OldSequence):
    def __iter__(self):
        return 5


class RaisingNext:
    def __init__(self, exc, after=1):
        self.exc, self.after = exc, after

    def __getitem__(self, i):
        if i >= self.after:
            raise fresh_exception(self.exc)
        return "abc"[i]


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize(
    "via", [RaisingIter, lambda e: RaisingNext(e, 0), lambda e: RaisingNext(e, 2)]
)
def test_col_names_iteration_errors(via):
    for exc in (ValueError("iteration broke"), MyTypeError("subclass"), KeyError("k")):
        col_names = via(exc)
        got = check_call(
            lambda: make_frame(col_names), watched=(col_names,), raises=type(exc), message=str(exc)
        )
        assert got[3] == exc.args
    col_names = via(TypeError("plain"))
    check_call(
        lambda: make_frame(col_names),
        watched=(col_names,),
        raises=TypeError,
        message="argument 'col_names': plain",
    )


def test_col_names_iterator_that_is_not_one():
    col_names = NonIterator(["a"])
    expected = outcome(lambda: iter(col_names))
    assert expected[1] is TypeError
    check_call(
        lambda: make_frame(col_names),
        watched=(col_names,),
        raises=TypeError,
        message="argument 'col_names': " + expected[2],
    )


# --- row: dict from text to float --------------------------------------------------------------


@pytest.mark.parametrize(
    "row, type_name",
    [
        ([], "list"),
        ([("a", 1.0)], "list"),
        ((("a", 1.0),), "tuple"),
        (types.MappingProxyType({"a": 1.0}), "mappingproxy"),
        (collections.UserDict({"a": 1.0}), "UserDict"),
        ({"a": 1.0}.items(), "dict_items"),
        ("a", "str"),
        (None, "NoneType"),
        (1.0, "float"),
        (Outer.Inner(), "Outer.Inner"),
    ],
)
def test_row_not_a_dict(q, row, type_name):
    check_call(
        lambda: q.append(row, 0),
        watched=(q, row, type(row)),
        raises=TypeError,
        message=f"argument 'row': '{type_name}' object cannot be converted to 'PyDict'",
    )
    assert_free(q, "a")
    assert q.last("a") == 0.0


class LyingDict(dict):
    """A dict subclass whose Python-level views all fail: the conversion must not use them."""

    def items(self):
        raise AssertionError("items called")

    def keys(self):
        raise AssertionError("keys called")

    def values(self):
        raise AssertionError("values called")

    def __iter__(self):
        raise AssertionError("__iter__ called")

    def __getitem__(self, key):
        raise AssertionError("__getitem__ called")

    def __len__(self):
        raise AssertionError("__len__ called")


@pytest.mark.parametrize(
    "make",
    [
        dict,
        collections.OrderedDict,
        lambda d: collections.defaultdict(float, d),
        collections.Counter,
        MyDict,
        LyingDict,
    ],
    ids=["dict", "OrderedDict", "defaultdict", "Counter", "subclass", "overridden-views"],
)
def test_row_dict_and_subclasses(q, make):
    row = make({"a": 2.0, "b": 3.0})
    assert q.append(row, 0) is None
    assert (q.last("a"), q.last("b")) == (2.0, 3.0)


def test_row_empty_changes_nothing(q):
    q.append({"a": 1.0}, 0)
    before = stats_of(q, "a"), stats_of(q, "b")
    assert q.append({}, 5) is None
    assert (stats_of(q, "a"), stats_of(q, "b")) == before


@pytest.mark.parametrize(
    "key, type_name",
    [
        (1, "int"),
        (b"a", "bytes"),
        ((1, 2), "tuple"),
        (None, "NoneType"),
        (1.5, "float"),
        (frozenset(), "frozenset"),
    ],
)
def test_row_key_not_a_str(q, key, type_name):
    for row in ({key: 1.0}, {"a": 1.0, key: 2.0}, {key: "not a number"}):
        check_call(
            lambda: q.append(row, 0),
            watched=(q, row, key, type(key)),
            raises=TypeError,
            message=f"argument 'row': '{type_name}' object cannot be converted to 'PyString'",
        )
    assert_free(q, "a")
    assert q.last("a") == 0.0


def test_row_key_with_lone_surrogate(q):
    key = "a\udc80"
    row = {"a": 1.0, key: 2.0}
    check_call(
        lambda: q.append(row, 0),
        watched=(q, row, key),
        raises=UnicodeEncodeError,
        message=utf8_error(key)[1],
    )
    assert q.last("a") == 0.0
    assert_free(q, "a")


def test_row_key_str_subclass_is_read_through_its_characters(q):
    assert q.append({LyingStr("a"): 3.0}, 0) is None
    assert q.last("a") == 3.0


@pytest.mark.parametrize("others", [0, 40], ids=["narrow", "past-32-entries"])
def test_row_keys_with_equal_text_later_wins(others):
    # Rows of more than 32 entries find repeated columns another way than short ones.
    class Distinct(str):
        __eq__ = object.__eq__
        __hash__ = object.__hash__

    names = [f"c{i}" for i in range(others)]
    q = Quillometer(["a", *names], 3, 0.5, 10)
    row = {
        Distinct("a"): 1.0,
        **{name: float(i) for i, name in enumerate(names)},
        Distinct("a"): 2.0,
    }
    assert len(row) == others + 2
    q.append(row, 0)
    assert q.last("a") == 2.0
    assert q.mean("a") == 2.0  # one value, not two
    assert [(q.last(name), q.rate(name)) for name in names] == [
        (float(i), 0.1) for i in range(others)
    ]


VALUES = [
    (True, 1.0),
    (False, 0.0),
    (1, 1.0),
    (-1, -1.0),
    (2**53 + 1, 9007199254740992.0),
    (2**1023, 8.98846567431158e307),
    (-1.0, -1.0),
    (-0.0, -0.0),
    (float("inf"), float("inf")),
    (float("-inf"), float("-inf")),
    (5e-324, 5e-324),
    (Float(0.25), 0.25),
    (Float(-1.0), -1.0),
    (Index(7), 7.0),
    (Index(-1), -1.0),
    (FloatSub(0.5), 0.5),
    (IntSub(3), 3.0),
    (decimal.Decimal("1.5"), 1.5),
    (fractions.Fraction(1, 3), 1 / 3),
]


@pytest.mark.parametrize("value, expected", VALUES, ids=[repr(v) for v, _ in VALUES])
def test_row_values_convert(q, value, expected):
    assert q.append({"a": value}, 0) is None
    assert bits(q.last("a")) == bits(expected)


def test_row_value_nan_passes_through(q):
    nan = float("nan")
    q.append({"a": nan}, 0)
    assert math.isnan(q.last("a"))


class BadFloat:
    def __float__(self):
        return 1


@pytest.mark.parametrize(
    "value",
    ["1.0", None, 1j, [1.0], b"1", BadFloat(), Outer.Inner()],
    ids=["str", "None", "complex", "list", "bytes", "float-returns-int", "nested-class"],
)
def test_row_value_refused(q, value):
    expected = float_error(value)
    assert expected[0] is TypeError
    for row in ({"a": value}, {"a": 1.0, "b": value}, {"b": value, "a": 1.0}):
        check_call(
            lambda: q.append(row, 0),
            watched=(q, row, value),
            raises=TypeError,
            message="argument 'row': " + expected[1],
        )
    assert q.last("a") == 0.0  # nothing was applied, whatever the order
    assert_free(q, "a")


def test_row_value_too_large_for_a_double(q):
    value = 10**400
    expected = float_error(value)
    assert expected[0] is OverflowError
    row = {"a": 1.0, "b": value}
    check_call(
        lambda: q.append(row, 0), watched=(q, row, value), raises=OverflowError, message=expected[1]
    )
    assert q.last("a") == 0.0
    assert_free(q, "a")


# --- row: a dict changed while it is converted -------------------------------------------------


class Mutating:
    """A value whose conversion runs `action` and then gives 1.0."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 1.0


def row_deleting_another():
    row = {"a": None, "b": 2.0}
    row["a"] = Mutating(lambda: row.pop("b"))
    return row


def row_deleting_itself():
    row = {"b": 2.0, "a": None}
    row["a"] = Mutating(lambda: row.pop("a"))
    return row


def row_adding():
    row = {"a": None}
    row["a"] = Mutating(lambda: row.__setitem__("zz", 1.0))
    return row


def row_adding_at_the_last_entry():
    row = {"b": 2.0, "a": None}
    row["a"] = Mutating(lambda: row.__setitem__("zz", 1.0))
    return row


def row_swapping_a_visited_key():
    row = {"a": 1.0, "b": None}
    row["b"] = Mutating(lambda: (row.pop("a"), row.__setitem__("c", 3.0)))
    return row


@pytest.mark.parametrize(
    "make, message",
    [
        (row_deleting_another, "dictionary changed size during iteration"),
        (row_deleting_itself, "dictionary changed size during iteration"),
        (row_adding, "dictionary changed size during iteration"),
        (row_adding_at_the_last_entry, "dictionary changed size during iteration"),
        (row_swapping_a_visited_key, "dictionary keys changed during iteration"),
    ],
)
def test_row_changed_during_conversion(make, message, PanicException, capfd):
    q = Quillometer(["a", "b", "c"], 3, 0.5, 10)
    q.append({"a": 5.0, "b": 6.0, "c": 7.0}, 0)
    before = [stats_of(q, c) for c in "abc"]
    row = make()
    # (the row itself is not watched: a mutation that removes the mutating value frees it, and
    # with it the closure that refers to the row)
    check_call(
        lambda: q.append(row, 1), watched=(q,), raises=PanicException, message=message, repeat=1
    )
    assert [stats_of(q, c) for c in "abc"] == before
    assert f"\n{message}\n" in capfd.readouterr().err
    assert_free(q, "a")
    q.append({"a": 1.0}, 2)
    assert q.last("a") == 1.0


def test_row_whose_size_is_restored_during_conversion_converts(q):
    row = {"a": None, "b": 2.0}

    def add_and_remove():
        row["zz"] = 0.0
        del row["zz"]

    row["a"] = Mutating(add_and_remove)
    assert q.append(row, 0) is None
    assert (q.last("a"), q.last("b")) == (1.0, 2.0)


# --- window_size: unsigned 64-bit --------------------------------------------------------------


@pytest.mark.parametrize(
    "window_size, expected",
    [(True, 1), (False, 0), (0, 0), (3, 3), (8, 8), (IntSub(3), 3), (Index(5), 5), (Index(0), 0)],
    ids=["True", "False", "0", "3", "8", "int-subclass", "index-5", "index-0"],
)
def test_window_size_converts(window_size, expected):
    assert window_mean(window_size) == expected_window_mean(expected)


def test_window_size_largest_value_converts(PanicException):
    assert size_error(2**64 - 1) == ("ok", 2**64 - 1)
    Quillometer([], 2**64 - 1, 0.5, 1)
    got = outcome(lambda: Quillometer(["a"], 2**64 - 1, 0.5, 1))
    assert got[:3] == ("raised", PanicException, "capacity overflow")


@pytest.mark.parametrize(
    "window_size",
    [3.0, "3", None, decimal.Decimal(3), Index("x"), Index(1.5), Float(3.0), [3]],
    ids=["float", "str", "None", "Decimal", "index-str", "index-float", "float-only", "list"],
)
def test_window_size_refused(window_size):
    expected = size_error(window_size)
    assert expected[0] is TypeError
    names = [fresh_str("ab")]
    check_call(
        lambda: Quillometer(names, window_size, 0.5, 10),
        watched=(names, names[0], window_size),
        raises=TypeError,
        message="argument 'window_size': " + expected[1],
    )


@pytest.mark.parametrize(
    "window_size",
    [-1, -(2**70), 2**64, 2**100, Index(-1), Index(2**64), False - 1],
    ids=["-1", "-2**70", "2**64", "2**100", "index--1", "index-2**64", "bool-arith"],
)
def test_window_size_out_of_range(window_size):
    expected = size_error(window_size)
    assert expected[0] is OverflowError
    check_call(
        lambda: Quillometer(["a"], window_size, 0.5, 10),
        watched=(window_size,),
        raises=OverflowError,
        message=expected[1],
    )


# --- alpha: double -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "alpha, expected",
    [
        (1, 1.0),
        (True, 1.0),
        (0.5, 0.5),
        (-1.0, -1.0),
        (-1, -1.0),
        (2.5, 2.5),
        (Float(0.25), 0.25),
        (Float(-1.0), -1.0),
        (FloatSub(0.125), 0.125),
        (Index(3), 3.0),
        (fractions.Fraction(3, 4), 0.75),
    ],
    ids=[
        "1",
        "True",
        "0.5",
        "-1.0",
        "-1",
        "2.5",
        "float-0.25",
        "float--1.0",
        "float-subclass",
        "index",
        "Fraction",
    ],
)
def test_alpha_converts(alpha, expected):
    assert bits(ewma_alpha(alpha)) == bits(expected)


def test_alpha_nan_converts():
    assert math.isnan(ewma_alpha(float("nan")))
    q = Quillometer(["a"], 1, float("nan"), 1)
    q.append({"a": 3.0}, 0)
    assert q.ewma("a") == 3.0  # the first value is taken as it is


@pytest.mark.parametrize(
    "alpha",
    ["0.5", None, 1j, BadFloat(), [0.5]],
    ids=["str", "None", "complex", "float-returns-int", "list"],
)
def test_alpha_refused(alpha):
    expected = float_error(alpha)
    assert expected[0] is TypeError
    check_call(
        lambda: Quillometer(["a"], 3, alpha, 10),
        watched=(alpha,),
        raises=TypeError,
        message="argument 'alpha': " + expected[1],
    )


def test_alpha_too_large():
    alpha = 10**400
    expected = float_error(alpha)
    assert expected[0] is OverflowError
    check_call(
        lambda: Quillometer(["a"], 3, alpha, 10),
        watched=(alpha,),
        raises=OverflowError,
        message=expected[1],
    )


# --- ts and time_window: signed 64-bit ---------------------------------------------------------


@pytest.mark.parametrize(
    "ts, expected",
    [
        (-1, -1),
        (0, 0),
        (True, 1),
        (False, 0),
        (Index(-1), -1),
        (Index(12), 12),
        (IntSub(4), 4),
        (-(2**63), -(2**63)),
        (2**63 - 1, 2**63 - 1),
    ],
    ids=["-1", "0", "True", "False", "index--1", "index-12", "int-subclass", "min", "max"],
)
def test_ts_converts(ts, expected):
    assert ts_is(ts, expected)


@pytest.mark.parametrize(
    "time_window, expected",
    [(0, 0), (True, 1), (Index(7), 7), (IntSub(2), 2), (2**63 - 2, 2**63 - 2)],
    ids=["0", "True", "index", "int-subclass", "large"],
)
def test_time_window_converts(time_window, expected):
    assert time_window_is(time_window, expected)


@pytest.mark.parametrize("time_window", [-1, Index(-1), -(2**63)], ids=["-1", "index--1", "min"])
def test_negative_time_window_converts(time_window):
    q = Quillometer(["a"], 2, 0.5, time_window)
    q.append({"a": 3.0}, 0)
    assert (q.time_mean("a"), q.rate("a"), q.last("a")) == (0.0, 0.0, 3.0)


INT64_REFUSED = [1.5, "1", None, decimal.Decimal(1), Float(1.0), Index("x"), Index(2.0), [1]]
INT64_REFUSED_IDS = [
    "float",
    "str",
    "None",
    "Decimal",
    "float-only",
    "index-str",
    "index-float",
    "list",
]
INT64_OUT_OF_RANGE = [2**63, -(2**63) - 1, 2**200, Index(2**63)]
INT64_OUT_OF_RANGE_IDS = ["2**63", "-2**63-1", "2**200", "index-2**63"]


@pytest.mark.parametrize("ts", INT64_REFUSED, ids=INT64_REFUSED_IDS)
def test_ts_refused(q, ts):
    expected = int64_error(ts)
    assert expected[0] is TypeError
    row = {fresh_str("ab"): fresh_float(2.0), "a": 1.0}
    check_call(
        lambda: q.append(row, ts),
        watched=(q, row, ts) + tuple(row),
        raises=TypeError,
        message="argument 'ts': " + expected[1],
    )
    assert q.last("a") == 0.0
    assert_free(q, "a")


@pytest.mark.parametrize("ts", INT64_OUT_OF_RANGE, ids=INT64_OUT_OF_RANGE_IDS)
def test_ts_out_of_range(q, ts):
    expected = int64_error(ts)
    assert expected[0] is OverflowError
    row = {"a": 1.0}
    check_call(
        lambda: q.append(row, ts), watched=(q, row, ts), raises=OverflowError, message=expected[1]
    )
    assert q.last("a") == 0.0
    assert_free(q, "a")


def test_empty_row_still_converts_ts(q):
    message = "argument 'ts': " + int64_error(1.5)[1]
    check_call(lambda: q.append({}, 1.5), watched=(q,), raises=TypeError, message=message)
    check_call(lambda: q.append({}, 2**63), watched=(q,), raises=OverflowError)


@pytest.mark.parametrize("time_window", INT64_REFUSED, ids=INT64_REFUSED_IDS)
def test_time_window_refused(time_window):
    expected = int64_error(time_window)
    check_call(
        lambda: Quillometer(["a"], 3, 0.5, time_window),
        watched=(time_window,),
        raises=TypeError,
        message="argument 'time_window': " + expected[1],
    )


@pytest.mark.parametrize("time_window", INT64_OUT_OF_RANGE, ids=INT64_OUT_OF_RANGE_IDS)
def test_time_window_out_of_range(time_window):
    expected = int64_error(time_window)
    assert expected[0] is OverflowError
    check_call(
        lambda: Quillometer(["a"], 3, 0.5, time_window),
        watched=(time_window,),
        raises=OverflowError,
        message=expected[1],
    )


# --- order of conversion -----------------------------------------------------------------------


def test_constructor_converts_in_parameter_order():
    bad = ("ab", 3.0, "0.5", 1.5)
    good = (["a"], 3, 0.5, 10)
    prefixes = [
        "argument 'col_names': ",
        "argument 'window_size': ",
        "argument 'alpha': ",
        "argument 'time_window': ",
    ]
    for first_bad in range(4):
        args = good[:first_bad] + bad[first_bad:]
        got = outcome(lambda: Quillometer(*args))
        assert got[1] is TypeError and got[2].startswith(prefixes[first_bad]), got
    # an OverflowError of an earlier parameter hides the later type errors
    got = outcome(lambda: Quillometer(["a"], -1, "0.5", 1.5))
    assert got[1] is OverflowError


class Recorder:
    """Records in `log` each conversion hook that runs, under the parameter's name. A `result`
    that is an exception is raised: a fresh copy of it, or that very object with same=True."""

    def __init__(self, log, label, result, same=False):
        self.log, self.label, self.result, self.same = log, label, result, same

    def _give(self, value):
        self.log.append(self.label)
        if isinstance(self.result, BaseException):
            raise self.result if self.same else fresh_exception(self.result)
        return value

    def __index__(self):
        return self._give(self.result)

    def __float__(self):
        return self._give(self.result)

    def __getitem__(self, i):
        if i == 0:
            return self._give("a")
        raise IndexError(i)


def test_constructor_conversion_hooks_run_in_order_and_stop_at_the_first_failure():
    log = []
    Quillometer(
        Recorder(log, "col_names", 0),
        Recorder(log, "window_size", 2),
        Recorder(log, "alpha", 0.5),
        Recorder(log, "time_window", 10),
    )
    assert log == ["col_names", "window_size", "alpha", "time_window"]
    for failing in range(4):
        log = []
        labels = ["col_names", "window_size", "alpha", "time_window"]
        results = [0, 2, 0.5, 10]
        results[failing] = ValueError(labels[failing])
        got = outcome(
            lambda: Quillometer(
                *[Recorder(log, label, r) for label, r in zip(labels, results, strict=True)]
            )
        )
        assert got[:3] == ("raised", ValueError, labels[failing])
        assert log == labels[: failing + 1]


def test_append_converts_row_before_ts(q):
    log = []
    q.append({"a": Recorder(log, "row", 1.0)}, Recorder(log, "ts", 0))
    assert log == ["row", "ts"]
    log.clear()
    got = outcome(
        lambda: q.append({"a": Recorder(log, "row", ValueError("row"))}, Recorder(log, "ts", 0))
    )
    assert got[:3] == ("raised", ValueError, "row") and log == ["row"]
    got = outcome(lambda: q.append([], Recorder(log, "ts", 0)))
    assert got[1] is TypeError and got[2].startswith("argument 'row': ") and log == ["row"]


# --- exceptions raised by Python code during conversion ----------------------------------------


PARAMS = ["col_names", "window_size", "alpha", "time_window", "row", "ts"]


class Unprintable:
    def __str__(self):
        raise ValueError("str() refused")


@pytest.mark.parametrize("param", PARAMS)
@pytest.mark.parametrize(
    "exc, text",
    [
        (TypeError("boom"), "boom"),
        (TypeError(), ""),
        (TypeError("x", 2), "('x', 2)"),
        (TypeError("bad \udc80 text"), "bad \ufffd\ufffd\ufffd text"),
        (TypeError("caf\u00e9 \U0001f600"), "caf\u00e9 \U0001f600"),
    ],
    ids=["message", "empty", "two-args", "surrogate", "non-ascii"],
)
def test_exact_type_error_is_prefixed(param, exc, text):
    hook = Recorder([], param, exc)
    message = f"argument '{param}': {text}"
    got = check_call(
        conversion_call(param, hook), watched=(hook,), raises=TypeError, message=message
    )
    assert got[3] == (f"argument '{param}': {text}",)
    same = Recorder([], param, exc, same=True)
    try:
        conversion_call(param, same)()
    except TypeError as new:
        assert new is not exc
        assert new.__cause__ is None
        assert new.__context__ is None
    else:
        raise AssertionError("no error")


@pytest.mark.parametrize("param", PARAMS)
def test_prefixed_error_keeps_the_cause(param):
    cause = KeyError("the cause")
    exc = TypeError("with cause")
    exc.__cause__ = cause
    hook = Recorder([], param, exc)
    message = f"argument '{param}': with cause"
    check_call(
        conversion_call(param, hook), watched=(hook, cause), raises=TypeError, message=message
    )
    try:
        conversion_call(param, Recorder([], param, exc, same=True))()
    except TypeError as new:
        assert new is not exc
        assert new.__cause__ is cause
        assert new.__suppress_context__ is True
        assert new.__context__ is None
    else:
        raise AssertionError("no error")


@pytest.mark.parametrize("param", PARAMS)
@pytest.mark.parametrize(
    "exc",
    [
        MyTypeError("sub"),
        ValueError("value"),
        RuntimeError("runtime"),
        OverflowError("big"),
        ZeroDivisionError("zero"),
    ],
    ids=["TypeError-subclass", "ValueError", "RuntimeError", "OverflowError", "ZeroDivisionError"],
)
def test_other_errors_pass_unchanged(param, exc):
    hook = Recorder([], param, exc)
    check_call(conversion_call(param, hook), watched=(hook,), raises=type(exc), message=str(exc))
    try:
        conversion_call(param, Recorder([], param, exc, same=True))()
    except BaseException as got:
        assert got is exc
    else:
        raise AssertionError("no error")


@pytest.mark.parametrize("param", PARAMS)
def test_unprintable_type_error(param, unraisable):
    hook = Recorder([], param, TypeError(Unprintable()))
    call = conversion_call(param, hook)
    before = refcounts((hook,))
    for _ in range(3):
        got = outcome(call)
        assert got[:3] == (
            "raised",
            TypeError,
            f"argument '{param}': <unprintable TypeError object>",
        )
        assert len(unraisable) == 1
        exc_type, exc_text, obj = unraisable[0]
        assert (exc_type, exc_text) == (ValueError, "str() refused")
        assert type(obj) is TypeError and type(obj.args[0]) is Unprintable  # the incoming error
        del obj, got
        unraisable.clear()
    assert refcounts((hook,)) == before


# --- a failed conversion stops at once ---------------------------------------------------------


class Logged(OldSequence):
    def __init__(self, names, log):
        super().__init__(names)
        self.log = log

    def __getitem__(self, i):
        self.log.append(i)
        return super().__getitem__(i)


def test_text_list_stops_at_the_first_bad_item():
    log = []
    got = outcome(lambda: make_frame(Logged(["a", 1, "c", 2.5], log)))
    assert got[1:3] == (
        TypeError,
        "argument 'col_names': 'int' object cannot be converted to 'PyString'",
    )
    assert log == [0, 1]


def test_row_stops_at_the_first_bad_entry(q):
    log = []
    rows = [
        {1: Recorder(log, "value of a bad key", 1.0)},
        {"a": "x", "b": Recorder(log, "later value", 1.0)},
        {"a": Recorder(log, "value", ValueError("stop")), 2: Recorder(log, "later value", 1.0)},
    ]
    for row in rows:
        assert outcome(lambda: q.append(row, Recorder(log, "ts", 0)))[0] == "raised"
    assert log == ["value"]
    assert q.last("a") == 0.0
