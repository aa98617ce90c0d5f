"""Matching call arguments to parameters: every binding message, in both calling conventions."""

import itertools

import pytest
from conftest import (
    QUERIES,
    Quillometer,
    assert_free,
    call_new_raw,
    call_raw,
    check_call,
    fresh_float,
    fresh_int,
    fresh_str,
    outcome,
    refcounts,
)

NEW = "Quillometer.__new__()"
CTOR_PARAMS = ("col_names", "window_size", "alpha", "time_window")


def joined(names):
    """Parameter names quoted and joined the way the missing-arguments message lists them."""
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def missing(display, names):
    noun = "argument" if len(names) == 1 else "arguments"
    return f"{display} missing {len(names)} required positional {noun}: {joined(names)}"


def ctor_args():
    """Fresh, valid constructor arguments (objects no other code refers to)."""
    return [fresh_str("ab"), fresh_str("cd")], fresh_int(1000), fresh_float(0.25), fresh_int(5000)


def call_routes():
    """Both routes into the constructor slot: calling the class and calling __new__."""
    return {
        "call": lambda *a, **k: Quillometer(*a, **k),
        "dunder_new": lambda *a, **k: Quillometer.__new__(Quillometer, *a, **k),
    }


ROUTES = list(call_routes())


# --- constructor (positional tuple and keyword dict) -------------------------------------------


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize(
    "positional, message",
    [
        (
            0,
            f"{NEW} missing 4 required positional arguments: 'col_names', 'window_size', 'alpha', and 'time_window'",
        ),
        (
            1,
            f"{NEW} missing 3 required positional arguments: 'window_size', 'alpha', and 'time_window'",
        ),
        (2, f"{NEW} missing 2 required positional arguments: 'alpha' and 'time_window'"),
        (3, f"{NEW} missing 1 required positional argument: 'time_window'"),
    ],
)
def test_constructor_missing_positionals(route, positional, message):
    args = ctor_args()[:positional]
    check_call(lambda: call_routes()[route](*args), watched=args, raises=TypeError, message=message)


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize(
    "given", [c for r in range(4) for c in itertools.combinations(range(4), r)], ids=str
)
def test_constructor_missing_keywords(route, given):
    values = ctor_args()
    kwargs = {CTOR_PARAMS[i]: values[i] for i in given}
    absent = [p for i, p in enumerate(CTOR_PARAMS) if i not in given]
    check_call(
        lambda: call_routes()[route](**kwargs),
        watched=list(kwargs.values()),
        raises=TypeError,
        message=missing(NEW, absent),
    )


def test_constructor_missing_examples():
    with pytest.raises(TypeError) as info:
        Quillometer(["a"], 3, alpha=0.5)
    assert str(info.value) == f"{NEW} missing 1 required positional argument: 'time_window'"
    with pytest.raises(TypeError) as info:
        Quillometer(window_size=3)
    assert (
        str(info.value)
        == f"{NEW} missing 3 required positional arguments: 'col_names', 'alpha', and 'time_window'"
    )


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("extra", [1, 2, 5])
def test_constructor_too_many_positionals(route, extra):
    args = ctor_args() + tuple(fresh_int(7000 + i) for i in range(extra))
    check_call(
        lambda: call_routes()[route](*args),
        watched=args,
        raises=TypeError,
        message=f"{NEW} takes 4 positional arguments but {4 + extra} were given",
    )


