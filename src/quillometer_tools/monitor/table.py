"""The summary table: one line per column, its widths fitted to its values."""

from __future__ import annotations

import math
import sys

from quillometer_tools.monitor.stream import Monitor, Source
from quillometer_tools.monitor.units import format_rate
from quillometer_tools.times import format_duration

EPS = sys.float_info.epsilon
# A spread whose square is within 64 ulps of the column's scale squared, or a mean within 64
# ulps of its scale, is the rounding drift of running sums (an all-zero window after larger
# values, say): it is shown as 0. The scale is that of the sums, the largest |value - reference|
# (see levels.py). The figures themselves are left as they are.
SPREAD_FLOOR = 8 * math.sqrt(EPS)
MEAN_FLOOR = 64 * EPS


def decimals_for(scale: float) -> int:
    """Two decimals for figures of 0.1 and more; more for smaller ones, up to six."""
    if scale <= 0 or scale >= 0.1:
        return 2
    return min(6, 2 - math.floor(math.log10(scale)))


def fixed(value: float, decimals: int, floor: float = 0.0) -> str:
    """The value with the column's decimals; one within `floor` of zero is 0, never -0.00."""
    if abs(value) <= floor:
        value = 0.0
    text = f"{value:.{decimals}f}"
    return text[1:] if text.startswith("-") and float(text) == 0 else text


def summary_table(monitor: Monitor, source: Source) -> str:
    """Values, skipped cells, all-time mean and std, last value, count-window and time-window
    mean ± std, rate, EWMA and flags per column."""
    settings = monitor.settings
    q = monitor.stats  # the corrected figures
    unit = source.seconds_per_unit
    header = ["column", "values", "skipped", "mean", "std", "last",
              f"rolling {settings.window_size}",
              f"{format_duration(settings.time_window, unit)} window", "rate", "ewma", "flagged"]
    rows = [header]
    for name in monitor.columns:
        tally = monitor.tally[name]
        d = decimals_for(tally.scale)
        mean_floor, spread_floor = MEAN_FLOOR * tally.spread, SPREAD_FLOOR * tally.spread

        def pm(mean: float, std: float) -> str:
            return f"{fixed(mean, d, mean_floor)}±{fixed(std, d, spread_floor)}"

        rows.append([
            name, f"{tally.count}", f"{source.skipped.get(name, 0)}",
            fixed(q.mean(name), d, mean_floor), fixed(monitor.std(name), d, spread_floor),
            fixed(q.last(name), d),
            pm(q.rolling_mean(name), q.rolling_std(name)),
            pm(q.time_mean(name), q.time_std(name)),
            format_rate(q.rate(name), unit, source.timing.step), fixed(q.ewma(name), d, mean_floor),
            f"{tally.flags}",
        ])
    for i in (6, 7):  # mean±std: the ± signs in one line
        parts = [row[i].split("±") for row in rows[1:]]
        left = max(len(part[0]) for part in parts)
        right = max(len(part[1]) for part in parts)
        for row, part in zip(rows[1:], parts):
            row[i] = f"{part[0].rjust(left)}±{part[1].ljust(right)}"
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    lines = []
    for row in rows:
        cells = [row[0].ljust(widths[0])] + [cell.rjust(w) for cell, w in zip(row[1:], widths[1:])]
        lines.append("  ".join(cells).rstrip())
    lines.insert(1, "-" * len(lines[0]))
    return "\n".join(lines)
