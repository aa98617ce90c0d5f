"""Streams a CSV of timestamped readings through a Quillometer, flags |z| anomalies as they
happen, prints a summary per column and draws a chart of one column.

By default it streams the hourly 2010 temperatures of Seattle and San Francisco that the
vega_datasets package ships (read from its local files, never downloaded), joined on time.
Run with --help for the options; any CSV with a timestamp column can be given instead.
"""

from __future__ import annotations

import argparse
import csv
import math
import sys
import time
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from pathlib import Path

from quillometer import Quillometer

EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
TIME_COLUMNS = ("timestamp", "ts", "time", "datetime", "date")


@dataclass
class Settings:
    window_size: int = 168  # values: a week of hourly readings
    alpha: float = 0.1
    time_window: int = 86_400  # timestamp units: seconds for date-time columns, so 24 hours
    threshold: float = 2.0  # |z| above which a reading is flagged, once its window is full


@dataclass(frozen=True)
class Reading:
    """One value as appended, with its column's statistics right after the append."""

    ts: int
    column: str
    value: float
    zscore: float
    rolling_mean: float
    rolling_std: float
    time_mean: float
    time_std: float
    ewma: float
    variance: float
    flagged: bool


@dataclass
class Stream:
    """Rows of one CSV: timestamps as integers, each row a dict naming the columns it has."""

    columns: list[str]
    rows: list[tuple[int, dict[str, float]]]
    seconds: bool  # timestamps came from date-times and count seconds
    skipped: dict[str, int] = field(default_factory=dict)  # empty, non-numeric or non-finite


def parse_timestamp(text: str) -> tuple[int, bool]:
    """An integer timestamp as it is, or a date-time as whole seconds since 1970 (naive = UTC).

    Returns the timestamp and whether it came from a date-time.
    """
    text = text.strip()
    try:
        return int(text), False
    except ValueError:
        pass
    moment = datetime.fromisoformat(text.replace("/", "-"))
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    return (moment - EPOCH) // timedelta(seconds=1), True


def parse_value(text: str) -> float | None:
    """The cell as a finite float, or None: NaN or an infinity would spoil a window for good."""
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def read_csv(path: Path, time_column: str | None = None, columns: list[str] | None = None,
             rename: dict[str, str] | None = None) -> Stream:
    """Reads a CSV whose one column is a timestamp and whose other columns are numbers."""
    with open(path, newline="") as file:
        reader = csv.DictReader(file)
        header = reader.fieldnames or []
        if time_column is None:
            by_name = {name.strip().lower(): name for name in header}
            time_column = next((by_name[t] for t in TIME_COLUMNS if t in by_name), header[0])
        if time_column not in header:
            raise SystemExit(f"{path}: no column {time_column!r} (columns: {', '.join(header)})")
        wanted = columns or [name for name in header if name != time_column]
        rename = rename or {}
        names = [rename.get(name, name) for name in wanted]
        stream = Stream(names, [], seconds=False, skipped=dict.fromkeys(names, 0))
        for record in reader:
            ts, stream.seconds = parse_timestamp(record[time_column])
            row = {}
            for source, name in zip(wanted, names):
                value = parse_value(record.get(source) or "")
                if value is None:
                    stream.skipped[name] += 1
                else:
                    row[name] = value
            stream.rows.append((ts, row))
    return stream


def join_on_time(streams: Iterable[Stream]) -> Stream:
    """Merges streams into one in timestamp order; a row holds every column known at its time."""
    joined: dict[int, dict[str, float]] = {}
    columns: list[str] = []
    seconds = True
    skipped: dict[str, int] = {}
    for stream in streams:
        columns += stream.columns
        seconds = seconds and stream.seconds
        skipped.update(stream.skipped)
        for ts, row in stream.rows:
            joined.setdefault(ts, {}).update(row)
    return Stream(columns, sorted(joined.items()), seconds, skipped)


def default_stream() -> Stream:
    """Seattle's and San Francisco's hourly temperatures of 2010 (°F), from vega_datasets."""
    from vega_datasets import local_data  # the examples extra; reads files inside the package

    return join_on_time([
        read_csv(Path(local_data.seattle_temps.filepath), "date", ["temp"], {"temp": "seattle"}),
        read_csv(Path(local_data.sf_temps.filepath), "date", ["temp"], {"temp": "san_francisco"}),
    ])