@pytest.mark.parametrize("route", ROUTES)
def test_constructor_too_many_is_found_before_keywords(route):
    args = ctor_args() + (fresh_int(9999),)
    for kwargs in ({"bogus": 1}, {"alpha": 0.5}):
        check_call(
            lambda: call_routes()[route](*args, **kwargs),
            watched=args,
            raises=TypeError,
            message=f"{NEW} takes 4 positional arguments but 5 were given",
        )


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("index", range(4))
def test_constructor_multiple_values(route, index):
    args = ctor_args()
    value = fresh_int(4242)
    kwargs = {CTOR_PARAMS[index]: value}
    check_call(
        lambda: call_routes()[route](*args, **kwargs),
        watched=args + (value,),
        raises=TypeError,
        message=f"{NEW} got multiple values for argument '{CTOR_PARAMS[index]}'",
    )


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize(
    "positional, kwargs, message",
    [
        (4, {"bogus": 1}, f"{NEW} got an unexpected keyword argument 'bogus'"),
        (0, {"Alpha": 1}, f"{NEW} got an unexpected keyword argument 'Alpha'"),
        (0, {"x": 1, "y": 2}, f"{NEW} got an unexpected keyword argument 'x'"),
        (0, {"y": 1, "x": 2}, f"{NEW} got an unexpected keyword argument 'y'"),
        (
            0,
            {"col_names": [], "colnames": 2},
            f"{NEW} got an unexpected keyword argument 'colnames'",
        ),
        (0, {"alpha ": 1}, f"{NEW} got an unexpected keyword argument 'alpha '"),
        (0, {"it's": 1}, f"{NEW} got an unexpected keyword argument 'it's'"),
        (0, {"\u00e9t\u00e9": 1}, f"{NEW} got an unexpected keyword argument '\u00e9t\u00e9'"),
        (0, {"\U0001d4b3": 1}, f"{NEW} got an unexpected keyword argument '\U0001d4b3'"),
        (0, {"\udc80": 1}, f"{NEW} got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
        (
            0,
            {"ab\ud800cd": 1},
            f"{NEW} got an unexpected keyword argument 'ab\ufffd\ufffd\ufffdcd'",
        ),
        # keywords are taken in the dict's insertion order: the first problem wins
        (4, {"alpha": 1, "bogus": 2}, f"{NEW} got multiple values for argument 'alpha'"),
        (4, {"bogus": 2, "alpha": 1}, f"{NEW} got an unexpected keyword argument 'bogus'"),
        (2, {"window_size": 1, "zzz": 2}, f"{NEW} got multiple values for argument 'window_size'"),
        (2, {"zzz": 2, "window_size": 1}, f"{NEW} got an unexpected keyword argument 'zzz'"),
    ],
)
def test_constructor_keyword_errors(route, positional, kwargs, message):
    args = ctor_args()[:positional]
    values = list(kwargs.values())
    check_call(
        lambda: call_routes()[route](*args, **kwargs),
        watched=list(args) + values,
        raises=TypeError,
        message=message,
    )


@pytest.mark.parametrize("route", ROUTES)
def test_constructor_binds_keywords_in_any_order(route):
    make = call_routes()[route]
    for order in itertools.permutations(CTOR_PARAMS):
        values = dict(zip(CTOR_PARAMS, ([fresh_str("col")], 2, 0.5, 10), strict=True))
        q = make(**{name: values[name] for name in order})
        q.append({"col": 1.0}, 0)
        q.append({"col": 2.0}, 1)
        q.append({"col": 4.0}, 2)
        assert q.rolling_mean("col") == 3.0  # window_size 2
        assert q.ewma("col") == 2.75  # alpha 0.5: 1, then 1.5, then 2.75
        assert q.rate("col") == 0.3  # time_window 10
    q = make(["a"], 2, time_window=10, alpha=0.5)
    assert q.mean("a") == 0.0


# --- methods (fast call with keyword names) ----------------------------------------------------


def display(name):
    return f"Quillometer.{name}()"


@pytest.mark.parametrize("name", QUERIES)
def test_query_binding_errors(q, name):
    method = getattr(q, name)
    D = display(name)
    col = fresh_str("ab")
    other = fresh_str("cd")
    cases = [
        (lambda: method(), f"{D} missing 1 required positional argument: 'col'"),
        (lambda: method(col, other), f"{D} takes 1 positional arguments but 2 were given"),
        (lambda: method(col, other, col), f"{D} takes 1 positional arguments but 3 were given"),
        (lambda: method(col, other, col=col), f"{D} takes 1 positional arguments but 2 were given"),
        (lambda: method(col, col=other), f"{D} got multiple values for argument 'col'"),
        (lambda: method(Col=col), f"{D} got an unexpected keyword argument 'Col'"),
        (lambda: method(col=col, extra=other), f"{D} got an unexpected keyword argument 'extra'"),
        (lambda: method(extra=other, col=col), f"{D} got an unexpected keyword argument 'extra'"),
        (lambda: method(col, col=other, extra=1), f"{D} got multiple values for argument 'col'"),
        (
            lambda: method(col, extra=1, col=other),
            f"{D} got an unexpected keyword argument 'extra'",
        ),
        (
            lambda: method(**{"\udc80": col}),
            f"{D} got an unexpected keyword argument '\ufffd\ufffd\ufffd'",
        ),
        (
            lambda: method(**{"c\udfffl": col}),
            f"{D} got an unexpected keyword argument 'c\ufffd\ufffd\ufffdl'",
        ),
    ]
    for call, message in cases:
        check_call(call, watched=(q, col, other), raises=TypeError, message=message)
        assert_free(q, "a")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda q, r, t: q.append(), "missing 2 required positional arguments: 'row' and 'ts'"),
        (lambda q, r, t: q.append(r), "missing 1 required positional argument: 'ts'"),
        (lambda q, r, t: q.append(row=r), "missing 1 required positional argument: 'ts'"),
        (lambda q, r, t: q.append(ts=t), "missing 1 required positional argument: 'row'"),
        (lambda q, r, t: q.append(r, t, t), "takes 2 positional arguments but 3 were given"),
        (lambda q, r, t: q.append(r, t, t, r), "takes 2 positional arguments but 4 were given"),
        (lambda q, r, t: q.append(r, t, t, ts=t), "takes 2 positional arguments but 3 were given"),
        (
            lambda q, r, t: q.append(r, t, t, bogus=t),
            "takes 2 positional arguments but 3 were given",
        ),
        (lambda q, r, t: q.append(r, row=r), "got multiple values for argument 'row'"),
        (lambda q, r, t: q.append(r, t, ts=t), "got multiple values for argument 'ts'"),
        (lambda q, r, t: q.append(r, ts=t, row=r), "got multiple values for argument 'row'"),
        (lambda q, r, t: q.append(rows=r, ts=t), "got an unexpected keyword argument 'rows'"),
        (lambda q, r, t: q.append(x=r, y=t), "got an unexpected keyword argument 'x'"),
        (lambda q, r, t: q.append(y=r, x=t), "got an unexpected keyword argument 'y'"),
        (lambda q, r, t: q.append(r, x=t), "got an unexpected keyword argument 'x'"),
        (lambda q, r, t: q.append(r, row=r, x=t), "got multiple values for argument 'row'"),
        (lambda q, r, t: q.append(r, x=t, row=r), "got an unexpected keyword argument 'x'"),
        (lambda q, r, t: q.append(row=r, ts=t, TS=t), "got an unexpected keyword argument 'TS'"),
        (
            lambda q, r, t: q.append(**{"\udc80": r}),
            "got an unexpected keyword argument '\ufffd\ufffd\ufffd'",
        ),
    ],
)
def test_append_binding_errors(q, call, message):
    row = {fresh_str("ab"): fresh_float(1.5)}
    ts = fresh_int(123456)
    watched = (q, row, ts) + tuple(row) + tuple(row.values())
    check_call(
        lambda: call(q, row, ts),
        watched=watched,
        raises=TypeError,
        message="Quillometer.append() " + message,
    )
    assert_free(q, "a")
    assert q.last("a") == 0.0


