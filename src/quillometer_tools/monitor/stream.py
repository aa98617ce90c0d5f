"""The stream: rows go into a Quillometer one at a time, and a value is flagged when its |z| in
its column's count window exceeds the threshold, once that window is full."""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Protocol, TextIO

from quillometer import Quillometer

from quillometer_tools.feed import InputError
from quillometer_tools.times import Timing

# The statistics of one appended value, in the order of a trace file's columns.
TRACE_HEADER = ("ts", "column", "value", "zscore", "rolling_mean", "rolling_std", "time_mean",
                "time_std", "ewma", "variance", "flagged")


class Source(Protocol):
    """Rows in order, as a Feed gives them (the bundled temperatures are one too)."""

    name: str
    columns: list[str]
    seconds_per_unit: float | None
    timing: Timing  # the kind of times, their median step and the precision they show with

    @property
    def skipped(self) -> dict[str, int]: ...  # per column: empty, non-numeric or non-finite

    @property
    def unsorted(self) -> int: ...  # rows whose time is below the previous row's

    def __iter__(self) -> Iterator[tuple[int, dict[str, float]]]: ...

    def fraction(self) -> float | None: ...

    def close(self) -> None: ...


@dataclass(frozen=True)
class Settings:
    window_size: int = 168  # values: a week of hourly readings
    alpha: float = 0.1
    time_window: int = 86_400  # timestamp units
    threshold: float = 2.0  # |z| above which a value is flagged, once its window is full


@dataclass(frozen=True)
class Flag:
    ts: int
    column: str
    value: float
    zscore: float
    rolling_mean: float
    rolling_std: float


class ColumnTally:
    """What the monitor counts for one column beside the module's statistics."""

    __slots__ = ("count", "flags", "scale", "sink")

    def __init__(self) -> None:
        self.count = 0
        self.flags = 0
        self.scale = 0.0  # the largest |value| seen: what rounding drift is measured against
        # The chart's summary of this column, when it is charted: (ts, value, rolling mean,
        # rolling std, flagged, z).
        self.sink: Callable[[int, float, float, float, bool, float], None] | None = None


class Monitor:
    """Appends rows to one Quillometer and reports the flagged values of each."""

    def __init__(self, columns: Sequence[str], settings: Settings,
                 trace: TextIO | None = None) -> None:
        self.settings = settings
        self.columns = list(columns)
        self.q = Quillometer(self.columns, settings.window_size, settings.alpha,
                             settings.time_window)
        self.tally = {name: ColumnTally() for name in self.columns}
        self.trace = trace
        if trace is not None:
            trace.write(",".join(TRACE_HEADER) + "\n")

    def process(self, ts: int, row: dict[str, float]) -> list[Flag]:
        """Appends the row; returns its flagged values in the row's column order."""
        q = self.q
        q.append(row, ts)
        full = self.settings.window_size
        threshold = self.settings.threshold
        flags: list[Flag] = []
        for column, value in row.items():
            tally = self.tally[column]
            tally.count += 1
            magnitude = abs(value)
            if magnitude > tally.scale:
                tally.scale = magnitude
            z = q.zscore(column)
            flagged = tally.count >= full and abs(z) > threshold
            if flagged or tally.sink is not None or self.trace is not None:
                mean, std = q.rolling_mean(column), q.rolling_std(column)
                if flagged:
                    tally.flags += 1
                    flags.append(Flag(ts, column, value, z, mean, std))
                if tally.sink is not None:
                    tally.sink(ts, value, mean, std, flagged, z)
                if self.trace is not None:
                    try:
                        self.trace.write(
                            f"{ts},{column},{value!r},{z!r},{mean!r},{std!r},"
                            f"{q.time_mean(column)!r},{q.time_std(column)!r},"
                            f"{q.ewma(column)!r},{q.variance(column)!r},{int(flagged)}\n")
                    except OSError as error:  # a full disk, say
                        raise InputError(f"--trace {self.trace.name}: "
                                         f"{error.strerror or error}") from None
        return flags

    @property
    def values(self) -> int:
        return sum(tally.count for tally in self.tally.values())

    def std(self, column: str) -> float:
        return math.sqrt(self.q.variance(column))
