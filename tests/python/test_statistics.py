"""The ten statistics end to end: worked examples, the exact arithmetic, NaN and infinities,
windows, column lookup and what a failed append leaves behind."""

import math
import random

import pytest
from conftest import QUERIES, Quillometer, assert_free, bits, outcome, run_python, stats_of

INF = float("inf")
NAN = float("nan")


def feed(q, col, values, timestamps=None):
    for i, x in enumerate(values):
        q.append({col: x}, i if timestamps is None else timestamps[i])


def expect(q, col, **expected):
    got = {name: bits(getattr(q, name)(col)) for name in expected}
    assert got == {name: bits(float(v)) for name, v in expected.items()}


ZERO = dict.fromkeys(QUERIES, 0.0)


# --- worked examples ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "window_size, alpha, time_window",
    [(3, 0.5, 10), (0, 0.5, 10), (1, NAN, -5), (2**20, INF, 0), (5, -2.0, 2**63 - 1)],
)
def test_fresh_column_answers_positive_zero(window_size, alpha, time_window):
    q = Quillometer(["a", "b"], window_size, alpha, time_window)
    expect(q, "a", **ZERO)
    q.append({"b": 3.0}, 1)
    expect(q, "a", **ZERO)


def test_single_value():
    q = Quillometer(["a"], 1, 0.5, 10)
    q.append({"a": 5.0}, 0)
    expect(
        q,
        "a",
        mean=5,
        variance=0,
        last=5,
        rolling_mean=5,
        rolling_std=0,
        zscore=0,
        time_mean=5,
        time_std=0,
        rate=0.1,
        ewma=5,
    )


def test_four_values_population_statistics():
    q = Quillometer(["a"], 10, 0.5, 100)
    feed(q, "a", [1.0, 2.0, 3.0, 4.0], [0, 10, 20, 30])
    expect(
        q,
        "a",
        mean=2.5,
        variance=1.25,
        last=4,
        rolling_mean=2.5,
        rolling_std=1.118033988749895,
        zscore=1.3416407864998738,
        time_mean=2.5,
        time_std=1.118033988749895,
        rate=0.04,
    )


def test_count_window_of_two():
    q = Quillometer(["a"], 2, 0.5, 100)
    feed(q, "a", [1.0, 2.0, 3.0])
    expect(
        q, "a", rolling_mean=2.5, rolling_std=0.5, zscore=1.0, mean=2.0, variance=0.6666666666666666
    )


def test_clamped_spread_of_equal_values():
    q = Quillometer(["a", "b"], 3, 0.5, 100)
    for _ in range(3):
        q.append({"a": 0.1, "b": 0.3}, 0)
    # 0.1: the sums give a slightly negative v, clamped to +0.0
    expect(q, "a", rolling_std=0.0, zscore=0.0, time_std=0.0)
    # 0.3: v is about 1.4e-17 and stays; m equals last exactly
    expect(q, "b", rolling_std=3.725290298461914e-09, zscore=0.0, time_std=3.725290298461914e-09)


def test_time_window_holds_the_recent_values():
    q = Quillometer(["a"], 10, 0.5, 10)
    feed(q, "a", [1.0, 2.0, 3.0, 4.0], [0, 5, 10, 20])
    expect(q, "a", time_mean=3.5, time_std=0.5, rate=0.2, mean=2.5)


def test_zero_time_window():
    q = Quillometer(["a"], 10, 0.5, 0)
    feed(q, "a", [5.0, 6.0], [7, 7])
    expect(q, "a", time_mean=5.5, time_std=0.5, rate=0.0)


@pytest.mark.parametrize("time_window", [-1, -10, -(2**63)])
def test_negative_time_window_keeps_nothing(time_window):
    q = Quillometer(["a"], 10, 0.5, time_window)
    feed(q, "a", [1.0, 2.0, 3.0], [0, 0, 1])
    expect(q, "a", time_mean=0, time_std=0, rate=0, mean=2, last=3)


