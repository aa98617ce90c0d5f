"""Streams a CSV of timestamped readings through a Quillometer in constant memory, prints each
flagged value as it happens, then a summary per column, and draws a chart.

Input: a CSV file, `-` for standard input (followed as lines arrive, as from `tail -f`), or
nothing for the bundled hourly temperatures of Seattle and San Francisco (vega_datasets).
Exit status: 0 done, 1 bad input (one line on standard error), 2 bad usage, 130 interrupted
(Ctrl-C; the summary and chart of what was read are still given), 141 output pipe closed.
"""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from types import FrameType
from typing import TextIO

from quillometer_tools.feed import SAMPLE_ROWS, Feed, FeedOptions, InputError, open_feed
from quillometer_tools.monitor.progress import Progress
from quillometer_tools.monitor.stream import Flag, Monitor, Settings, Source
from quillometer_tools.monitor.table import decimals_for, fixed, summary_table
from quillometer_tools.times import (EPOCH_UNITS, TimeError, format_duration, format_time,
                                     parse_duration, parse_iso, readable_duration,
                                     seconds_since_epoch)

PROG = "quillometer-monitor"
CHART_COLUMNS = 4  # charted by default: the first few value columns
SHOW_FROM_FILE = 12  # flags printed per column for a file (a live feed prints them all)
MAX_WINDOW_SIZE = 10_000_000  # the count window's 8 bytes per value are reserved up front
EXIT_INPUT, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_PIPE = 1, 2, 130, 141


