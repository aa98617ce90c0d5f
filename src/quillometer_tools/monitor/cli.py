"""Streams a CSV of timestamped readings through a Quillometer in constant memory, prints each
flagged value as it happens, then a summary per column, and draws a chart.

Input: a CSV file, `-` for standard input (followed as lines arrive, as from `tail -f`), or
nothing for the bundled daily highs of Seattle (vega_datasets).
Exit status: 0 done, 1 bad input (one line on standard error), 2 bad usage, 70 internal error,
130 interrupted (Ctrl-C; the summary and chart of what was read are still given), 141 output
pipe closed.
"""

from __future__ import annotations

import argparse
import math
import signal
import time
from collections.abc import Iterator, Sequence
from pathlib import Path
from types import FrameType
from typing import TextIO

from quillometer_tools.command import (
    Cadence,
    ColumnSummary,
    Exit,
    Parser,
    UsageError,
    add_input_options,
    add_show_option,
    add_statistics_options,
    check_input_options,
    decimals_for,
    feed_notes,
    feed_options,
    fixed,
    main_of,
    plural,
    positive,
    settings_text,
    summary_table,
    time_window,
    unsorted_warning,
    whole,
)
from quillometer_tools.feed import SAMPLE_ROWS, Feed, InputError, OutputError, open_feed
from quillometer_tools.monitor.progress import Progress
from quillometer_tools.monitor.stream import Flag, Monitor, Settings, Source
from quillometer_tools.times import TimeError, format_time, parse_iso, seconds_since_epoch

PROG = "quillometer-monitor"
CHART_COLUMNS = 4  # charted by default: the first few value columns
FLAGS_FROM_FILE = 12  # flags printed per column for a file (a live feed prints them all)


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG,
        description=(__doc__ or "").split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=(__doc__ or "").split("\n\n", 1)[1],
    )
    add_input_options(parser, csv_default="the bundled temperatures")
    stats = add_statistics_options(parser)
    stats.add_argument(
        "--threshold",
        type=positive,
        default=Settings.threshold,
        help="flag a value whose |z| in its count window exceeds this, once "
        "that window is full (default: %(default)s)",
    )
    out = parser.add_argument_group("output")
    add_show_option(out)
    out.add_argument(
        "--flags",
        type=whole(0),
        metavar="N",
        help=f"print at most N flags per column (default: {FLAGS_FROM_FILE} for a "
        "file, all for standard input)",
    )
    out.add_argument(
        "--chart",
        type=Path,
        metavar="PNG",
        help="draw the chart into this PNG (needs matplotlib: the monitor extra)",
    )
    out.add_argument(
        "--chart-columns",
        nargs="+",
        metavar="NAME",
        help=f"the columns to chart, a panel each (default: the first {CHART_COLUMNS})",
    )
    out.add_argument(
        "--zoom",
        nargs=2,
        metavar=("START", "END"),
        help="the zoom panel's range, as times of the input (default: the "
        "window with the most flags)",
    )
    out.add_argument(
        "--trace",
        type=Path,
        metavar="CSV",
        help="write every appended value with its statistics to this CSV",
    )
    out.add_argument(
        "--no-progress", action="store_true", help="no progress line (it shows on a terminal only)"
    )
    return parser


def parse_args(argv: Sequence[str] | None = None) -> argparse.Namespace:
    """The command line, checked: a UsageError (or an InputError for a missing chart
    library) when it cannot be run."""
    args = build_parser().parse_args(argv)
    check_input_options(args)
    if args.chart is not None:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise InputError(
                "--chart needs matplotlib: pip install 'quillometer[monitor]'"
            ) from None
    return args


def open_source(args: argparse.Namespace) -> Source:
    if args.csv is None:
        from quillometer_tools.monitor.bundled import bundled_temperatures

        return bundled_temperatures()
    # A live feed reads ahead no more rows than fill a count window, so no flag waits.
    sample = min(SAMPLE_ROWS, args.window_size) if args.csv == "-" else SAMPLE_ROWS
    return open_feed(args.csv, feed_options(args, sample))