def test_zero_window_size_keeps_nothing():
    q = Quillometer(["a"], 0, 0.5, 10)
    feed(q, "a", [2.0, 4.0])
    expect(
        q,
        "a",
        rolling_mean=0,
        rolling_std=0,
        zscore=0,
        mean=3,
        variance=1,
        last=4,
        ewma=3,
        time_mean=3,
        rate=0.2,
    )


def test_welford_running_statistics():
    q = Quillometer(["a"], 4, 0.5, 10)
    q.append({"a": 2.0}, 0)
    expect(q, "a", mean=2, variance=0)
    q.append({"a": 4.0}, 1)
    expect(q, "a", mean=3, variance=1)


def test_count_window_slides():
    q = Quillometer(["a"], 3, 0.5, 100)
    feed(q, "a", [1.0, 2.0, 3.0, 4.0])
    # window 2, 3, 4 with sum ((1 + 2 + 3) + 4) - 1
    expect(q, "a", rolling_mean=3.0, rolling_std=math.sqrt(29 / 3 - 9.0), last=4)


def test_time_window_edges():
    q = Quillometer(["a"], 10, 0.5, 10)
    feed(q, "a", [1.0, 2.0, 3.0], [0, 5, 10])
    expect(q, "a", time_mean=2.0, rate=0.3)  # 10 - 0 = 10 is not more than 10
    q.append({"a": 4.0}, 11)
    expect(q, "a", time_mean=3.0, rate=0.3)  # the entry of ts 0 left: (((1 + 2) + 3) + 4) - 1 = 9


def test_zero_time_window_same_timestamps():
    q = Quillometer(["a"], 10, 0.5, 0)
    feed(q, "a", [1.0, 2.0, 3.0], [5, 5, 5])
    expect(q, "a", time_mean=2.0, rate=0.0)
    q.append({"a": 4.0}, 6)
    expect(q, "a", time_mean=4.0, time_std=0.0)  # ((6 + 4) - 1 - 2 - 3) / 1


def test_timestamps_going_back():
    q = Quillometer(["a"], 10, 0.5, 10)
    feed(q, "a", [1.0, 3.0], [100, 50])
    expect(q, "a", time_mean=2.0, rate=0.2)  # 50 - 100 is negative: both stay
    q.append({"a": 5.0}, 105)
    # only the front entry (ts 100) is examined; the older one behind it stays
    expect(q, "a", time_mean=3.0, rate=0.3)
    q.append({"a": 7.0}, 111)
    # ts 100 leaves (11 > 10), then ts 50 (61 > 10); ts 105 stays
    expect(q, "a", time_mean=6.0, rate=0.2)


@pytest.mark.parametrize(
    "first, second, kept",
    [
        (-1, 2**63 - 1, 1),  # exact difference 2**63: the older entry leaves
        (-(2**63), 2**63 - 1, 1),  # exact difference 2**64 - 1
        (-(2**63), 11 - 2**63, 1),
        (2**63 - 1, -2, 2),  # exact difference -(2**63 + 1): both stay
        (2**63 - 1, -(2**63), 2),
        (10, -(2**63), 2),
        (0, 10, 2),
        (0, 11, 1),
    ],
)
def test_timestamp_differences_are_exact(first, second, kept):
    q = Quillometer(["a"], 10, 0.5, 10)
    q.append({"a": 1.0}, first)
    q.append({"a": 3.0}, second)
    if kept == 1:
        expect(q, "a", rate=0.1, time_mean=3.0)  # ((1 + 3) - 1) / 1
    else:
        expect(q, "a", rate=0.2, time_mean=2.0)


def test_ewma():
    q = Quillometer(["a"], 10, 0.5, 10)
    q.append({"a": 10.0}, 0)
    expect(q, "a", ewma=10)
    q.append({"a": 20.0}, 1)
    expect(q, "a", ewma=15)


@pytest.mark.parametrize("alpha", [NAN, INF, -3.0, 0.0, 1.0, 7.5])
def test_first_value_sets_ewma_whatever_alpha(alpha):
    q = Quillometer(["a"], 1, alpha, 1)
    q.append({"a": 4.0}, 0)
    expect(q, "a", ewma=4.0)
    q.append({"a": 6.0}, 0)
    expect(q, "a", ewma=6.0 * alpha + (1 - alpha) * 4.0)