def test_append_binds_keywords_in_any_order(q):
    assert q.append(ts=5, row={"a": 1.0}) is None
    assert q.append(row={"a": 3.0}, ts=6) is None
    assert q.append({"a": 5.0}, ts=7) is None
    assert q.mean("a") == 3.0
    assert q.rate("a") == 0.3


def test_binding_errors_are_reported_before_conversion(q):
    # The arguments are also unconvertible; binding is judged first.
    cases = [
        (lambda: q.mean(5, 6), "Quillometer.mean() takes 1 positional arguments but 2 were given"),
        (lambda: q.mean(5, col=6), "Quillometer.mean() got multiple values for argument 'col'"),
        (lambda: q.append([]), "Quillometer.append() missing 1 required positional argument: 'ts'"),
        (
            lambda: q.append([], 1.5, bogus=1),
            "Quillometer.append() got an unexpected keyword argument 'bogus'",
        ),
        (
            lambda: Quillometer("ab", 1.5),
            f"{NEW} missing 2 required positional arguments: 'alpha' and 'time_window'",
        ),
        (
            lambda: Quillometer("ab", 1.5, "x", 1.5, bogus=1),
            f"{NEW} got an unexpected keyword argument 'bogus'",
        ),
        (
            lambda: Quillometer("ab", -1, None, 2**64, 0),
            f"{NEW} takes 4 positional arguments but 5 were given",
        ),
    ]
    for call, message in cases:
        check_call(call, watched=(q,), raises=TypeError, message=message)
    assert_free(q, "a")


# --- keyword names that are str subclasses -----------------------------------------------------


class Shown(str):
    """A keyword name whose str() differs from its character data."""

    def __str__(self):
        return "shown-name"


class Unprintable(str):
    def __str__(self):
        raise ValueError("no text for this name")