def parse_point(text: str, seconds_per_unit: float | None) -> int:
    """A --zoom bound: timestamp units, or a date-time for timed input."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        moment = parse_iso(text)
    except TimeError:
        raise UsageError(
            f"--zoom {text!r}: expected a time such as 2010-03-01 or "
            "2010-03-01 12:00, or timestamp units"
        ) from None
    if seconds_per_unit is None:
        raise UsageError(
            f"--zoom {text!r}: the times are plain integers; give the range in their units"
        )
    try:
        return round(seconds_since_epoch(moment) / seconds_per_unit)
    except TimeError as error:
        raise UsageError(f"--zoom {text!r}: {error}") from None


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


def rows_until_interrupt(
    source: Source, guard: InterruptGuard
) -> Iterator[tuple[int, dict[str, float]]]:
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


def run(args: argparse.Namespace, progress_holder: list[Progress]) -> int:
    source = open_source(args)
    try:
        return stream(args, source, progress_holder)
    finally:
        source.close()


def stream(args: argparse.Namespace, source: Source, progress_holder: list[Progress]) -> int:
    unit, timing = source.seconds_per_unit, source.timing
    window, how = time_window(args, unit, timing.step)
    settings = Settings(args.window_size, args.alpha, window, args.threshold)
    chart_columns = args.chart_columns or source.columns[:CHART_COLUMNS]
    for name in chart_columns:
        if name not in source.columns:
            raise UsageError(
                f"--chart-columns: {name!r} is not a value column "
                f"(value columns: {', '.join(source.columns)})"
            )
    zoom = None
    if args.zoom is not None:
        zoom = (parse_point(args.zoom[0], unit), parse_point(args.zoom[1], unit))
        if zoom[0] >= zoom[1]:
            raise UsageError(
                f"--zoom {args.zoom[0]} {args.zoom[1]}: the start must come before the end"
            )
    live = args.csv == "-"
    show = args.flags if args.flags is not None else (None if live else FLAGS_FROM_FILE)

    if isinstance(source, Feed):
        feed_notes(PROG, source)
    kind = timing.kind
    if timing.assumed is not None:
        kind += f"; assumed: {timing.assumed}; --epoch none reads plain integers"
    print(f"{source.name}: columns {', '.join(source.columns)} ({kind})")
    print(
        f"{settings_text(settings.window_size, settings.alpha, window, unit, how)}  "
        f"flag |z| > {settings.threshold:g} once a column's window is full (|z| cannot exceed "
        f"sqrt(window_size - 1) = {math.sqrt(settings.window_size - 1):.2f} but by rounding)",
        flush=live,
    )

    trace: TextIO | None = None
    if args.trace is not None:
        try:
            args.trace.parent.mkdir(parents=True, exist_ok=True)
            trace = open(args.trace, "w", newline="")
        except OSError as error:
            raise OutputError.writing(args.trace, error, "trace") from None
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
                        flag.column, decimals_for(monitor.tally[flag.column].scale)
                    )
                    print(flag_line(flag, width, unit, timing.precision, places), flush=live)
            if rows & 4095 == 0:
                progress.rows(rows, source.fraction())
        interrupted = guard.requested
    if trace is not None:
        try:
            trace.close()
        except OSError as error:  # the last buffered lines could not be written
            raise OutputError.writing(args.trace, error, "trace") from None
    progress.clear()
    elapsed = time.perf_counter() - started

    for name in source.columns:
        more = monitor.tally[name].flags - printed[name]
        if more > 0:
            print(f"... and {plural(more, 'more flag')} in {name}")
    if interrupted:
        print("interrupted: the summary covers the rows read so far")
    unsorted_warning(PROG, source.unsorted)
    print(
        f"\n{plural(rows, 'row')}, {plural(monitor.values, 'value')} in {elapsed:.2f} s "
        f"({rows / max(elapsed, 1e-9):,.0f} rows/s)\n"
    )
    print(
        summary_table(
            summaries(monitor, source),
            settings.window_size,
            window,
            Cadence(unit, timing.step),
            args.show,
        ),
        flush=True,
    )
    if chart is not None:
        progress.status("drawing the chart")
        from quillometer_tools.monitor.chart import save

        figure = chart.draw(source.name, unit, rows)
        progress.status(f"writing {args.chart}")
        try:
            save(figure, args.chart)
        except OSError as error:
            raise OutputError.writing(args.chart, error, "chart") from None
        progress.clear()
        print(f"\nchart: {args.chart}")
    return Exit.INTERRUPTED if interrupted else Exit.OK


def summaries(monitor: Monitor, source: Source) -> list[ColumnSummary]:
    """The summary table's figures: the levels with the reference added back (levels.py)."""
    q = monitor.stats
    return [
        ColumnSummary(
            name,
            monitor.tally[name].count,
            source.skipped.get(name, 0),
            q.mean(name),
            monitor.std(name),
            q.last(name),
            q.rolling_mean(name),
            q.rolling_std(name),
            q.time_mean(name),
            q.time_std(name),
            q.rate(name),
            q.ewma(name),
            scale=monitor.tally[name].scale,
            sums_scale=monitor.tally[name].spread,
            flagged=monitor.tally[name].flags,
        )
        for name in monitor.columns
    ]


def flag_line(
    flag: Flag, width: int, unit: float | None, precision: str | None, decimals: int
) -> str:
    return (
        f"{format_time(flag.ts, unit, precision)}  {flag.column:<{width}}  "
        f"{fixed(flag.value, decimals):>9}  "
        f"z={flag.zscore:+.2f}  rolling {fixed(flag.rolling_mean, decimals)}"
        f"±{fixed(flag.rolling_std, decimals)}"
    )


def main(argv: Sequence[str] | None = None) -> int:
    progress: list[Progress] = []

    def clear_progress() -> None:
        for shown in progress:
            shown.clear()

    return main_of(
        PROG, parse_args, lambda args: run(args, progress), argv, before_message=clear_progress
    )