# --- the exact arithmetic ----------------------------------------------------------------------
# Each case uses values for which a differently ordered formula gives other bits; the test asserts
# that difference, so it cannot pass by accident.


def test_running_mean_and_variance_follow_welford():
    values = [0.1, 0.2, 0.3]
    mean, m2, n = 0.0, 0.0, 0
    for x in values:
        n += 1
        delta = x - mean
        mean = delta / float(n) + mean
        m2 = (x - mean) * delta + m2
    naive_mean = (0.1 + 0.2 + 0.3) / 3
    assert bits(naive_mean) != bits(mean)
    q = Quillometer(["a"], 3, 0.5, 10)
    feed(q, "a", values)
    expect(q, "a", mean=mean, variance=m2 / 3.0)
    assert bits(q.mean("a")) == bits(0.2)
    assert bits(q.variance("a")) == bits(0.006666666666666664)


def test_window_sums_are_incremental():
    q = Quillometer(["a"], 2, 0.5, 100)
    feed(q, "a", [0.1, 0.2, 0.3])
    window_sum = ((0.1 + 0.2) + 0.3) - 0.1
    assert bits(window_sum / 2) != bits((0.2 + 0.3) / 2)
    expect(q, "a", rolling_mean=window_sum / 2)
    assert q.rolling_mean("a") == 0.25000000000000006


def test_time_sums_are_incremental():
    q = Quillometer(["a"], 10, 0.5, 1)
    feed(q, "a", [0.1, 0.2, 0.3], [0, 1, 2])
    time_sum = ((0.1 + 0.2) + 0.3) - 0.1
    expect(q, "a", time_mean=time_sum / 2)
    assert q.time_mean("a") == 0.25000000000000006


def spread_parts(values):
    s = q_ = 0.0
    for x in values:
        s = s + x
        q_ = q_ + x * x
    d = float(len(values))
    m = s / d
    v = q_ / d - m * m
    return s, q_, d, m, (v if v > 0.0 else 0.0)


@pytest.mark.parametrize("values", [[0.4, 2.5, 2.3], [1.1, 2.2, 3.3]])
def test_window_spread_order(values):
    s, sq, d, m, v = spread_parts(values)
    assert bits(math.sqrt(v)) != bits(math.sqrt(sq / d - (s * s) / (d * d)))
    if values[0] == 0.4:
        assert bits(math.sqrt(v)) != bits(math.sqrt((sq - s * s / d) / d))
    q = Quillometer(["a"], 3, 0.5, 100)
    feed(q, "a", values)
    z = (values[-1] - m) / math.sqrt(v)
    expect(
        q,
        "a",
        rolling_std=math.sqrt(v),
        time_std=math.sqrt(v),
        zscore=z,
        rolling_mean=m,
        time_mean=m,
    )


def test_ewma_order():
    alpha = 0.1
    expected = 0.7 * alpha + (1 - alpha) * 0.3
    assert bits(expected) != bits(0.3 + alpha * (0.7 - 0.3))
    q = Quillometer(["a"], 1, alpha, 1)
    feed(q, "a", [0.3, 0.7])
    expect(q, "a", ewma=expected)
    assert q.ewma("a") == 0.34


def test_rate_divides_as_doubles():
    time_window = 2**53 + 1
    q = Quillometer(["a"], 1, 0.5, time_window)
    q.append({"a": 1.0}, 0)
    assert bits(1 / time_window) != bits(1.0 / float(time_window))
    expect(q, "a", rate=1.0 / float(time_window))


@pytest.mark.parametrize(
    "time_window, count, expected", [(3, 1, 1 / 3), (7, 3, 3 / 7), (2**63 - 1, 2, 2 / 2**63)]
)
def test_rate(time_window, count, expected):
    q = Quillometer(["a"], 1, 0.5, time_window)
    feed(q, "a", [1.0] * count, [0] * count)
    expect(q, "a", rate=expected)


# --- NaN and infinities ------------------------------------------------------------------------


