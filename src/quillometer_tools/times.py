"""Time in the companion package, in one place: the 1970 epoch, every accepted form of a time
cell, durations and their units, the cadence of a stream and the precision its times are
shown with.

A timestamp is an integer count of some unit since 1970: seconds for date-times and years,
the given or assumed unit for epoch integers, and no known unit for plain integers.
Errors are TimeError, whose message describes the text it was given.
"""

from __future__ import annotations

import itertools
import math
import re
import statistics
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import UTC, datetime, timedelta

EPOCH = datetime(1970, 1, 1, tzinfo=UTC)
# Seconds per unit of integer timestamps counted from 1970.
EPOCH_UNITS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9}
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
# Seconds from 1970 to the first and the last second that a date-time can show.
EARLIEST, LATEST = -62_135_596_800, 253_402_300_799
# Integers whose date in one epoch unit falls in these years are taken in that unit.
GUESS_YEARS = (1990, 2100)
# A first time in these years (an integer or a float) makes the column a column of years.
YEAR_RANGE = (1000, 2999)
YEAR = 31_556_952  # seconds in a mean Gregorian year of 365.2425 days
DURATION_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86_400, "w": 604_800, "y": YEAR}
DURATION = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*([smhdwy])\s*$")
DURATION_EXAMPLES = "90s, 30m, 24h, 7d, 2w or 1y"
# Rates are shown per the first of these at least as long as the stream's step.
RATE_UNITS = (("s", 1), ("min", 60), ("h", 3600), ("d", 86_400), ("w", 604_800), ("y", YEAR))
# How a time is shown, coarsest first: a strftime format and the digits of a second kept.
PRECISIONS = {
    "year": "%Y",
    "month": "%Y-%m",
    "day": "%Y-%m-%d",
    "minute": "%Y-%m-%d %H:%M",
    "second": "%Y-%m-%d %H:%M:%S",
    "millisecond": "%Y-%m-%d %H:%M:%S.%f",
    "microsecond": "%Y-%m-%d %H:%M:%S.%f",
}


class TimeError(ValueError):
    """A time or a duration that cannot be read; the message describes the text."""


class UnreadableTime(TimeError):
    """A time in none of the forms read without a format."""


def seconds_since_epoch(moment: datetime) -> int:
    """Whole seconds since 1970; a naive date-time is taken as UTC."""
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=UTC)
    try:
        return (moment - EPOCH) // timedelta(seconds=1)
    except OverflowError:
        raise TimeError("time out of range") from None


def parse_iso(text: str) -> datetime:
    """An ISO 8601 date-time, with / accepted between the parts of the date."""
    try:
        return datetime.fromisoformat(text.strip().replace("/", "-"))
    except ValueError:
        raise TimeError(f"{text!r} is not an ISO 8601 date-time") from None


def year_seconds(value: float) -> int:
    """Seconds since 1970 of a year, the fraction being the share of that year gone by
    (1749.5 is the middle of 1749)."""
    if not 1 <= value < 10_000:
        raise TimeError(f"year {value:g} is outside the years 1 to 9999")
    whole = math.floor(value)
    start = seconds_since_epoch(datetime(whole, 1, 1))
    if value == whole:
        return start
    end = LATEST + 1 if whole == 9999 else seconds_since_epoch(datetime(whole + 1, 1, 1))
    return start + round((value - whole) * (end - start))


def finite_float(text: str) -> float | None:
    """The text as a finite float, or None: NaN or an infinity would spoil a window for good."""
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def _int(text: str) -> int | None:
    try:
        return int(text)
    except ValueError:
        return None


def in_years(seconds: float, years: tuple[int, int]) -> bool:
    return (
        seconds_since_epoch(datetime(years[0], 1, 1))
        <= seconds
        < seconds_since_epoch(datetime(years[1], 1, 1))
    )


def guess_epoch_unit(ts: int) -> str | None:
    """The one epoch unit in which the integer falls in GUESS_YEARS, if exactly one does."""
    fits = [unit for unit, size in EPOCH_UNITS.items() if in_years(ts * size, GUESS_YEARS)]
    return fits[0] if len(fits) == 1 else None


def looks_like_time(text: str) -> bool:
    """Whether a cell reads as a number or an ISO date-time (a header cell that does is
    really a value)."""
    text = text.strip()
    if not text:
        return False
    if finite_float(text) is not None:
        return True
    try:
        parse_iso(text)
        return True
    except TimeError:
        return False


