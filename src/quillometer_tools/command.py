"""The command-line layer shared by `quillometer-monitor` and `quillometer-ray`: the options both
take (the CSV and how to read it, the statistics' settings, --show) with one syntax, one set of
defaults and one validation; the time window derived from the cadence; the exit codes; the
translation of every error into one line on standard error; and the summary table."""

from __future__ import annotations

import argparse
import enum
import math
import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import NoReturn

from quillometer_tools.feed import Feed, FeedOptions, InputError, OutputError
from quillometer_tools.times import (
    DURATION,
    DURATION_EXAMPLES,
    EPOCH_UNITS,
    TimeError,
    format_duration,
    parse_duration,
    rate_unit,
    readable_duration,
)

WINDOW_SIZE = 168  # values: a week of hourly readings
ALPHA = 0.1
TIME_WINDOW = 86_400  # timestamp units, for a stream of one time with no unit
DAY = "1d"  # the time window of a stream of one time with a unit
MAX_WINDOW_SIZE = 10_000_000  # the count window's 8 bytes per value are reserved up front
SHOW = 20  # columns in the summary table


class Exit(enum.IntEnum):
    """The exit status of both commands."""

    OK = 0
    INPUT = 1  # bad input: the file, its content, the cluster, the disk
    USAGE = 2  # bad usage: an option's value is refused, alone or for this input
    INTERNAL = 70  # an error of the command itself
    INTERRUPTED = 130  # Ctrl-C
    PIPE = 141  # the reader of the output went away