def test_nan_spoils_the_sums_for_good():
    q = Quillometer(["a"], 2, 0.5, 1)
    feed(q, "a", [NAN, 1.0, 2.0, 3.0], [0, 10, 20, 30])  # the NaN has left both windows
    got = stats_of(q, "a")
    assert got["rolling_mean"] == "nan" and got["time_mean"] == "nan"
    assert got["mean"] == "nan" and got["variance"] == "nan" and got["ewma"] == "nan"
    assert got["rolling_std"] == got["zscore"] == got["time_std"] == bits(0.0)
    assert got["last"] == bits(3.0)
    assert got["rate"] == bits(1.0)


def test_infinity_leaving_a_window_leaves_nan():
    q = Quillometer(["a"], 1, 0.5, 1)
    feed(q, "a", [INF, 1.0], [0, 5])
    got = stats_of(q, "a")
    assert got["rolling_mean"] == "nan" and got["time_mean"] == "nan"
    assert got["rolling_std"] == got["zscore"] == got["time_std"] == bits(0.0)
    assert got["mean"] == "nan" and got["variance"] == "nan"  # -inf / 2 + inf
    assert got["rate"] == bits(1.0) and got["last"] == bits(1.0)


def test_infinity_inside_a_window():
    q = Quillometer(["a"], 2, 0.5, 10)
    feed(q, "a", [1.0, -INF])
    got = stats_of(q, "a")
    assert got["rolling_mean"] == bits(-INF) and got["time_mean"] == bits(-INF)
    assert got["rolling_std"] == got["zscore"] == got["time_std"] == bits(0.0)  # inf - inf clamped
    assert got["last"] == bits(-INF) and got["ewma"] == bits(-INF)


def test_nan_alpha_after_the_first_value():
    q = Quillometer(["a"], 1, NAN, 1)
    feed(q, "a", [1.0, 2.0])
    assert math.isnan(q.ewma("a"))
    assert q.mean("a") == 1.5


def test_negative_zero_passes_through():
    q = Quillometer(["a"], 1, 0.5, 1)
    q.append({"a": -0.0}, 0)
    expect(q, "a", last=-0.0, ewma=-0.0, mean=0.0)  # the mean is -0.0/1 + 0.0


# --- columns -----------------------------------------------------------------------------------


def test_columns_are_independent():
    q = Quillometer(["a", "b"], 2, 0.5, 10)
    q.append({"b": 1.0}, 0)
    q.append({"a": 5.0}, 100)
    q.append({"a": 7.0}, 101)
    expect(q, "b", rate=0.1, time_mean=1.0, mean=1.0, last=1.0)  # not aged by a's timestamps
    expect(q, "a", rate=0.2, mean=6.0)
    q.append({"a": 1.0, "b": 3.0}, 102)
    expect(q, "b", rate=0.1, time_mean=3.0, mean=2.0)


def test_queries_change_nothing():
    q = Quillometer(["a"], 2, 0.5, 10)
    feed(q, "a", [1.5, 2.5, 4.0])
    first = stats_of(q, "a")
    for _ in range(3):
        assert stats_of(q, "a") == first


def test_results_are_floats_and_append_returns_none():
    q = Quillometer(["a"], 2, 0.5, 10)
    assert q.append({"a": 1}, 0) is None
    for name in QUERIES:
        assert type(getattr(q, name)("a")) is float


NAMES = ["a", "A", "a ", "", "\u00e9", "e\u0301", "n\x00ul", "\U0001f600", "it's"]


def test_names_compare_by_exact_bytes():
    q = Quillometer(NAMES, 2, 0.5, 10)
    for i, name in enumerate(NAMES):
        q.append({name: float(i + 1)}, 0)
    assert [q.last(name) for name in NAMES] == [float(i + 1) for i in range(len(NAMES))]


@pytest.mark.parametrize("name", QUERIES)
@pytest.mark.parametrize("col", ["b", "A", "a ", " a", "", "e\u0301", "n", "n\x00", "\u00e9\u00e9"])
def test_query_of_unknown_column(name, col, PanicException):
    q = Quillometer(["a", "\u00e9", "n\x00ul"], 2, 0.5, 10)
    q.append({"a": 2.0}, 0)
    got = outcome(lambda: getattr(q, name)(col))
    assert got == ("raised", PanicException, "Column does not exist", ("Column does not exist",))
    expect(q, "a", last=2.0, mean=2.0)
    assert_free(q, "a")