class UsageError(Exception):
    """Bad command line: shown as one line, like InputError."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        raise UsageError(message)


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog=PROG, description=(__doc__ or "").split("\n\n")[0],
                    formatter_class=argparse.RawDescriptionHelpFormatter,
                    epilog=(__doc__ or "").split("\n\n", 1)[1])
    parser.add_argument("csv", nargs="?",
                        help="a CSV with a header line and a timestamp column; - reads standard "
                             "input as it arrives (default: the bundled temperatures)")
    source = parser.add_argument_group("input")
    source.add_argument("--time-column", help="the timestamp column (default: one named "
                        "timestamp, ts, time, datetime or date, else the first)")
    source.add_argument("--columns", nargs="+", metavar="NAME",
                        help="the value columns (default: all others)")
    source.add_argument("--time-format", metavar="FORMAT",
                        help="strptime format of the times, e.g. '%%b %%d %%Y' for Jan 1 2000 "
                             "(default: integers, years such as 1700 or 1749.5, or ISO 8601 "
                             "date-times; naive ones are UTC)")
    source.add_argument("--epoch", choices=[*EPOCH_UNITS, "none"], metavar="{s,ms,us,ns,none}",
                        help="integer times count this unit since 1970; none: they are plain "
                             "numbers (default: years if the first is in 1000-2999, the unit "
                             "in which it falls in 1990-2100, else plain numbers)")
    stats = parser.add_argument_group("statistics")
    stats.add_argument("--window-size", type=int, default=Settings.window_size,
                       help="values per column in the count window (default: %(default)s)")
    stats.add_argument("--alpha", type=float, default=Settings.alpha,
                       help="the EWMA's smoothing factor, 0 < alpha <= 1 (default: %(default)s)")
    stats.add_argument("--time-window",
                       help="width of the time window: a duration such as 90s, 30m, 24h, 7d, "
                            "2w, 1y for timed input, or timestamp units (default: window-size "
                            "times the median step of the first rows, rounded)")
    stats.add_argument("--threshold", type=float, default=Settings.threshold,
                       help="flag a value whose |z| in its count window exceeds this, once "
                            "that window is full (default: %(default)s)")
    out = parser.add_argument_group("output")
    out.add_argument("--show", type=int, metavar="N",
                     help=f"print at most N flags per column (default: {SHOW_FROM_FILE} for a "
                          "file, all for standard input)")
    out.add_argument("--chart", type=Path, metavar="PNG",
                     help="draw the chart into this PNG (needs matplotlib: the monitor extra)")
    out.add_argument("--chart-columns", nargs="+", metavar="NAME",
                     help=f"the columns to chart, a panel each (default: the first "
                          f"{CHART_COLUMNS})")
    out.add_argument("--zoom", nargs=2, metavar=("START", "END"),
                     help="the zoom panel's range, as times of the input (default: the "
                          "window with the most flags)")
    out.add_argument("--trace", type=Path, metavar="CSV",
                     help="write every appended value with its statistics to this CSV")
    out.add_argument("--no-progress", action="store_true",
                     help="no progress line (it shows on a terminal only)")
    return parser


def check_settings(args: argparse.Namespace) -> None:
    if not 1 <= args.window_size <= MAX_WINDOW_SIZE:
        raise UsageError(f"--window-size {args.window_size}: expected 1 to {MAX_WINDOW_SIZE:,}")
    if not 0 < args.alpha <= 1:
        raise UsageError(f"--alpha {args.alpha:g}: expected 0 < alpha <= 1")
    if not args.threshold > 0 or math.isinf(args.threshold):
        raise UsageError(f"--threshold {args.threshold:g}: expected a positive number")
    if args.show is not None and args.show < 0:
        raise UsageError(f"--show {args.show}: expected 0 or more")
    if args.epoch is not None and args.time_format is not None:
        raise UsageError("--epoch is for integer times and --time-format for date-times; "
                         "give one of them")
    if args.csv is None:
        given = [flag for flag, value in (("--time-column", args.time_column),
                                          ("--columns", args.columns),
                                          ("--time-format", args.time_format),
                                          ("--epoch", args.epoch)) if value is not None]
        if given:
            raise UsageError(f"{given[0]} describes a CSV; give the CSV file (or -)")
    if args.chart is not None:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise InputError("--chart needs matplotlib: pip install 'quillometer[monitor]'") \
                from None


def open_source(args: argparse.Namespace) -> Source:
    if args.csv is None:
        from quillometer_tools.monitor.bundled import bundled_temperatures

        return bundled_temperatures()
    # A live feed reads ahead no more rows than fill a count window, so no flag waits.
    sample = min(SAMPLE_ROWS, args.window_size) if args.csv == "-" else SAMPLE_ROWS
    return open_feed(args.csv, FeedOptions(args.time_column, args.columns, args.time_format,
                                           args.epoch, sample))


# The command-line flag behind each FeedOptions field that an InputError can be about.
OPTION_FLAGS = {"time_column": "--time-column", "columns": "--columns",
                "time_format": "--time-format", "epoch": "--epoch"}


def with_flag(error: InputError, args: argparse.Namespace) -> InputError:
    """The input error with the flag it is about, and the value given, if any."""
    if error.option not in OPTION_FLAGS or args.csv is None:
        return error
    value = getattr(args, error.option)
    given = (" ".join(value) if isinstance(value, list) else
             repr(value) if error.option == "time_format" else value)
    flag = OPTION_FLAGS[error.option] + (f" {given}" if value is not None else "")
    return InputError(f"{error} ({flag})")


def parse_point(text: str, seconds_per_unit: float | None) -> int:
    """A --zoom bound: timestamp units, or a date-time for timed input."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        moment = parse_iso(text)
    except TimeError:
        raise UsageError(f"--zoom {text!r}: expected a time such as 2010-03-01 or "
                         "2010-03-01 12:00, or timestamp units") from None
    if seconds_per_unit is None:
        raise UsageError(f"--zoom {text!r}: the times are plain integers; give the range in "
                         "their units")
    try:
        return round(seconds_since_epoch(moment) / seconds_per_unit)
    except TimeError as error:
        raise UsageError(f"--zoom {text!r}: {error}") from None


