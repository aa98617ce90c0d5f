"""The chart: one panel per charted column over the whole stream, and a zoom on the window with
the most flags (or a given range), drawn from a bounded summary of each column.

A column's summary is a set of time bins holding the minimum and maximum value, the band of
rolling mean ± threshold·std, the flag count and the strongest flag of each bin. When the bins
would span more than `capacity` widths, neighbours merge and the width doubles, so memory stays
the same however long the stream; up to `capacity` rows, a bin holds one timestamp and the
chart is exact.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from quillometer_tools.times import EPOCH

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

CAPACITY = 16_384  # bins per column while streaming
PANEL_BINS = 1_500  # bins per panel when drawing: about one per pixel
MAX_MARKERS = 300  # flag markers drawn per panel

# A bin: [count, min, max, sum of rolling means, band low, band high, flags, strongest |z|,
# its ts, its value].
COUNT, LOW, HIGH, MEAN_SUM, BAND_LOW, BAND_HIGH, FLAGS, BEST_Z, BEST_TS, BEST_VALUE = range(10)


class Series:
    """The bounded summary of one column (see the module's docstring)."""

    def __init__(
        self, threshold: float, capacity: int = CAPACITY, span: tuple[int, int] | None = None
    ) -> None:
        self.threshold = threshold
        self.capacity = capacity
        self.span = span  # only rows with start <= ts <= end are kept
        self.width = 1
        self.origin: int | None = None
        self.bins: dict[int, list[float]] = {}
        self.first = 0  # lowest and highest bin index in use
        self.last = 0
        self.flags = 0
        self.count = 0

    def add(self, ts: int, value: float, mean: float, std: float, flagged: bool, z: float) -> None:
        if self.span is not None and not self.span[0] <= ts <= self.span[1]:
            return
        if self.origin is None:
            self.origin = ts
        self.count += 1
        index = (ts - self.origin) // self.width
        spread = self.threshold * std
        strength = abs(z) if flagged else -1.0
        entry = self.bins.get(index)
        if entry is None:
            self.bins[index] = [
                1,
                value,
                value,
                mean,
                mean - spread,
                mean + spread,
                float(flagged),
                strength,
                float(ts),
                value,
            ]
            if len(self.bins) == 1:
                self.first = self.last = index
            elif index < self.first:
                self.first = index
            elif index > self.last:
                self.last = index
            while self.last - self.first >= self.capacity:
                self._coarsen()
        else:
            entry[COUNT] += 1
            if value < entry[LOW]:
                entry[LOW] = value
            if value > entry[HIGH]:
                entry[HIGH] = value
            entry[MEAN_SUM] += mean
            if mean - spread < entry[BAND_LOW]:
                entry[BAND_LOW] = mean - spread
            if mean + spread > entry[BAND_HIGH]:
                entry[BAND_HIGH] = mean + spread
            if flagged:
                entry[FLAGS] += 1
                if strength > entry[BEST_Z]:
                    entry[BEST_Z], entry[BEST_TS], entry[BEST_VALUE] = strength, ts, value
        if flagged:
            self.flags += 1

    def _coarsen(self) -> None:
        self.width *= 2
        self.bins = merge_bins(self.bins, 2)
        self.first //= 2
        self.last //= 2

    def x_of(self, index: int, width: int) -> float:
        """The middle of a bin, in timestamp units (a bin of one unit: its timestamp)."""
        assert self.origin is not None
        return self.origin + index * width + (width - 1) / 2


def merge_bins(bins: dict[int, list[float]], factor: int) -> dict[int, list[float]]:
    """Bins `factor` times as wide: index i goes to i // factor."""
    merged: dict[int, list[float]] = {}
    for index in sorted(bins):
        entry = bins[index]
        target = merged.get(index // factor)
        if target is None:
            merged[index // factor] = list(entry)
            continue
        target[COUNT] += entry[COUNT]
        target[LOW] = min(target[LOW], entry[LOW])
        target[HIGH] = max(target[HIGH], entry[HIGH])
        target[MEAN_SUM] += entry[MEAN_SUM]
        target[BAND_LOW] = min(target[BAND_LOW], entry[BAND_LOW])
        target[BAND_HIGH] = max(target[BAND_HIGH], entry[BAND_HIGH])
        target[FLAGS] += entry[FLAGS]
        if entry[BEST_Z] > target[BEST_Z]:
            target[BEST_Z], target[BEST_TS], target[BEST_VALUE] = entry[BEST_Z:]
    return merged


@dataclass(frozen=True)
class Window:
    start: int  # timestamp units, inclusive
    end: int
    column: str
    flags: int
    chosen: str  # why this window: "the most flags", "the given range", "the latest"


def busiest_window(series: dict[str, Series], width_units: int) -> Window | None:
    """The window of `width_units` holding the most flags over all charted columns (the
    earliest of equals), and the column with the most flags in it. None without rows."""
    any_series = next(iter(series.values()))
    if any_series.origin is None:
        return None
    origin, bin_width = any_series.origin, any_series.width
    counts: dict[int, float] = {}
    for one in series.values():
        # Every series of one stream starts with the same origin only if its column is in the
        # first row; the bins are placed on one time axis here.
        assert one.origin is not None
        for index, entry in one.bins.items():
            if entry[FLAGS]:
                at = (one.origin + index * one.width - origin) // bin_width
                counts[at] = counts.get(at, 0) + entry[FLAGS]
    if not counts:
        last_ts = max(
            one.origin + (one.last + 1) * one.width - 1
            for one in series.values()
            if one.origin is not None
        )
        return Window(last_ts - width_units, last_ts, next(iter(series)), 0, "the latest")
    span = max(1, width_units // bin_width)
    indices = sorted(counts)
    best_total, best_first, best_last = -1.0, indices[0], indices[0]
    total, tail = 0.0, 0
    for index in indices:
        total += counts[index]
        while indices[tail] <= index - span:
            total -= counts[indices[tail]]
            tail += 1
        if total > best_total:
            best_total, best_first, best_last = total, indices[tail], index
    # The window centred on the flags it holds.
    middle = origin + (best_first + best_last + 1) * bin_width // 2
    start = middle - width_units // 2
    end = start + width_units
    column, flags = max(
        ((name, flags_within(one, start, end)) for name, one in series.items()),
        key=lambda pair: pair[1],
    )
    return Window(start, end, column, flags, "the most flags")


def flags_within(series: Series, start: int, end: int) -> int:
    if series.origin is None:
        return 0
    return int(
        sum(
            entry[FLAGS]
            for index, entry in series.bins.items()
            if start <= series.origin + index * series.width <= end
        )
    )


class Chart:
    """The charted columns' summaries while streaming, and the figure at the end."""

    def __init__(
        self,
        columns: Sequence[str],
        threshold: float,
        window_size: int,
        zoom: tuple[int, int] | None = None,
    ) -> None:
        self.columns = list(columns)
        self.threshold = threshold
        self.window_size = window_size
        self.series = {name: Series(threshold) for name in self.columns}
        self.zoom_range = zoom
        # A given zoom range is summarised on its own, at full resolution up to CAPACITY rows.
        self.zoomed = (
            {name: Series(threshold, span=zoom) for name in self.columns}
            if zoom is not None
            else {}
        )

    def sink(self, column: str) -> Sink:
        return Sink(self.series[column], self.zoomed.get(column))

    def zoom_window(self, rows: int) -> Window | None:
        """The given range, or the busiest window of a twentieth of the stream (at least 200
        rows' worth); None when that would show half the stream or more anyway."""
        if self.zoom_range is not None:
            start, end = self.zoom_range
            column, flags = max(
                ((name, one.flags) for name, one in self.zoomed.items()), key=lambda pair: pair[1]
            )
            return Window(start, end, column, flags, "the given range")
        spans = [
            (one.origin, one.origin + (one.last + 1) * one.width - 1)
            for one in self.series.values()
            if one.origin is not None
        ]
        if not spans or rows < 2:
            return None
        first = min(start for start, _ in spans)
        last = max(end for _, end in spans)
        span = last - first
        width = max(span // 20, 200 * span // (rows - 1))
        if width * 2 >= span or width < 1:
            return None
        return busiest_window(self.series, width)

    def draw(self, source_name: str, seconds_per_unit: float | None, rows: int) -> Figure:
        import matplotlib

        matplotlib.use("Agg")
        from matplotlib.figure import Figure

        window = self.zoom_window(rows)
        panels = len(self.columns) + (window is not None)
        fig = Figure(figsize=(12, 2.6 * panels + 0.6), layout="constrained")
        axes = fig.subplots(panels, 1, squeeze=False)[:, 0]
        to_x = XConvert(seconds_per_unit)
        # The zoomed panel, when there is one, is the last, after one panel per column.
        for ax, name in zip(axes, self.columns, strict=False):
            series = self.series[name]
            draw_panel(ax, series, name, to_x, self.threshold, self.window_size)
            if window is not None:
                ax.axvspan(
                    to_x(window.start),
                    to_x(window.end),
                    color="tab:orange",
                    alpha=0.15,
                    linewidth=0,
                )
        if window is not None:
            ax = axes[-1]
            # A margin, so that flags at the window's edges show whole.
            margin = (window.end - window.start) // 40
            if self.zoom_range is not None:
                zoomed = self.zoomed[window.column]
            else:
                zoomed = clipped(
                    self.series[window.column], window.start - margin, window.end + margin
                )
            draw_panel(ax, zoomed, window.column, to_x, self.threshold, self.window_size)
            ax.set_xlim(to_x(window.start - margin), to_x(window.end + margin))
            ax.set_title(
                f"zoom on {window.column}, the shaded window: {window.chosen}", fontsize=10
            )
        for ax in axes:
            if seconds_per_unit is not None:
                date_axis(ax)
            ax.grid(alpha=0.3)
        fig.suptitle(source_name, fontsize=11)
        return fig


class Sink:
    """Hands one column's values to its summaries (the given zoom range's too)."""

    __slots__ = ("main", "zoomed")

    def __init__(self, main: Series, zoomed: Series | None) -> None:
        self.main = main
        self.zoomed = zoomed

    def __call__(
        self, ts: int, value: float, mean: float, std: float, flagged: bool, z: float
    ) -> None:
        self.main.add(ts, value, mean, std, flagged, z)
        if self.zoomed is not None:
            self.zoomed.add(ts, value, mean, std, flagged, z)


def clipped(series: Series, start: int, end: int) -> Series:
    """The series' bins that lie in [start, end]."""
    part = Series(series.threshold, series.capacity)
    part.origin, part.width = series.origin, series.width
    assert series.origin is not None
    part.bins = {
        index: entry
        for index, entry in series.bins.items()
        if start <= series.origin + (index + 1) * series.width - 1
        and series.origin + index * series.width <= end
    }
    if part.bins:
        part.first, part.last = min(part.bins), max(part.bins)
    part.flags = int(sum(entry[FLAGS] for entry in part.bins.values()))
    part.count = int(sum(entry[COUNT] for entry in part.bins.values()))
    return part


class XConvert:
    """Timestamp units to the x axis: matplotlib's date numbers (days) for timed input."""

    def __init__(self, seconds_per_unit: float | None) -> None:
        self.scale = 1.0
        self.offset = 0.0
        if seconds_per_unit is not None:
            import matplotlib.dates

            dates: Any = matplotlib.dates  # untyped
            self.scale = seconds_per_unit / 86_400
            self.offset = float(dates.date2num(EPOCH))

    def __call__(self, ts: float) -> float:
        return ts * self.scale + self.offset


def date_axis(ax: Axes) -> None:
    import matplotlib.dates

    dates: Any = matplotlib.dates  # untyped
    locator = dates.AutoDateLocator(minticks=4, maxticks=10)
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(dates.ConciseDateFormatter(locator))


def draw_panel(
    ax: Axes, series: Series, name: str, to_x: XConvert, threshold: float, window_size: int
) -> None:
    """The column's value as a min/max line, its rolling mean and band, and at most
    MAX_MARKERS flags (the strongest of each stretch)."""
    if series.origin is None or not series.bins:
        ax.set_title(f"{name}: no values", fontsize=10)
        return
    factor = max(1, math.ceil((series.last - series.first + 1) / PANEL_BINS))
    bins = merge_bins(series.bins, factor) if factor > 1 else series.bins
    width = series.width * factor
    xs: list[float] = []
    ys: list[float] = []
    centre: list[float] = []
    means: list[float] = []
    low: list[float] = []
    high: list[float] = []
    for index in sorted(bins):
        entry = bins[index]
        x = to_x(series.x_of(index, width))
        centre.append(x)
        means.append(entry[MEAN_SUM] / entry[COUNT])
        low.append(entry[BAND_LOW])
        high.append(entry[BAND_HIGH])
        xs.append(x)
        ys.append(entry[LOW])
        if entry[HIGH] != entry[LOW]:
            xs.append(x)
            ys.append(entry[HIGH])
    ax.fill_between(
        centre,
        low,
        high,
        color="tab:blue",
        alpha=0.18,
        linewidth=0,
        label=f"rolling mean ± {threshold:g}·std ({window_size} values)",
    )
    ax.plot(xs, ys, color="0.25", linewidth=0.6, label=name)
    ax.plot(centre, means, color="tab:blue", linewidth=1.0, label="rolling mean")
    marked = markers(series)
    label = f"{series.flags:,} flags, |z| > {threshold:g}"
    if len(marked) < series.flags:
        label += f"\n({len(marked)} drawn: the strongest\nof each stretch)"
    ax.scatter(
        [to_x(ts) for ts, _ in marked],
        [value for _, value in marked],
        s=14,
        color="tab:red",
        zorder=3,
        label=label,
    )
    ax.set_title(f"{name}: {series.count:,} values", fontsize=10)
    ax.legend(loc="upper left", bbox_to_anchor=(1.005, 1.0), fontsize=8, frameon=False)


def markers(series: Series) -> list[tuple[float, float]]:
    """(ts, value) of at most MAX_MARKERS flags: the span cut into as many equal stretches,
    the strongest flag of each."""
    flagged = [(index, entry) for index, entry in series.bins.items() if entry[FLAGS]]
    if len(flagged) <= MAX_MARKERS:
        return [(entry[BEST_TS], entry[BEST_VALUE]) for _, entry in flagged]
    stretch = math.ceil((series.last - series.first + 1) / MAX_MARKERS)
    best: dict[int, list[float]] = {}
    for index, entry in flagged:
        key = (index - series.first) // stretch
        if key not in best or entry[BEST_Z] > best[key][BEST_Z]:
            best[key] = entry
    return [(entry[BEST_TS], entry[BEST_VALUE]) for entry in best.values()]


def save(fig: Figure, path: Path) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