@pytest.mark.parametrize(
    "col", ["zz", "", "A", "it's", "x\x00y", "\u00e9t\u00e9", "\U0001f600", "x" * 600]
)
def test_append_of_unknown_column(col, PanicException):
    q = Quillometer(["a"], 2, 0.5, 10)
    got = outcome(lambda: q.append({col: 1.0}, 0))
    message = f"Column '{col}' does not exist"
    assert got == ("raised", PanicException, message, (message,))
    expect(q, "a", **ZERO)
    assert_free(q, "a")


def test_frame_without_columns(PanicException):
    q = Quillometer([], 2**63, 0.5, 10)
    assert q.append({}, 0) is None
    assert outcome(lambda: q.append({"a": 1.0}, 0))[1:3] == (
        PanicException,
        "Column 'a' does not exist",
    )
    for name in QUERIES:
        assert outcome(lambda: getattr(q, name)("a"))[1:3] == (
            PanicException,
            "Column does not exist",
        )


def test_failed_append_applies_nothing(PanicException):
    names = [f"c{i}" for i in range(24)]
    q = Quillometer(names, 3, 0.5, 10)
    q.append(dict.fromkeys(names, 1.0), 0)
    before = {n: stats_of(q, n) for n in names}
    rng = random.Random(20240611)
    for attempt in range(40):
        chosen = rng.sample(names, rng.randint(1, len(names)))
        row = {n: float(attempt + 2) for n in chosen}
        row["zz"] = 5.0
        items = list(row.items())
        rng.shuffle(items)
        got = outcome(lambda: q.append(dict(items), 1))
        assert got[1:3] == (PanicException, "Column 'zz' does not exist")
        assert {n: stats_of(q, n) for n in names} == before
    # two unknown names: either may be reported, and still nothing is applied
    got = outcome(lambda: q.append({"c1": 9.0, "yy": 1.0, "zz": 2.0}, 1))
    assert got[1] is PanicException and got[2] in (
        "Column 'yy' does not exist",
        "Column 'zz' does not exist",
    )
    assert {n: stats_of(q, n) for n in names} == before
    q.append({"c1": 9.0}, 1)
    assert q.last("c1") == 9.0


# --- construction ------------------------------------------------------------------------------


def test_capacity_overflow(PanicException):
    for window_size in (2**60, 2**60 + 1, 2**63, 2**64 - 1):
        got = outcome(lambda: Quillometer(["a"], window_size, 0.5, 10))
        assert got == ("raised", PanicException, "capacity overflow", ("capacity overflow",))
        got = outcome(lambda: Quillometer(["a", "b"], window_size, 0.5, 10))
        assert got[1:3] == (PanicException, "capacity overflow")
    for window_size in (2**60, 2**63, 2**64 - 1):
        q = Quillometer([], window_size, 0.5, 10)
        assert q.append({}, 0) is None


def test_window_storage_that_cannot_be_had_is_a_memory_error():
    code = """
        from quillometer import Quillometer
        for window_size in (2**59, 2**60 - 1, 2**58 + 3):
            for names in (["a"], ["a", "b"]):
                try:
                    Quillometer(names, window_size, 0.5, 10)
                except MemoryError as exc:
                    print(type(exc).__name__)
                except BaseException as exc:
                    print("other", type(exc).__name__, exc)
                else:
                    print("built")
        q = Quillometer(["a"], 2, 0.5, 10)
        q.append({"a": 2.0}, 0)
        print(q.mean("a"))
    """
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["MemoryError"] * 6 + ["2.0"]
    assert "panicked" not in proc.stderr


def test_large_windows_work():
    q = Quillometer(["a"], 2**16, 0.5, 2**40)
    values = [float(i % 7) for i in range(5000)]
    feed(q, "a", values)
    s = 0.0
    for x in values:
        s = s + x
    expect(q, "a", rolling_mean=s / 5000, time_mean=s / 5000, rate=5000 / 2**40, last=values[-1])