class TimeReader:
    """Reads the cells of one time column. The first cell fixes the kind of times, and every
    later cell must have that kind:

    - with a strptime format: date-times in that format;
    - with an epoch unit: integers counted in it since 1970 ('none': plain integers);
    - otherwise by the first cell: an integer in the years 1000 to 2999 or any number with a
      fraction there: years; an integer that falls in 1990-2100 counted in exactly one epoch
      unit: that unit (assumed); another integer: a plain integer; else an ISO 8601 date-time.
    """

    kind: str | None  # 'plain', 'epoch', 'years', 'dates', 'format'; None before the first cell
    seconds_per_unit: float | None
    epoch_unit: str | None
    assumed: str | None  # what was assumed about the times, if anything

    def __init__(self, time_format: str | None = None, epoch: str | None = None) -> None:
        if epoch is not None and time_format is not None:
            raise TimeError(
                "an epoch unit is for integer times and a time format for "
                "date-times; only one of them can apply"
            )
        if epoch is not None and epoch != "none" and epoch not in EPOCH_UNITS:
            raise TimeError(
                f"unknown epoch unit {epoch!r} (one of {', '.join(EPOCH_UNITS)}, or none)"
            )
        self.time_format = time_format
        self.epoch = epoch
        self.kind = None
        self.seconds_per_unit = None
        self.epoch_unit = None
        self.assumed = None
        if time_format is not None:
            self._fix("format", 1.0)
        elif epoch == "none":
            self._fix("plain", None)
        elif epoch is not None:
            self._fix("epoch", EPOCH_UNITS[epoch])
            self.epoch_unit = epoch

    def _fix(self, kind: str, seconds_per_unit: float | None) -> None:
        self.kind = kind
        self.seconds_per_unit = seconds_per_unit

    def kind_of(self, text: str) -> str | None:
        """The kind the cell would fix as a first cell, None if it reads as no time."""
        text = text.strip()
        if self.kind is not None:
            try:
                self._read(text)
            except TimeError:
                return None
            return self.kind
        integer = _int(text)
        if integer is not None:
            if YEAR_RANGE[0] <= integer <= YEAR_RANGE[1]:
                return "years"
            return "epoch" if guess_epoch_unit(integer) is not None else "plain"
        number = finite_float(text)
        if number is not None:
            return "years" if YEAR_RANGE[0] <= number < YEAR_RANGE[1] + 1 else None
        try:
            parse_iso(text)
        except TimeError:
            return None
        return "dates"

    def read(self, text: str) -> int:
        """The cell as a timestamp; the first cell fixes the kind."""
        text = text.strip()
        if self.kind is None:
            kind = self.kind_of(text)
            if kind is None:
                raise UnreadableTime(self._unreadable(text))
            if kind == "epoch":
                integer = int(text)
                unit = guess_epoch_unit(integer)
                assert unit is not None
                self.epoch_unit = unit
                self.assumed = (
                    f"{integer} falls in {GUESS_YEARS[0]}-{GUESS_YEARS[1]} counted "
                    f"in {unit} since 1970"
                )
                self._fix("epoch", EPOCH_UNITS[unit])
            elif kind == "years":
                if _int(text) is not None:
                    self.assumed = f"integers in {YEAR_RANGE[0]}-{YEAR_RANGE[1]} are years"
                self._fix("years", 1.0)
            else:
                self._fix(kind, None if kind == "plain" else 1.0)
        return self._read(text)

    def _read(self, text: str) -> int:
        kind = self.kind
        if kind == "format":
            assert self.time_format is not None
            try:
                moment = datetime.strptime(text, self.time_format)
            except ValueError:
                raise TimeError(
                    f"time {text!r} does not match the time format {self.time_format!r}"
                ) from None
            return seconds_since_epoch(moment)
        if kind in ("plain", "epoch"):
            integer = _int(text)
            if integer is None:
                if kind == "epoch" and self._is_date(text):
                    raise TimeError(
                        f"time {text!r} is a date-time, but the times are integers "
                        f"counted in {self.epoch_unit} since 1970"
                    )
                if self._is_date(text):
                    raise TimeError(
                        f"time {text!r} is a date-time, but the rows before it have integer times"
                    )
                raise UnreadableTime(self._unreadable(text))
            if not INT64_MIN <= integer <= INT64_MAX:
                raise TimeError(f"time {text} is out of the signed 64-bit range")
            if kind == "epoch":
                self._check_epoch(integer)
            return integer
        if kind == "years":
            number = finite_float(text)
            if number is None:
                raise TimeError(f"time {text!r} is not a year, as the rows before it are")
            return year_seconds(number)
        try:
            return seconds_since_epoch(parse_iso(text))
        except TimeError:
            raise UnreadableTime(self._unreadable(text)) from None

    @staticmethod
    def _is_date(text: str) -> bool:
        try:
            parse_iso(text)
            return True
        except TimeError:
            return False

    def _unreadable(self, text: str) -> str:
        return (
            f"cannot read the time {text!r} (expected an integer, a year such as 1700 or "
            "1749.5, or an ISO 8601 date-time such as 2024-05-01 13:45; other forms need "
            "their strptime format, e.g. '%b %d %Y')"
        )

    def _check_epoch(self, ts: int) -> None:
        """An epoch time must fall in the years 1 to 9999; one that does not was most likely
        given in another unit."""
        unit = self.epoch_unit
        assert unit is not None
        if EARLIEST <= ts * EPOCH_UNITS[unit] <= LATEST:
            return
        fits = [
            other
            for other, size in EPOCH_UNITS.items()
            if size < EPOCH_UNITS[unit] and EARLIEST <= ts * size <= LATEST
        ]
        hint = f"; is the unit {fits[0]}?" if fits else ""
        raise TimeError(
            f"time {ts} counted in {unit} since 1970 falls outside the years 1 to 9999{hint}"
        )

    def describe(self) -> str:
        """The kind of times in a few words."""
        if self.kind == "format":
            return f"date-times in the format {self.time_format!r}"
        if self.kind == "epoch":
            return f"epoch {self.epoch_unit}"
        return {
            "plain": "plain integer times",
            "years": "years",
            "dates": "date-times",
            None: "no times yet",
        }[self.kind]