def time_window(args: argparse.Namespace, source: Source) -> tuple[int, str]:
    """The time window in timestamp units, and how it was chosen (empty when given)."""
    unit, step = source.seconds_per_unit, source.timing.step
    if args.time_window is not None:
        text, how = args.time_window, ""
    elif step is None:  # one row, or one time
        text, how = ("1d" if unit is not None else str(Settings.time_window)), " (one time)"
    else:
        shown = readable_duration(step * unit) if unit is not None else f"{step:g}"
        how = f" ({args.window_size} × the median step, {shown})"
        text = (readable_duration(args.window_size * step * unit) if unit is not None
                else str(max(1, round(args.window_size * step))))
    try:
        return parse_duration(text, unit), how
    except TimeError as error:
        raise UsageError(f"--time-window {error}") from None


class InterruptGuard:
    """Ctrl-C ends the stream between rows: a row being appended is finished first, and one
    read before the interrupt is still appended. SIGINT raises KeyboardInterrupt only while
    the loop waits for input; otherwise it is noted and the loop stops after the row."""

    def __init__(self) -> None:
        self.requested = False
        self.reading = False
        self.installed = False

    def __enter__(self) -> InterruptGuard:
        try:
            signal.signal(signal.SIGINT, self.handle)
            self.installed = True
        except ValueError:  # not the main thread: Ctrl-C stays as it is
            pass
        return self

    def __exit__(self, *exc: object) -> None:
        if self.installed:
            signal.signal(signal.SIGINT, signal.default_int_handler)

    def handle(self, signum: int, frame: FrameType | None) -> None:
        self.requested = True
        if self.reading:
            raise KeyboardInterrupt


def rows_until_interrupt(source: Source,
                         guard: InterruptGuard) -> Iterator[tuple[int, dict[str, float]]]:
    """The source's rows, up to Ctrl-C; every row read is handed out."""
    rows = iter(source)
    item: tuple[int, dict[str, float]] | None = None
    handled: tuple[int, dict[str, float]] | None = None
    while True:
        try:
            guard.reading = True
            item = next(rows, None)
            guard.reading = False
        except KeyboardInterrupt:
            guard.reading = False
            # Interrupted after the row was read but before it was handed out: hand it out.
            if item is not None and item is not handled:
                yield item
            return
        if item is None:
            return
        handled = item
        yield item
        if guard.requested:
            return


def run(argv: list[str] | None, progress_holder: list[Progress]) -> int:
    args = build_parser().parse_args(argv)
    check_settings(args)
    try:
        source = open_source(args)
        try:
            return stream(args, source, progress_holder)
        finally:
            source.close()
    except InputError as error:
        raise with_flag(error, args) from None