def readings(q: Quillometer, rows: Iterable[tuple[int, dict[str, float]]],
             settings: Settings) -> Iterator[Reading]:
    """Appends every row and yields one Reading per appended value, in row order.

    A value is flagged only once its column's count window is full: over n values |z| cannot
    exceed sqrt(n - 1), so the first few values of a column say little.
    """
    seen: dict[str, int] = {}
    for ts, row in rows:
        q.append(row, ts)
        for column, value in row.items():
            seen[column] = seen.get(column, 0) + 1
            z = q.zscore(column)
            flagged = seen[column] >= settings.window_size and abs(z) > settings.threshold
            yield Reading(ts, column, value, z, q.rolling_mean(column), q.rolling_std(column),
                          q.time_mean(column), q.time_std(column), q.ewma(column),
                          q.variance(column), flagged)


def progress(rows: list, enabled: bool) -> Iterable:
    """The rows, with a progress bar on standard error for long inputs on a terminal."""
    if not enabled or len(rows) < 1000:
        return rows
    from tqdm import tqdm

    return tqdm(rows, unit=" rows", file=sys.stderr, disable=None, leave=False)


def say(text: str) -> None:
    """Prints a line without breaking a progress bar."""
    try:
        from tqdm import tqdm
    except ImportError:
        print(text)
    else:
        tqdm.write(text, file=sys.stdout)


def show_time(ts: int, seconds: bool) -> str:
    return (EPOCH + timedelta(seconds=ts)).strftime("%Y-%m-%d %H:%M") if seconds else str(ts)


def summary_table(q: Quillometer, stream: Stream, settings: Settings,
                  counts: dict[str, int], flags: dict[str, int]) -> str:
    """One line per column: all-time, count-window, time-window and EWMA figures."""
    rate_unit, per = ("/h", 3600.0) if stream.seconds else ("/unit", 1.0)
    span = f"{settings.time_window / 3600:g}h" if stream.seconds else f"{settings.time_window}"
    head = (f"{'column':<14} {'values':>6} {'skipped':>7} {'mean':>8} {'std':>7} {'last':>7} "
            f"{'rolling ' + str(settings.window_size):>15} {span + ' window':>15} "
            f"{'rate' + rate_unit:>7} {'ewma':>7} {'flagged':>7}")
    lines = [head, "-" * len(head)]
    for name in stream.columns:
        lines.append(
            f"{name:<14} {counts[name]:>6} {stream.skipped.get(name, 0):>7} "
            f"{q.mean(name):>8.2f} {math.sqrt(q.variance(name)):>7.2f} {q.last(name):>7.1f} "
            f"{q.rolling_mean(name):>8.2f}±{q.rolling_std(name):<6.2f} "
            f"{q.time_mean(name):>8.2f}±{q.time_std(name):<6.2f} "
            f"{q.rate(name) * per:>7.2f} {q.ewma(name):>7.2f} {flags[name]:>7}")
    return "\n".join(lines)


