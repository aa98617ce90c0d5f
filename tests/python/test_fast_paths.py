"""The inline readers agree with the general conversions: names in every form of str find the
same columns under any hash seed, timestamps read from an int's digits equal the general
reading, a row that grows while it converts stays within its storage, and conversion errors
still come before an unknown name."""

import json
import random

import pytest
from conftest import QUERIES, Quillometer, bits, fresh_str, outcome, run_python, stats_of


class Name(str):
    """A str subclass whose own hash differs from str's, so the interpreter never caches str's."""

    def __hash__(self):
        return 7


class Stamp(int):
    """An int subclass: its value is read by the general conversion, not from its digits."""


NAME_FORMS = """
    import json, sys
    from quillometer import Quillometer

    class Name(str):
        def __hash__(self):
            return 7

    texts = ["price", "a", "", "é", "日本語", "\\U0001f600 up", "x" * 40] + [f"c{i}" for i in range(300)]
    # construction from names whose str hash is not cached, and from subclass instances
    q = Quillometer([Name(t) if i % 2 else "".join(list(t)) for i, t in enumerate(texts)], 4, 0.5, 10)
    for i, t in enumerate(texts):
        key = Name(t) if i % 3 == 0 else t
        q.append({key: float(i)}, i)
    seen = []
    for i, t in enumerate(texts):
        forms = [t, "".join(list(t)), Name(t)]
        seen.append(sorted({q.last(f) for f in forms}))
    print(json.dumps(seen))
"""


@pytest.mark.parametrize("seed", ["0", "1", "12345", "random"])
def test_every_form_of_a_name_finds_its_column(seed):
    proc = run_python(NAME_FORMS, PYTHONHASHSEED=seed)
    assert proc.returncode == 0, proc.stderr
    seen = json.loads(proc.stdout)
    assert seen == [[float(i)] for i in range(len(seen))]


BOUNDARIES = [
    0,
    1,
    -1,
    2**30 - 1,
    2**30,
    -(2**30),
    2**60 - 1,
    -(2**60 - 1),
    2**60,
    -(2**60),
    2**62,
    2**63 - 1,
    -(2**63),
]


def test_timestamps_read_from_digits_equal_the_general_reading():
    rng = random.Random(5)
    stamps = []
    for b in BOUNDARIES:
        stamps += [v for v in (b - 2, b - 1, b, b + 1, b + 2) if -(2**63) <= v < 2**63]
    stamps += [rng.randrange(-(2**63), 2**63) for _ in range(200)]
    for width in (0, 1, 3, 2**31, 2**62):
        exact = Quillometer(["a"], 5, 0.5, width)
        general = Quillometer(["a"], 5, 0.5, width)
        for i, ts in enumerate(stamps):
            x = float(i % 7)
            exact.append({"a": x}, ts)
            general.append({"a": x}, Stamp(ts))
            assert stats_of(exact, "a") == stats_of(general, "a"), (width, ts)


def test_row_yielding_one_entry_more_than_its_size_is_stopped(PanicException):
    # The first value's conversion swaps a key for a new one: the dict keeps its size, so the
    # walk meets one entry more than it started with, at the boundary of the inline storage.
    for size in (1, 63, 64, 65, 200):
        names = [f"c{i}" for i in range(size + 1)]
        q = Quillometer(names, 3, 0.5, 10)
        row = {}

        class Swap:
            def __float__(self):
                del row["c0"]
                row[names[size]] = 2.0
                return 1.0

        row["c0"] = Swap()
        for name in names[1:size]:
            row[name] = 1.0
        got = outcome(lambda: q.append(row, 0))
        assert got[1:3] == (PanicException, "dictionary keys changed during iteration")
        assert all(q.rate(n) == 0.0 for n in names)
        q.append(dict.fromkeys(names, 3.0), 1)
        assert all(q.last(n) == 3.0 for n in names)


def test_conversion_errors_come_before_an_unknown_name(PanicException):
    q = Quillometer(["a", "b"], 3, 0.5, 10)
    before = stats_of(q, "a")
    got = outcome(lambda: q.append({"zz": 1.0, "a": "bad"}, 0))
    assert got[1] is TypeError and got[2].startswith("argument 'row': ")
    got = outcome(lambda: q.append({"zz": 1.0, "a": 1.0}, 1.5))
    assert got[1] is TypeError and got[2].startswith("argument 'ts': ")
    got = outcome(lambda: q.append({"a": 1.0, "zz": 1.0, "b": 2.0}, 0))
    assert got[1:3] == (PanicException, "Column 'zz' does not exist")
    assert stats_of(q, "a") == before == stats_of(q, "b")


def test_first_unknown_name_is_reported_whatever_follows(PanicException):
    q = Quillometer(["a"], 3, 0.5, 10)

    class Late:
        def __float__(self):
            return 4.0

    # the walk goes on past the unknown name, through values that run Python code
    got = outcome(lambda: q.append({"a": 1.0, "yy": 1.0, fresh_str("zz"): Late(), "a2": 0.0}, 0))
    assert got[1:3] == (PanicException, "Column 'yy' does not exist")
    assert q.rate("a") == 0.0


def test_queries_by_fresh_and_subclass_names_agree():
    q = Quillometer(["alpha", "beta"], 4, 0.25, 100)
    for i in range(10):
        q.append({"alpha": i * 0.5, Name("beta"): -i * 1.5}, i)
    for name in ("alpha", "beta"):
        expected = stats_of(q, name)
        assert stats_of(q, fresh_str(name)) == expected
        assert stats_of(q, Name(name)) == expected
        assert {m: bits(getattr(q, m)(col=name)) for m in QUERIES} == expected


@pytest.mark.parametrize("name", QUERIES)
def test_keywords_beside_a_ready_name_of_a_column_are_bound(name):
    # A literal name of an existing column has its hash cached: only the keywords can send the
    # call away from the inline path to the binding errors.
    q = Quillometer(["a"], 4, 0.5, 10)
    q.append({"a": 1.0}, 0)
    method = getattr(q, name)
    assert outcome(lambda: method("a", col="a"))[1:3] == (
        TypeError,
        f"Quillometer.{name}() got multiple values for argument 'col'",
    )
    assert outcome(lambda: method("a", bogus=1))[1:3] == (
        TypeError,
        f"Quillometer.{name}() got an unexpected keyword argument 'bogus'",
    )