def stream(args: argparse.Namespace, source: Source, progress_holder: list[Progress]) -> int:
    unit, timing = source.seconds_per_unit, source.timing
    window, how = time_window(args, source)
    settings = Settings(args.window_size, args.alpha, window, args.threshold)
    chart_columns = args.chart_columns or source.columns[:CHART_COLUMNS]
    for name in chart_columns:
        if name not in source.columns:
            raise UsageError(f"--chart-columns: {name!r} is not a value column "
                             f"(value columns: {', '.join(source.columns)})")
    zoom = None
    if args.zoom is not None:
        zoom = (parse_point(args.zoom[0], unit), parse_point(args.zoom[1], unit))
        if zoom[0] >= zoom[1]:
            raise UsageError(f"--zoom {args.zoom[0]} {args.zoom[1]}: the start must come "
                             "before the end")
    live = args.csv == "-"
    show = args.show if args.show is not None else (None if live else SHOW_FROM_FILE)

    if isinstance(source, Feed) and source.left_out:
        names = ", ".join(repr(name) for name in source.left_out)
        print(f"{PROG}: note: left out {names}: no numeric value in the first "
              f"{source.sampled:,} rows (name value columns with --columns)", file=sys.stderr)
    kind = timing.kind
    if timing.assumed is not None:
        kind += f"; assumed: {timing.assumed}; --epoch none reads plain integers"
    print(f"{source.name}: columns {', '.join(source.columns)} ({kind})")
    print(f"window_size={settings.window_size}  alpha={settings.alpha:g}  "
          f"time_window={format_duration(settings.time_window, unit)}{how}  "
          f"flag |z| > {settings.threshold:g} once a column's window is full (at most "
          f"sqrt(window_size - 1) = {math.sqrt(settings.window_size - 1):.2f} can occur)",
          flush=live)

    trace: TextIO | None = None
    if args.trace is not None:
        try:
            args.trace.parent.mkdir(parents=True, exist_ok=True)
            trace = open(args.trace, "w", newline="")
        except OSError as error:
            raise InputError(f"--trace {args.trace}: {error.strerror or error}") from None
    monitor = Monitor(source.columns, settings, trace)
    chart = None
    if args.chart is not None:
        from quillometer_tools.monitor.chart import Chart

        chart = Chart(chart_columns, settings.threshold, settings.window_size, zoom)
        for name in chart_columns:
            monitor.tally[name].sink = chart.sink(name)

    progress = Progress(not args.no_progress and not live)
    progress_holder.append(progress)
    width = max(len(name) for name in source.columns)
    printed = dict.fromkeys(source.columns, 0)
    decimals: dict[str, int] = {}  # per column, fixed by its first flag line
    started = time.perf_counter()
    rows = 0
    with InterruptGuard() as guard:
        for ts, row in rows_until_interrupt(source, guard):
            flags = monitor.process(ts, row)
            rows += 1
            for flag in flags:
                if show is None or printed[flag.column] < show:
                    printed[flag.column] += 1
                    progress.clear()
                    places = decimals.setdefault(
                        flag.column, decimals_for(monitor.tally[flag.column].scale))
                    print(flag_line(flag, width, unit, timing.precision, places), flush=live)
            if rows & 4095 == 0:
                progress.rows(rows, source.fraction())
        interrupted = guard.requested
    if trace is not None:
        try:
            trace.close()
        except OSError as error:  # the last buffered lines could not be written
            raise InputError(f"--trace {args.trace}: {error.strerror or error}") from None
    progress.clear()
    elapsed = time.perf_counter() - started

    for name in source.columns:
        more = monitor.tally[name].flags - printed[name]
        if more > 0:
            print(f"... and {more:,} more flags in {name}")
    if interrupted:
        print("interrupted: the summary covers the rows read so far")
    if source.unsorted:
        print(f"{PROG}: warning: {source.unsorted:,} rows have a time below the previous "
              "row's; the time windows expect times in order (equal times are fine)",
              file=sys.stderr)
    print(f"\n{rows:,} rows, {monitor.values:,} values in {elapsed:.2f} s "
          f"({rows / max(elapsed, 1e-9):,.0f} rows/s)\n")
    print(summary_table(monitor, source), flush=True)
    if chart is not None:
        progress.status("drawing the chart")
        from quillometer_tools.monitor.chart import save

        figure = chart.draw(source.name, unit, rows)
        progress.status(f"writing {args.chart}")
        try:
            save(figure, args.chart)
        except OSError as error:
            raise InputError(f"--chart {args.chart}: {error.strerror or error}") from None
        progress.clear()
        print(f"\nchart: {args.chart}")
    return EXIT_INTERRUPTED if interrupted else 0


def flag_line(flag: Flag, width: int, unit: float | None, precision: str | None,
              decimals: int) -> str:
    return (f"{format_time(flag.ts, unit, precision)}  {flag.column:<{width}}  "
            f"{fixed(flag.value, decimals):>9}  "
            f"z={flag.zscore:+.2f}  rolling {fixed(flag.rolling_mean, decimals)}"
            f"±{fixed(flag.rolling_std, decimals)}")


def main(argv: list[str] | None = None) -> int:
    progress: list[Progress] = []
    try:
        return run(argv, progress)
    except (UsageError, InputError) as error:
        for shown in progress:
            shown.clear()
        hint = " (see --help)" if isinstance(error, UsageError) else ""
        sys.stdout.flush()
        print(f"{PROG}: {error}{hint}", file=sys.stderr)
        return EXIT_USAGE if isinstance(error, UsageError) else EXIT_INPUT
    except KeyboardInterrupt:  # a second Ctrl-C, while drawing
        for shown in progress:
            shown.clear()
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (`| head`): stop quietly, and keep the
        # interpreter's final flush from complaining about the closed pipe.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_PIPE