def test_keyword_names_match_by_character_data(q):
    q.append({"a": 2.0}, 0)
    assert q.mean(**{Shown("col"): "a"}) == 2.0
    assert q.append(**{Shown("row"): {"a": 4.0}, Shown("ts"): 1}) is None
    assert q.mean("a") == 3.0


def test_unexpected_keyword_is_shown_through_str(q):
    name = Shown("bogus")
    check_call(
        lambda: q.mean(**{name: "a"}),
        watched=(q, name),
        raises=TypeError,
        message="Quillometer.mean() got an unexpected keyword argument 'shown-name'",
    )
    assert_free(q, "a")


def test_unprintable_keyword_name(q, unraisable):
    name = Unprintable("bogus")
    for call, display in [
        (lambda: q.mean(**{name: "a"}), "Quillometer.mean()"),
        (lambda: q.append(**{name: {}}), "Quillometer.append()"),
        (lambda: Quillometer(**{name: []}), NEW),
    ]:
        before = refcounts((q, name))
        got = outcome(call)
        assert got[:3] == (
            "raised",
            TypeError,
            f"{display} got an unexpected keyword argument '<unprintable Unprintable object>'",
        )
        assert len(unraisable) == 1
        exc_type, exc_text, obj = unraisable[0]
        assert exc_type is ValueError
        assert exc_text == "no text for this name"
        assert obj is name
        del obj
        unraisable.clear()
        assert refcounts((q, name)) == before
    assert_free(q, "a")


# --- what only a C caller can pass -------------------------------------------------------------
# Python's call machinery refuses repeated and non-str keyword names before an entry runs; a C
# caller can pass anything, and the entries judge it themselves.


def test_fast_call_with_no_argument_array(q):
    check_call(
        lambda: call_raw("mean", q, null_args=True),
        watched=(q,),
        raises=TypeError,
        message="Quillometer.mean() missing 1 required positional argument: 'col'",
    )
    check_call(
        lambda: call_raw("append", q, null_args=True),
        watched=(q,),
        raises=TypeError,
        message="Quillometer.append() missing 2 required positional arguments: 'row' and 'ts'",
    )
    assert_free(q, "a")


def test_fast_call_keyword_names_judged_in_order(q):
    q.append({"a": 2.0}, 0)
    assert call_raw("mean", q, "a", kwnames=()) == 2.0
    cases = [
        (("col", "col"), ["a", "a"], "Quillometer.mean() got multiple values for argument 'col'"),
        ((5,), ["a"], "Quillometer.mean() got an unexpected keyword argument '5'"),
        ((b"col",), ["a"], "Quillometer.mean() got an unexpected keyword argument 'b'col''"),
        (("col", None), ["a", "a"], "Quillometer.mean() got an unexpected keyword argument 'None'"),
        ((None, "col"), ["a", "a"], "Quillometer.mean() got an unexpected keyword argument 'None'"),
    ]
    for kwnames, values, message in cases:
        check_call(
            lambda: call_raw(
                "mean", q, kwnames=kwnames, **{f"v{i}": v for i, v in enumerate(values)}
            ),
            watched=(q,) + tuple(k for k in kwnames if k is not None),
            raises=TypeError,
            message=message,
        )
    check_call(
        lambda: call_raw("append", q, kwnames=("ts", "row", "ts"), v0=1, v1={}, v2=2),
        watched=(q,),
        raises=TypeError,
        message="Quillometer.append() got multiple values for argument 'ts'",
    )
    assert_free(q, "a")


def test_tuple_and_dict_convention_from_a_c_caller():
    q = call_new_raw((["a"], 2, 0.5, 10))  # no keyword dict at all
    q.append({"a": 3.0}, 0)
    assert q.mean("a") == 3.0
    q = call_new_raw((["a"],), {"window_size": 2, "alpha": 0.5, "time_window": 10})
    assert q.rate("a") == 0.0
    key = fresh_int(12345)
    for kwargs, message in [
        ({key: 1}, f"{NEW} got an unexpected keyword argument '12345'"),
        ({"alpha": 0.5, key: 1}, f"{NEW} got an unexpected keyword argument '12345'"),
        ({b"alpha": 1}, f"{NEW} got an unexpected keyword argument 'b'alpha''"),
        (
            {},
            f"{NEW} missing 3 required positional arguments: 'window_size', 'alpha', and 'time_window'",
        ),
    ]:
        check_call(
            lambda: call_new_raw((["a"],), kwargs),
            watched=(key, kwargs),
            raises=TypeError,
            message=message,
        )
