"""Helpers of the scale-out tests: a test stream and a bit-for-bit comparison with one
in-process Quillometer."""

import random

from quillometer import Quillometer
from quillometer_tools.feed import Row
from quillometer_tools.ray import STATISTICS

SETTINGS = {"window_size": 50, "alpha": 0.1, "time_window": 400}
COLUMNS = [f"c{i:02d}" for i in range(24)] + ["pressure", "flow", "débit", "温度"]
SPECIAL = [-0.0, 5e-324, 1e300, -1e300, float("inf"), 2.0**-1074 * 3, 1.0 + 2.0**-52]


def make_stream(rows, seed, columns=COLUMNS):
    """[Row(ts, values)]: timestamps that repeat and jump past the time window, rows naming one to
    four columns, and now and then a value at the edges of the double range."""
    rng = random.Random(seed)
    stream, ts = [], 10_000
    for _ in range(rows):
        ts += rng.choice((0, 0, 1, 3, 17, 250, 900)) if rng.random() < 0.3 else 1
        row = {}
        for name in rng.sample(columns, min(len(columns), rng.choice((1, 1, 2, 3, 4)))):
            row[name] = rng.choice(SPECIAL) if rng.random() < 0.002 else rng.gauss(100.0, 15.0)
        stream.append(Row(ts, row))
    return stream


def reference(stream, columns=COLUMNS):
    q = Quillometer(columns, **SETTINGS)
    for ts, row in stream:
        q.append(row, ts)
    return q


def bits(x):
    assert type(x) is float, f"expected a float, got {type(x).__name__}"
    return "nan" if x != x else x.hex()


def assert_identical(table, q, columns=COLUMNS):
    """Every statistic of every column in `table` (a snapshot) has the bits of `q`'s."""
    assert sorted(table) == sorted(columns)
    differences = [
        (name, statistic, table[name][statistic], getattr(q, statistic)(name))
        for name in columns
        for statistic in STATISTICS
        if bits(table[name][statistic]) != bits(getattr(q, statistic)(name))
    ]
    assert not differences, differences[:5]
