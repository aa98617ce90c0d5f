"""Time units of the monitor: durations on the command line, timestamps shown as dates, rates
per second, hour or day, and numbers that fit a table."""

from __future__ import annotations

import math
import re
from datetime import datetime, timedelta, timezone

from quillometer_tools.feed import InputError

EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
DURATION_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86_400, "w": 604_800}
DURATION = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*([smhdw])\s*$")


def parse_duration(text: str, seconds_per_unit: float | None) -> int:
    """A time window in timestamp units: a plain integer as it is, or a duration such as 90s,
    30m, 24h, 7d or 2w converted with the input's unit."""
    text = text.strip()
    try:
        units = int(text)
    except ValueError:
        match = DURATION.match(text)
        if match is None:
            raise InputError(f"--time-window {text!r}: expected timestamp units (an integer) or "
                             "a duration such as 90s, 30m, 24h, 7d or 2w") from None
        if seconds_per_unit is None:
            raise InputError(f"--time-window {text}: the times are plain integers with no unit; "
                             "give the window in their units, or their unit with --epoch")
        scaled = float(match.group(1)) * DURATION_UNITS[match.group(2)] / seconds_per_unit
        units = round(scaled) if math.isfinite(scaled) else 2**63  # inf: far out of range
    if not 0 <= units < 2**63:
        raise InputError(f"--time-window {text}: out of range")
    return units


def format_duration(units: int, seconds_per_unit: float | None) -> str:
    """24h, 7d, 90s ... when the unit is known, else the number of units."""
    if seconds_per_unit is None:
        return f"{units}"
    seconds = units * seconds_per_unit
    for suffix, size in (("w", 604_800), ("d", 86_400), ("h", 3600), ("m", 60)):
        if seconds >= size and seconds % size == 0:
            return f"{int(seconds // size)}{suffix}"
    return f"{seconds:g}s"


def to_datetime(ts: int, seconds_per_unit: float) -> datetime | None:
    """The timestamp as a UTC date-time, or None outside the years datetime can show."""
    try:
        if seconds_per_unit >= 1:
            return EPOCH + timedelta(seconds=ts * int(seconds_per_unit))
        per_second = round(1 / seconds_per_unit)
        whole, part = divmod(ts, per_second)
        return EPOCH + timedelta(seconds=whole, microseconds=part * 1_000_000 // per_second)
    except OverflowError:
        return None


def format_time(ts: int, seconds_per_unit: float | None) -> str:
    """A timestamp for a flag line: a date and minute, with seconds and milliseconds when the
    time has them; the number itself when the unit is unknown."""
    moment = None if seconds_per_unit is None else to_datetime(ts, seconds_per_unit)
    if moment is None:
        return str(ts)
    if moment.microsecond:
        return moment.strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]
    if moment.second:
        return moment.strftime("%Y-%m-%d %H:%M:%S")
    return moment.strftime("%Y-%m-%d %H:%M")


def format_rate(rate: float, seconds_per_unit: float | None) -> str:
    """The module's rate (values per timestamp unit) per second, hour or day, whichever gives a
    figure of at least 1; per unit when the unit is unknown."""
    if seconds_per_unit is None:
        return f"{significant(rate)}/unit"
    per_second = rate / seconds_per_unit
    for suffix, size in (("s", 1), ("h", 3600)):
        if per_second * size >= 1:
            return f"{significant(per_second * size)}/{suffix}"
    return f"{significant(per_second * 86_400)}/d"


def significant(value: float) -> str:
    """Three significant digits, two decimals at least for small figures, no exponent below
    a million."""
    if value == 0:
        return "0"
    if abs(value) >= 1e6:
        return f"{value:.3g}"
    decimals = max(2, 2 - math.floor(math.log10(abs(value))))
    return f"{value:.{decimals}f}"
