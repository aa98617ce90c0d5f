"""The monitor measures each column from its reference level: on values that sit on a large
offset its windowed spreads keep their digits where the module fed the values as they are loses
them, and its levels are still those of the values. A value is flagged from the row that fills
its column's window on."""

import contextlib
import csv
import io
import math
import random
from fractions import Fraction

import pytest

from quillometer import Quillometer
from quillometer_tools.feed import OutputError
from quillometer_tools.monitor.stream import Monitor, Settings

NAME = 'level, "x"\nsecond line'  # a name that csv quoting has to carry through the trace
WINDOW, TIME_WINDOW, ALPHA = 100, 50, 0.1


def exact_mean_std(values):
    mean = sum(map(Fraction, values), Fraction(0)) / len(values)
    variance = sum(((Fraction(x) - mean) ** 2 for x in values), Fraction(0)) / len(values)
    return mean, variance


def relative(x, exact):
    return abs(Fraction(x) - exact) / abs(exact)


@pytest.mark.parametrize("offset", [1e7, -3e6])
def test_offset_series_keeps_the_spread_and_the_levels(offset):
    """Readings like NIST's NumAcc4 (a spread of 0.1 on 1e7), 1,000 of them so that both windows
    evict: spreads within 1e-12 of the exact figures (the module raw misses them by more than
    1e-6), levels within 2 ulps, last as given; the trace holds the same figures."""
    rng = random.Random(4)
    values = [
        round(offset + rng.choice((0.1, 0.2, 0.3)) + rng.gauss(0, 0.05), 4) for _ in range(1000)
    ]
    trace = io.StringIO()
    monitor = Monitor([NAME], Settings(WINDOW, ALPHA, TIME_WINDOW), trace)
    raw = Quillometer([NAME], WINDOW, ALPHA, TIME_WINDOW)
    ewma = Fraction(values[0])
    for ts, x in enumerate(values):
        monitor.process(ts, {NAME: x})
        raw.append({NAME: x}, ts)
        ewma = Fraction(x) * Fraction(ALPHA) + (1 - Fraction(ALPHA)) * ewma if ts else ewma
    stats = monitor.stats

    windows = {"rolling": values[-WINDOW:], "time": values[-TIME_WINDOW - 1 :], "": values}
    for window, held in windows.items():
        mean, variance = exact_mean_std(held)
        level = getattr(stats, f"{window}_mean" if window else "mean")(NAME)
        assert abs(Fraction(level) - mean) <= 2 * Fraction(math.ulp(level)), window
        if window:
            std = getattr(stats, f"{window}_std")
            assert relative(std(NAME) ** 2, variance) < 1e-12, window
            assert relative(getattr(raw, f"{window}_std")(NAME) ** 2, variance) > 1e-6, window
        else:
            assert relative(stats.variance(NAME), variance) < 1e-12
    mean, variance = exact_mean_std(windows["rolling"])
    z = (Fraction(values[-1]) - mean) / Fraction(math.sqrt(variance))
    assert relative(stats.zscore(NAME), z) < 1e-10
    assert abs(Fraction(stats.ewma(NAME)) - ewma) <= 2 * Fraction(math.ulp(offset))
    assert stats.last(NAME) == values[-1]

    rows = list(csv.DictReader(io.StringIO(trace.getvalue())))
    assert len(rows) == len(values) and rows[-1]["column"] == NAME
    last = {
        key: float(rows[-1][key])
        for key in (
            "rolling_mean",
            "rolling_std",
            "time_mean",
            "time_std",
            "ewma",
            "variance",
            "reference_added_back",
        )
    }
    assert last == {
        "rolling_mean": stats.rolling_mean(NAME),
        "rolling_std": stats.rolling_std(NAME),
        "time_mean": stats.time_mean(NAME),
        "time_std": stats.time_std(NAME),
        "ewma": stats.ewma(NAME),
        "variance": stats.variance(NAME),
        "reference_added_back": values[0],
    }


def test_a_value_is_flagged_from_the_row_that_fills_its_window_on():
    # Window 4, threshold 1: the third value's |z| of 1.41 is not flagged, its window not full
    # yet; the fourth's 1.72 is, on the very row that fills the window.
    monitor = Monitor(["v"], Settings(window_size=4, alpha=0.5, time_window=10, threshold=1.0))
    flagged = [
        [flag.value for flag in monitor.process(ts, {"v": value})]
        for ts, value in enumerate([1.0, 1.0, 100.0, 1000.0])
    ]
    assert flagged == [[], [], [], [1000.0]]
    assert monitor.tally["v"].flags == 1


def test_a_trace_that_cannot_be_written_raises_an_output_error():
    """The library's error names the file and what went wrong; the command adds the flag."""
    full = open("/dev/full", "w", buffering=1)  # line-buffered: the header's write fails at once
    try:
        with pytest.raises(OutputError) as caught:
            Monitor(["v"], Settings(window_size=4, alpha=0.5, time_window=10), full)
    finally:
        with contextlib.suppress(OSError):
            full.close()
    assert (str(caught.value), caught.value.option) == (
        "/dev/full: No space left on device",
        "trace",
    )
