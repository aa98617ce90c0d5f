"""Figures of the monitor's output: rates per the unit that fits the stream's cadence, and
numbers that fit a table (time itself is handled in quillometer_tools.times)."""

from __future__ import annotations

import math

from quillometer_tools.times import rate_unit


def format_rate(rate: float, seconds_per_unit: float | None, step: float | None) -> str:
    """The module's rate (values per timestamp unit) per the unit that fits the cadence (the
    median step, in timestamp units): per second, minute, hour, day, week or year; per unit
    when the unit is unknown."""
    if seconds_per_unit is None:
        return f"{significant(rate)}/unit"
    per_second = rate / seconds_per_unit
    if step is None:  # a single row: per second, hour or day, whichever gives 1 or more
        suffix, size = next(((suffix, size) for suffix, size in (("s", 1), ("h", 3600))
                             if per_second * size >= 1), ("d", 86_400))
    else:
        suffix, size = rate_unit(step * seconds_per_unit)
    return f"{significant(per_second * size)}/{suffix}"


def significant(value: float) -> str:
    """Three significant digits, two decimals at least for small figures, no exponent below
    a million."""
    if value == 0:
        return "0"
    if abs(value) >= 1e6:
        return f"{value:.3g}"
    decimals = max(2, 2 - math.floor(math.log10(abs(value))))
    return f"{value:.{decimals}f}"