# Durations.


def parse_duration(text: str, seconds_per_unit: float | None) -> int:
    """A duration in timestamp units: a plain integer as it is, or a duration such as 90s,
    30m, 24h, 7d, 2w or 1y converted with the times' unit."""
    text = text.strip()
    units = _int(text)
    if units is None:
        match = DURATION.match(text)
        if match is None:
            raise TimeError(
                f"{text!r}: expected timestamp units (an integer) or a duration "
                f"such as {DURATION_EXAMPLES}"
            )
        if seconds_per_unit is None:
            raise TimeError(
                f"{text}: the times are plain integers with no unit, so a "
                "duration needs to be given in their units"
            )
        scaled = float(match.group(1)) * DURATION_UNITS[match.group(2)] / seconds_per_unit
        units = round(scaled) if math.isfinite(scaled) else 2**63  # inf: far out of range
    if not 0 <= units < 2**63:
        raise TimeError(f"{text}: out of range")
    return units


def format_duration(units: int, seconds_per_unit: float | None) -> str:
    """Timestamp units as a duration in the largest unit that divides it (seconds otherwise);
    the number of units when their size is unknown."""
    if seconds_per_unit is None:
        return f"{units}"
    seconds = units * seconds_per_unit
    for suffix, size in sorted(DURATION_UNITS.items(), key=lambda item: -item[1])[:-1]:
        if seconds >= size and seconds % size == 0:
            return f"{int(seconds // size)}{suffix}"
    return f"{seconds:g}s"


def readable_duration(seconds: float) -> str:
    """A duration close to `seconds`, as a whole number of the largest unit that is within
    5% of it (a fraction of a second below one second)."""
    for suffix, size in sorted(DURATION_UNITS.items(), key=lambda item: -item[1]):
        count = seconds / size
        if round(count) >= 1 and abs(round(count) - count) <= 0.05 * count:
            return f"{round(count)}{suffix}"
    digits = max(0, 1 - math.floor(math.log10(seconds)))  # two significant digits
    return f"{seconds:.{digits}f}s"


def median_step(timestamps: Sequence[int]) -> float | None:
    """The median of the positive steps between consecutive timestamps; None without one."""
    steps = [b - a for a, b in itertools.pairwise(timestamps) if b > a]
    return statistics.median(steps) if steps else None


def rate_unit(step_seconds: float) -> tuple[str, int]:
    """The unit a rate is shown per: the first at least as long as the step."""
    return next((unit for unit in RATE_UNITS if unit[1] >= step_seconds * 0.999), RATE_UNITS[-1])


# Showing timestamps.


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


def precision_for(
    timestamps: Sequence[int], seconds_per_unit: float | None, years: bool, step: float | None
) -> str | None:
    """One precision for all of a stream's times (None: plain numbers). Years are shown as
    fine as their step needs; other times as fine as the finest of the given ones needs."""
    if seconds_per_unit is None:
        return None
    if years:
        seconds = (step or YEAR) * seconds_per_unit
        for precision, least in (
            ("year", 360 * 86_400),
            ("month", 28 * 86_400),
            ("day", 86_400),
            ("minute", 60),
            ("second", 1),
        ):
            if seconds >= least:
                return precision
        return "millisecond"
    finest = "day"
    order = list(PRECISIONS)
    for ts in timestamps:
        moment = to_datetime(ts, seconds_per_unit)
        if moment is None:
            continue
        needed = (
            "microsecond"
            if moment.microsecond % 1000
            else "millisecond"
            if moment.microsecond
            else "second"
            if moment.second
            else "minute"
            if moment.hour or moment.minute
            else "day"
        )
        if order.index(needed) > order.index(finest):
            finest = needed
    return finest


def format_time(ts: int, seconds_per_unit: float | None, precision: str | None = None) -> str:
    """A timestamp at the stream's precision (by default, as fine as this one needs); the
    number itself when the unit is unknown or the date out of range."""
    moment = None if seconds_per_unit is None else to_datetime(ts, seconds_per_unit)
    if moment is None:
        return str(ts)
    if precision is None:
        assert seconds_per_unit is not None
        precision = precision_for([ts], seconds_per_unit, False, None)
        assert precision is not None
    text = moment.strftime(PRECISIONS[precision])
    return text[:-3] if precision == "millisecond" else text


@dataclass(frozen=True)
class Timing:
    """What a source's times are: their unit, their kind in words, what was assumed, the
    median step between the first rows (in timestamp units) and the precision to show."""

    seconds_per_unit: float | None
    kind: str
    assumed: str | None = None
    step: float | None = None
    precision: str | None = None