class UsageError(Exception):
    """Bad command line: shown as one line, with a pointer to --help."""


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are UsageErrors (its subcommands' parsers too)."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


# Option types. Each refuses a value with a message of its own: argparse would otherwise name
# the function ("invalid whole value").


def whole(low: int, high: int | None = None) -> Callable[[str], int]:
    expected = (
        f"an integer from {low:,} to {high:,}"
        if high is not None
        else f"an integer of at least {low:,}"
    )

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = None
        if value is None or value < low or (high is not None and value > high):
            raise argparse.ArgumentTypeError(f"expected {expected}, not {text!r}")
        return value

    return parse


def _number(text: str, holds: Callable[[float], bool], expected: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not holds(value):
        raise argparse.ArgumentTypeError(f"expected {expected}, not {text!r}")
    return value


def alpha(text: str) -> float:
    return _number(text, lambda value: 0 < value <= 1, "a number with 0 < alpha <= 1")


def positive(text: str) -> float:
    return _number(text, lambda value: 0 < value < math.inf, "a positive number")


def duration(text: str) -> str:
    """A time window as given: timestamp units (an integer of at least 1) or a duration. Its
    size in units is known once the times' unit is (time_window)."""
    match = DURATION.match(text)
    try:
        units = int(text)
    except ValueError:
        units = None
    if (units is None or units < 1) and (match is None or float(match.group(1)) == 0):
        raise argparse.ArgumentTypeError(
            f"expected timestamp units (an integer of at least 1) "
            f"or a duration such as {DURATION_EXAMPLES}, not "
            f"{text!r}"
        )
    return text


def column_names(text: str) -> list[str]:
    """One --columns word: a name, or names separated by commas."""
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError(f"expected column names, not {text!r}")
    return names


def add_input_options(parser: argparse.ArgumentParser, *, csv_default: str) -> None:
    parser.add_argument(
        "csv",
        nargs="?",
        help=f"a CSV with a header line and a timestamp column; - reads "
        f"standard input as it arrives (default: {csv_default})",
    )
    source = parser.add_argument_group("input")
    source.add_argument(
        "--time-column",
        help="the timestamp column (default: one named "
        "timestamp, ts, time, datetime or date, else the first)",
    )
    source.add_argument(
        "--columns",
        nargs="+",
        type=column_names,
        metavar="NAME",
        help="the value columns, separated by spaces or commas (default: all "
        "others with a numeric value in the first 256 rows)",
    )
    source.add_argument(
        "--time-format",
        metavar="FORMAT",
        help="strptime format of the times, e.g. '%%b %%d %%Y' for Jan 1 2000 "
        "(default: integers, years such as 1700 or 1749.5, or ISO 8601 "
        "date-times; naive ones are UTC)",
    )
    source.add_argument(
        "--epoch",
        choices=[*EPOCH_UNITS, "none"],
        metavar="{s,ms,us,ns,none}",
        help="integer times count this unit since 1970; none: they are plain "
        "numbers (default: years if the first is in 1000-2999, the unit "
        "in which it falls in 1990-2100, else plain numbers)",
    )


def add_statistics_options(parser: argparse.ArgumentParser) -> argparse._ArgumentGroup:
    stats = parser.add_argument_group("statistics")
    stats.add_argument(
        "--window-size",
        type=whole(1, MAX_WINDOW_SIZE),
        default=WINDOW_SIZE,
        metavar="N",
        help="values per column in the count window (default: %(default)s)",
    )
    stats.add_argument(
        "--alpha",
        type=alpha,
        default=ALPHA,
        help="the EWMA's smoothing factor, 0 < alpha <= 1 (default: %(default)s)",
    )
    stats.add_argument(
        "--time-window",
        type=duration,
        metavar="WIDTH",
        help="width of the time window: a duration such as 90s, 30m, 24h, 7d, "
        "2w, 1y for timed input, or timestamp units (default: window-size "
        "times the median step of the first rows, rounded)",
    )
    return stats


def add_show_option(parser: argparse._ActionsContainer) -> None:
    parser.add_argument(
        "--show",
        type=whole(1),
        default=SHOW,
        metavar="N",
        help="columns in the summary table, in the input's order (default: %(default)s)",
    )


def check_input_options(args: argparse.Namespace) -> None:
    """Flattens --columns and refuses options that contradict each other, or that describe
    a CSV when none is given."""
    if args.columns is not None:
        args.columns = [name for names in args.columns for name in names]
    if args.epoch is not None and args.time_format is not None:
        raise UsageError(
            "--epoch is for integer times and --time-format for date-times; give one of them"
        )
    if args.csv is None:
        given = [
            flag
            for flag, value in (
                ("--time-column", args.time_column),
                ("--columns", args.columns),
                ("--time-format", args.time_format),
                ("--epoch", args.epoch),
            )
            if value is not None
        ]
        if given:
            raise UsageError(f"{given[0]} describes a CSV; give the CSV file (or -)")


def feed_options(args: argparse.Namespace, sample_rows: int) -> FeedOptions:
    return FeedOptions(args.time_column, args.columns, args.time_format, args.epoch, sample_rows)


# The command-line flag behind each FeedOptions field that an InputError can be about.
OPTION_FLAGS = {
    "time_column": "--time-column",
    "columns": "--columns",
    "time_format": "--time-format",
    "epoch": "--epoch",
}


def with_flag(error: InputError, args: argparse.Namespace) -> InputError:
    """The input error with the flag it is about, and the value given, if any."""
    if error.option not in OPTION_FLAGS or getattr(args, "csv", None) is None:
        return error
    value = getattr(args, error.option)
    given = (
        " ".join(value)
        if isinstance(value, list)
        else repr(value)
        if error.option == "time_format"
        else value
    )
    flag = OPTION_FLAGS[error.option] + (f" {given}" if value is not None else "")
    return InputError(f"{error} ({flag})")


def time_window(
    args: argparse.Namespace, seconds_per_unit: float | None, step: float | None
) -> tuple[int, str]:
    """The time window in timestamp units, and how it was chosen (empty when given): by
    default window-size times the median step of the first rows, as a readable duration."""
    unit = seconds_per_unit
    if args.time_window is not None:
        text, how = args.time_window, ""
    elif step is None:  # one row, or one time
        text, how = (DAY if unit is not None else str(TIME_WINDOW)), " (one time)"
    else:
        shown = readable_duration(step * unit) if unit is not None else f"{step:g}"
        how = f" ({args.window_size} × the median step, {shown})"
        text = (
            readable_duration(args.window_size * step * unit)
            if unit is not None
            else str(max(1, round(args.window_size * step)))
        )
    try:
        units = parse_duration(text, unit)
    except TimeError as error:
        raise UsageError(f"--time-window {error}") from None
    if units < 1:
        raise UsageError(
            f"--time-window {text}: less than one timestamp unit ({format_duration(1, unit)})"
        )
    return units, how


def settings_text(window_size: int, alpha: float, window: int, unit: float | None, how: str) -> str:
    return (
        f"window_size={window_size}  alpha={alpha:g}  "
        f"time_window={format_duration(window, unit)}{how}"
    )


def plural(count: int, word: str) -> str:
    """`1 column`, `2 columns`, `3,000 rows`."""
    return f"{count:,} {word}" + ("" if count == 1 else "s")


def feed_notes(prog: str, feed: Feed) -> None:
    """What the reader left out, on standard error, before the output."""
    if feed.left_out:
        names = ", ".join(repr(name) for name in feed.left_out)
        print(
            f"{prog}: note: left out {names}: no numeric value in the first "
            f"{feed.sampled:,} rows (name value columns with --columns)",
            file=sys.stderr,
        )


def unsorted_warning(prog: str, unsorted: int) -> None:
    if unsorted:
        print(
            f"{prog}: warning: {plural(unsorted, 'row')} {'has' if unsorted == 1 else 'have'} "
            "a time below the previous row's; the time windows expect times in order (equal "
            "times are fine)",
            file=sys.stderr,
        )


# Errors.


def one_line(text: str) -> str:
    return next((line.strip() for line in text.splitlines() if line.strip()), "")


def os_error_text(error: OSError) -> str:
    if error.strerror is None:
        return one_line(str(error))
    return f"{error.filename}: {error.strerror}" if error.filename else error.strerror


def main_of(
    prog: str,
    parse: Callable[[Sequence[str] | None], argparse.Namespace],
    body: Callable[[argparse.Namespace], int],
    argv: Sequence[str] | None,
    *,
    input_errors: tuple[type[BaseException], ...] = (),
    before_message: Callable[[], None] = lambda: None,
) -> int:
    """Parses the command line and runs the command, and turns whatever it raises into one line
    on standard error and an exit status: UsageError 2, InputError, OutputError, OSError and
    the command's `input_errors` 1, Ctrl-C 130, a closed output pipe 141, and any other error 70
    as an internal error. `before_message` clears what the command shows on the terminal."""

    def report(text: str) -> None:
        before_message()
        sys.stdout.flush()
        print(f"{prog}: {text}", file=sys.stderr)

    args: argparse.Namespace | None = None
    try:
        args = parse(argv)
        return body(args)
    except UsageError as error:
        report(f"{error} (see --help)")
        return Exit.USAGE
    except KeyboardInterrupt:
        before_message()
        print(f"{prog}: interrupted", file=sys.stderr)
        return Exit.INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (`| head`): stop quietly, and keep the
        # interpreter's final flush from complaining about the closed pipe.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return Exit.PIPE
    except InputError as error:
        report(str(with_flag(error, args) if args is not None else error))
        return Exit.INPUT
    except OutputError as error:
        report(f"--{error.option.replace('_', '-')} {error}" if error.option else str(error))
        return Exit.INPUT
    except input_errors as error:
        report(one_line(str(error)))
        return Exit.INPUT
    except OSError as error:
        report(os_error_text(error))
        return Exit.INPUT
    except Exception as error:  # noqa: BLE001 - a fault of the command: exit 70
        report(f"internal error: {type(error).__name__}: {one_line(str(error))}")
        return Exit.INTERNAL


# The summary table.

EPS = sys.float_info.epsilon
# A spread whose square is within 64 ulps of the column's scale squared, or a mean within 64
# ulps of its scale, is the rounding drift of running sums (an all-zero window after larger
# values, say): it is shown as 0. The scale is that of the sums, the largest |value appended|.
# The figures themselves are left as they are.
SPREAD_FLOOR = 8 * math.sqrt(EPS)
MEAN_FLOOR = 64 * EPS


def decimals_for(scale: float) -> int:
    """Two decimals for figures of 0.1 and more; more for smaller ones, up to six."""
    if scale <= 0 or scale >= 0.1:
        return 2
    return min(6, 2 - math.floor(math.log10(scale)))


def plus_minus(mean: float, std: float, decimals: int, floors: tuple[float, float]) -> str:
    """mean±std with the column's decimals and floors."""
    return f"{fixed(mean, decimals, floors[0])}±{fixed(std, decimals, floors[1])}"


def fixed(value: float, decimals: int, floor: float = 0.0) -> str:
    """The value with the column's decimals; one within `floor` of zero is 0, never -0.00."""
    if abs(value) <= floor:
        value = 0.0
    text = f"{value:.{decimals}f}"
    return text[1:] if text.startswith("-") and float(text) == 0 else text


def significant(value: float) -> str:
    """Three significant digits, two decimals at least for small figures, no exponent below
    a million."""
    if value == 0:
        return "0"
    if abs(value) >= 1e6:
        return f"{value:.3g}"
    decimals = max(2, 2 - math.floor(math.log10(abs(value))))
    return f"{value:.{decimals}f}"


def format_rate(rate: float, seconds_per_unit: float | None, step: float | None) -> str:
    """The module's rate (values per timestamp unit) per the unit that fits the cadence (the
    median step, in timestamp units): per second, minute, hour, day, week or year; per unit
    when the unit is unknown."""
    if seconds_per_unit is None:
        return f"{significant(rate)}/unit"
    per_second = rate / seconds_per_unit
    if step is None:  # a single row: per second, hour or day, whichever gives 1 or more
        suffix, size = next(
            ((suffix, size) for suffix, size in (("s", 1), ("h", 3600)) if per_second * size >= 1),
            ("d", 86_400),
        )
    else:
        suffix, size = rate_unit(step * seconds_per_unit)
    return f"{significant(per_second * size)}/{suffix}"


@dataclass(frozen=True)
class ColumnSummary:
    """One line of the summary table: a column's figures as the module gives them."""

    name: str
    values: int
    skipped: int
    mean: float
    std: float
    last: float
    rolling_mean: float
    rolling_std: float
    time_mean: float
    time_std: float
    rate: float
    ewma: float
    scale: float  # the largest |value|: it sets the decimals
    sums_scale: float  # the largest |value appended|: figures in its rounding drift show as 0
    flagged: int | None = None  # None: the command does not flag values


@dataclass(frozen=True)
class Cadence:
    """What the table needs of the times: their unit in seconds (None: unknown) and the median
    step of the first rows in units (None: one time)."""

    seconds_per_unit: float | None
    step: float | None


def summary_table(
    columns: Sequence[ColumnSummary],
    window_size: int,
    time_window: int,
    cadence: Cadence,
    show: int,
) -> str:
    """Values, skipped cells, all-time mean and std, last value, count-window and time-window
    mean ± std, rate, EWMA (and flags) of the first `show` columns, then how many are left."""
    shown = columns[:show]
    flags = all(column.flagged is not None for column in columns)
    unit = cadence.seconds_per_unit
    header = [
        "column",
        "values",
        "skipped",
        "mean",
        "std",
        "last",
        f"rolling {window_size}",
        f"{format_duration(time_window, unit)} window",
        "rate",
        "ewma",
    ]
    header += ["flagged"] if flags else []
    rows = [header]
    for column in shown:
        d = decimals_for(column.scale)
        mean_floor, spread_floor = MEAN_FLOOR * column.sums_scale, SPREAD_FLOOR * column.sums_scale
        floors = (mean_floor, spread_floor)

        rows.append(
            [
                column.name,
                f"{column.values}",
                f"{column.skipped}",
                fixed(column.mean, d, mean_floor),
                fixed(column.std, d, spread_floor),
                fixed(column.last, d),
                plus_minus(column.rolling_mean, column.rolling_std, d, floors),
                plus_minus(column.time_mean, column.time_std, d, floors),
                format_rate(column.rate, unit, cadence.step),
                fixed(column.ewma, d, mean_floor),
            ]
            + ([f"{column.flagged}"] if flags else [])
        )
    for i in (6, 7):  # mean±std: the ± signs in one line
        parts = [row[i].split("±") for row in rows[1:]]
        left = max((len(part[0]) for part in parts), default=0)
        right = max((len(part[1]) for part in parts), default=0)
        for row, part in zip(rows[1:], parts, strict=True):
            row[i] = f"{part[0].rjust(left)}±{part[1].ljust(right)}"
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    lines = []
    for row in rows:
        cells = [row[0].ljust(widths[0])] + [
            cell.rjust(w) for cell, w in zip(row[1:], widths[1:], strict=True)
        ]
        lines.append("  ".join(cells).rstrip())
    lines.insert(1, "-" * len(lines[0]))
    if len(columns) > len(shown):
        lines.append(
            f"... and {plural(len(columns) - len(shown), 'more column')} (--show N prints N)"
        )
    return "\n".join(lines)