def draw_chart(path: Path, column: str, trace: list[Reading], stream: Stream,
               settings: Settings) -> None:
    """The column with its rolling mean ± threshold·std band and the flagged readings: the
    whole stream above, the fortnight around the strongest flag below."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    k = settings.threshold
    to_x = ((lambda ts: EPOCH + timedelta(seconds=ts)) if stream.seconds else (lambda ts: ts))
    strongest = max(trace, key=lambda r: (r.flagged, abs(r.zscore)))
    half = 7 * 86_400 if stream.seconds else max(1, (trace[-1].ts - trace[0].ts) // 50)
    zoom = [r for r in trace if abs(r.ts - strongest.ts) <= half]
    fig, axes = plt.subplots(2, 1, figsize=(12, 8), constrained_layout=True)
    for ax, part, title in ((axes[0], trace, "whole stream"),
                            (axes[1], zoom, "around the strongest flag")):
        x = [to_x(r.ts) for r in part]
        mean = [r.rolling_mean for r in part]
        ax.fill_between(x, [m - k * r.rolling_std for m, r in zip(mean, part)],
                        [m + k * r.rolling_std for m, r in zip(mean, part)],
                        color="tab:blue", alpha=0.18, linewidth=0,
                        label=f"rolling mean ± {k:g}·std (last {settings.window_size} values)")
        ax.plot(x, [r.value for r in part], color="0.25", linewidth=0.6, label=column)
        ax.plot(x, mean, color="tab:blue", linewidth=1.0, label="rolling mean")
        flagged = [r for r in part if r.flagged]
        ax.scatter([to_x(r.ts) for r in flagged], [r.value for r in flagged], s=18,
                   color="tab:red", zorder=3, label=f"|z| > {k:g} ({len(flagged)})")
        ax.set_title(f"{column}: {title}")
        ax.grid(alpha=0.3)
        ax.legend(loc="upper left", fontsize=8)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("csv", nargs="?", type=Path,
                        help="a CSV with a timestamp column (default: the vega_datasets "
                             "temperatures of Seattle and San Francisco, 2010, hourly)")
    parser.add_argument("--time-column", help="the timestamp column (default: one named "
                        "timestamp, ts, time, datetime or date, else the first)")
    parser.add_argument("--columns", nargs="+", help="the value columns (default: all others)")
    parser.add_argument("--window-size", type=int, default=Settings.window_size,
                        help="values per column in the count window (default: %(default)s)")
    parser.add_argument("--alpha", type=float, default=Settings.alpha,
                        help="the EWMA's smoothing factor (default: %(default)s)")
    parser.add_argument("--time-window", type=int, default=Settings.time_window,
                        help="in timestamp units; seconds for date-time columns "
                             "(default: %(default)s, a day)")
    parser.add_argument("--threshold", type=float, default=Settings.threshold,
                        help="flag a value whose |z| in its rolling window exceeds this "
                             "(default: %(default)s)")
    parser.add_argument("--chart", type=Path, default=Path("build/example/temperature_stream.png"),
                        help="PNG to write (default: %(default)s)")
    parser.add_argument("--chart-column", help="the column to draw (default: the first)")
    parser.add_argument("--show", type=int, default=12,
                        help="print at most this many flags per column as they happen")
    parser.add_argument("--no-progress", action="store_true")
    args = parser.parse_args(argv)
    settings = Settings(args.window_size, args.alpha, args.time_window, args.threshold)

    stream = (read_csv(args.csv, args.time_column, args.columns) if args.csv
              else default_stream())
    source = str(args.csv) if args.csv else "vega_datasets: seattle-temps + sf-temps (2010, °F)"
    chart_column = args.chart_column or stream.columns[0]
    if chart_column not in stream.columns:
        parser.error(f"--chart-column {chart_column!r} is not one of {stream.columns}")
    print(f"{source}: {len(stream.rows)} rows, columns {', '.join(stream.columns)}")
    print(f"window_size={settings.window_size}  alpha={settings.alpha:g}  "
          f"time_window={settings.time_window}{' s' if stream.seconds else ''}  "
          f"flag |z| > {settings.threshold:g} (at most sqrt(window_size - 1) = "
          f"{math.sqrt(max(settings.window_size - 1, 0)):.2f} can occur)")

    q = Quillometer(stream.columns, settings.window_size, settings.alpha, settings.time_window)
    counts = dict.fromkeys(stream.columns, 0)
    flags = dict.fromkeys(stream.columns, 0)
    trace: list[Reading] = []
    started = time.perf_counter()
    rows = progress(stream.rows, not args.no_progress)
    for reading in readings(q, rows, settings):
        counts[reading.column] += 1
        if reading.column == chart_column:
            trace.append(reading)
        if reading.flagged:
            flags[reading.column] += 1
            if flags[reading.column] <= args.show:
                say(f"{show_time(reading.ts, stream.seconds)}  {reading.column:<14} "
                    f"{reading.value:7.1f}  z={reading.zscore:+5.2f}  "
                    f"rolling {reading.rolling_mean:6.2f}±{reading.rolling_std:.2f}")
    elapsed = time.perf_counter() - started
    for name in stream.columns:
        if flags[name] > args.show:
            print(f"... and {flags[name] - args.show} more flags in {name}")
    values = sum(counts.values())
    print(f"\n{values} values in {elapsed:.2f} s, including the example's own Python "
          f"and seven queries per value\n")
    print(summary_table(q, stream, settings, counts, flags))
    if trace:
        draw_chart(args.chart, chart_column, trace, stream, settings)
        print(f"\nchart: {args.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
