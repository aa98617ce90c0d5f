"""The stream: rows go into a Quillometer one at a time, each column measured from its reference
level (levels.py), and a value is flagged when its |z| in its column's count window exceeds the
threshold, once that window is full."""

from __future__ import annotations

import csv
import math
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Protocol, TextIO

from quillometer_tools.command import ALPHA, TIME_WINDOW, WINDOW_SIZE
from quillometer_tools.feed import OutputError
from quillometer_tools.monitor.levels import Leveled
from quillometer_tools.times import Timing

# The statistics of one appended value, in the order of a trace file's columns. The last one
# tells the reader that the figures are of the values themselves: the column's reference level,
# which was subtracted before appending and is added back to rolling_mean, time_mean and ewma
# (the spreads and zscore need none). A note line before the header would keep a plain
# `pandas.read_csv(trace)` from reading the file.
TRACE_HEADER = (
    "ts",
    "column",
    "value",
    "zscore",
    "rolling_mean",
    "rolling_std",
    "time_mean",
    "time_std",
    "ewma",
    "variance",
    "flagged",
    "reference_added_back",
)


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
    window_size: int = WINDOW_SIZE
    alpha: float = ALPHA
    time_window: int = TIME_WINDOW  # timestamp units
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

    __slots__ = ("count", "flags", "scale", "spread", "sink")

    def __init__(self) -> None:
        self.count = 0
        self.flags = 0
        self.scale = 0.0  # the largest |value| seen
        # The largest |value - reference| seen: the running sums' scale, which their rounding
        # drift is measured against.
        self.spread = 0.0
        # The chart's summary of this column, when it is charted: (ts, value, rolling mean,
        # rolling std, flagged, z).
        self.sink: Callable[[int, float, float, float, bool, float], None] | None = None


class Monitor:
    """Appends rows to one Quillometer and reports the flagged values of each."""

    def __init__(
        self, columns: Sequence[str], settings: Settings, trace: TextIO | None = None
    ) -> None:
        self.settings = settings
        self.columns = list(columns)
        # The statistics of the values, measured from each column's reference level.
        self.stats = Leveled(
            self.columns, settings.window_size, settings.alpha, settings.time_window
        )
        self.tally = {name: ColumnTally() for name in self.columns}
        self.trace = trace
        # Writes one row of the trace; csv.writer, as a column's name may hold a comma, a quote
        # or a line break.
        self.trace_row: Callable[[Iterable[object]], object] | None = None
        if trace is not None:
            self.trace_row = csv.writer(trace, lineterminator="\n").writerow
            try:
                self.trace_row(TRACE_HEADER)
            except OSError as error:
                raise self.trace_error(error) from None

    def trace_error(self, error: OSError) -> OutputError:
        return OutputError.writing(getattr(self.trace, "name", "the trace"), error, "trace")

    def process(self, ts: int, row: dict[str, float]) -> list[Flag]:
        """Appends the row; returns its flagged values in the row's column order."""
        stats = self.stats
        stats.append(row, ts)
        reference = stats.reference
        trace_row = self.trace_row
        full = self.settings.window_size
        threshold = self.settings.threshold
        flags: list[Flag] = []
        for column, value in row.items():
            tally = self.tally[column]
            tally.count += 1
            magnitude = abs(value)
            if magnitude > tally.scale:
                tally.scale = magnitude
            spread = abs(value - reference[column])
            if spread > tally.spread:
                tally.spread = spread
            z = stats.zscore(column)
            flagged = tally.count >= full and abs(z) > threshold
            if flagged or tally.sink is not None or trace_row is not None:
                mean, std = stats.rolling_mean(column), stats.rolling_std(column)
                if flagged:
                    tally.flags += 1
                    flags.append(Flag(ts, column, value, z, mean, std))
                if tally.sink is not None:
                    tally.sink(ts, value, mean, std, flagged, z)
                if trace_row is not None:
                    try:
                        trace_row(
                            (
                                ts,
                                column,
                                value,
                                z,
                                mean,
                                std,
                                stats.time_mean(column),
                                stats.time_std(column),
                                stats.ewma(column),
                                stats.variance(column),
                                int(flagged),
                                reference[column],
                            )
                        )
                    except OSError as error:  # a full disk, say
                        raise self.trace_error(error) from None
        return flags

    @property
    def values(self) -> int:
        return sum(tally.count for tally in self.tally.values())

    def std(self, column: str) -> float:
        return math.sqrt(self.stats.variance(column))
