"""CSV input shared by the companion commands: one timestamp column and numeric value columns,
read row by row in constant memory, from a file or from standard input as lines arrive.

Bad input raises InputError, whose message is one line meant for the user.
"""

from __future__ import annotations

import csv
import io
import math
import os
import stat
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import NamedTuple, TextIO

__all__ = ["EPOCH_UNITS", "TIME_COLUMNS", "Feed", "FeedOptions", "InputError", "Row", "open_feed",
           "parse_value"]

EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
TIME_COLUMNS = ("timestamp", "ts", "time", "datetime", "date")
# Seconds per unit of integer timestamps counted from 1970.
EPOCH_UNITS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9}
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
# Seconds from 1970 to the first and the last second that a date-time can show.
EARLIEST, LATEST = -62_135_596_800, 253_402_300_799


class Row(NamedTuple):
    """One row of a stream: its timestamp and the values it names (`q.append(row.values, row.ts)`
    feeds it to the module)."""

    ts: int
    values: dict[str, float]


class InputError(Exception):
    """Bad input: the message is one line meant for the user (no traceback is shown)."""


@dataclass(frozen=True)
class FeedOptions:
    time_column: str | None = None  # None: first of timestamp/ts/time/datetime/date, else column 0
    columns: Sequence[str] | None = None  # None: every other column
    time_format: str | None = None  # strptime format; None: integers, or ISO 8601 date-times
    epoch: str | None = None  # unit of integer timestamps: 's', 'ms', 'us', 'ns' (None: unitless)


def parse_value(text: str) -> float | None:
    """The cell as a finite float, or None: NaN or an infinity would spoil a window for good."""
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def _looks_like_data(cell: str) -> bool:
    """Whether a header cell is really a value: a number or an ISO date-time."""
    text = cell.strip()
    if not text:
        return False
    try:
        float(text)
        return True
    except ValueError:
        pass
    try:
        datetime.fromisoformat(text)
        return True
    except ValueError:
        return False


class Feed:
    """Rows of one CSV source in order, read lazily (constant memory).

    `open_feed` has read the header and the first data row already, so the kind of timestamps
    (and with it `seconds_per_unit`) is known before iteration starts.
    """

    columns: list[str]  # the value columns, in header order
    time_column: str
    skipped: dict[str, int]  # per column: empty, non-numeric or non-finite cells
    unsorted: int  # rows whose timestamp is below the previous row's
    rows_read: int
    seconds_per_unit: float | None  # one timestamp unit in seconds, if known (date-times: 1.0)

    def __init__(self, name: str, file: TextIO, options: FeedOptions) -> None:
        self.name = name
        self._file = file
        self._options = options
        self._reader = csv.reader(file)
        self.unsorted = 0
        self.rows_read = 0
        header = self._next_record()
        if header is None:
            raise InputError(f"{name}: empty input (expected a header line such as "
                             "timestamp,value)")
        header = [cell.strip() for cell in header]
        if all(_looks_like_data(cell) for cell in header):
            raise InputError(f"{name}: no header: line 1 holds values ({','.join(header)}); "
                             "the first line must name the columns, e.g. timestamp,value")
        for position, cell in enumerate(header):
            if not cell:
                raise InputError(f"{name}: column {position + 1} of the header has no name")
            if cell in header[:position]:
                raise InputError(f"{name}: the header names column {cell!r} twice")
        self.header = header
        listing = ", ".join(header)
        if options.time_column is None:
            by_name = {cell.lower(): cell for cell in header}
            self.time_column = next((by_name[t] for t in TIME_COLUMNS if t in by_name), header[0])
        elif options.time_column in header:
            self.time_column = options.time_column
        else:
            raise InputError(f"{name}: no time column {options.time_column!r} "
                             f"(columns: {listing})")
        if options.columns is None:
            self.columns = [cell for cell in header if cell != self.time_column]
        else:
            self.columns = list(dict.fromkeys(options.columns))
            for column in self.columns:
                if column == self.time_column:
                    raise InputError(f"{name}: {column!r} is the time column, not a value column")
                if column not in header:
                    raise InputError(f"{name}: no column {column!r} (columns: {listing})")
        if not self.columns:
            raise InputError(f"{name}: no value column besides the time column "
                             f"{self.time_column!r}")
        if options.epoch is not None and options.time_format is not None:
            raise InputError("--epoch is for integer times and --time-format for date-times; "
                             "give one of them")
        if options.epoch is not None and options.epoch not in EPOCH_UNITS:
            raise InputError(f"unknown epoch unit {options.epoch!r} (one of "
                             f"{', '.join(EPOCH_UNITS)})")
        self._time_at = header.index(self.time_column)
        self._value_at = [(column, header.index(column)) for column in self.columns]
        self.skipped = dict.fromkeys(self.columns, 0)
        self._numeric = dict.fromkeys(self.columns, False)
        self._dates: bool | None = None  # fixed by the first row: date-times or integers
        self._last_ts: int | None = None
        self.seconds_per_unit = (EPOCH_UNITS[options.epoch] if options.epoch is not None
                                 else 1.0 if options.time_format is not None else None)
        # The first row, read now so that the kind of timestamps is known.
        self._first = self._next_row()
        if self._first is None:
            raise InputError(f"{name}: no rows after the header")

    def _next_record(self) -> list[str] | None:
        """The next non-blank CSV record, or None at the end."""
        try:
            for record in self._reader:
                if record and any(cell.strip() for cell in record):
                    return record
        except UnicodeDecodeError:
            raise InputError(f"{self.name}: not UTF-8 text") from None
        except csv.Error as error:
            raise InputError(f"{self.name}, line {self._reader.line_num}: {error}") from None
        except OSError as error:
            raise InputError(f"{self.name}: {error.strerror or error}") from None
        return None

    def _parse_time(self, text: str) -> int:
        line = self._reader.line_num
        options = self._options
        text = text.strip()
        if options.time_format is not None:
            try:
                moment = datetime.strptime(text, options.time_format)
            except ValueError:
                raise InputError(f"{self.name}, line {line}: time {text!r} does not match "
                                 f"--time-format {options.time_format!r}") from None
            return self._seconds(moment, line)
        integer: int | None
        try:
            integer = int(text)
        except ValueError:
            integer = None
        if integer is not None and self._dates is not True:
            self._dates = False
            if not INT64_MIN <= integer <= INT64_MAX:
                raise InputError(f"{self.name}, line {line}: time {text} is out of the "
                                 "signed 64-bit range")
            if options.epoch is not None:
                self._check_epoch(integer, options.epoch, line)
            return integer
        try:
            moment = datetime.fromisoformat(text.replace("/", "-"))
        except ValueError:
            hint = ("expected an integer or an ISO 8601 date-time such as 2024-05-01 13:45; "
                    "for other forms give --time-format, e.g. '%b %d %Y'")
            raise InputError(f"{self.name}, line {line}: cannot read the time {text!r} "
                             f"({hint})") from None
        if self._dates is False:
            raise InputError(f"{self.name}, line {line}: time {text!r} is a date-time, but the "
                             "rows before it have integer times")
        if self._dates is None:
            if options.epoch is not None:
                raise InputError(f"{self.name}, line {line}: --epoch is for integer times, but "
                                 f"the time column holds date-times ({text!r})")
            self._dates = True
            self.seconds_per_unit = 1.0
        return self._seconds(moment, line)

    def _check_epoch(self, ts: int, unit: str, line: int) -> None:
        """An epoch time must fall in the years 1 to 9999; one that does not was most likely
        given in another unit."""
        if EARLIEST <= ts * EPOCH_UNITS[unit] <= LATEST:
            return
        fits = [other for other, size in EPOCH_UNITS.items()
                if size < EPOCH_UNITS[unit] and EARLIEST <= ts * size <= LATEST]
        hint = f"; is the unit {fits[0]}?" if fits else ""
        raise InputError(f"{self.name}, line {line}: time {ts} counted in {unit} since 1970 "
                         f"falls outside the years 1 to 9999 (--epoch {unit}){hint}")

    def _seconds(self, moment: datetime, line: int) -> int:
        """Whole seconds since 1970 (a naive date-time is taken as UTC)."""
        if moment.tzinfo is None:
            moment = moment.replace(tzinfo=timezone.utc)
        try:
            return (moment - EPOCH) // timedelta(seconds=1)
        except OverflowError:
            raise InputError(f"{self.name}, line {line}: time out of range") from None

    def _next_row(self) -> Row | None:
        record = self._next_record()
        if record is None:
            return None
        if self._time_at >= len(record) or not record[self._time_at].strip():
            raise InputError(f"{self.name}, line {self._reader.line_num}: no time in "
                             f"column {self.time_column!r}")
        ts = self._parse_time(record[self._time_at])
        if self._last_ts is not None and ts < self._last_ts:
            self.unsorted += 1
        self._last_ts = ts
        row: dict[str, float] = {}
        width = len(record)
        for column, at in self._value_at:
            value = parse_value(record[at]) if at < width else None
            if value is None:
                self.skipped[column] += 1
            else:
                row[column] = value
                self._numeric[column] = True
        self.rows_read += 1
        return Row(ts, row)

    def __iter__(self) -> Iterator[Row]:
        first, self._first = self._first, None
        if first is not None:
            yield first
        while (row := self._next_row()) is not None:
            yield row
        empty = [column for column, numeric in self._numeric.items() if not numeric]
        if empty:
            raise InputError(f"{self.name}: column {empty[0]!r} has no numeric value in "
                             f"{self.rows_read} rows (choose value columns with --columns)")

    def fraction(self) -> float | None:
        """The share of a regular file read so far (within a read-ahead buffer); None for a
        pipe or standard input."""
        try:
            info = os.fstat(self._file.fileno())
            if not stat.S_ISREG(info.st_mode) or info.st_size <= 0:
                return None
            return min(1.0, self._file.buffer.tell() / info.st_size)
        except (OSError, AttributeError, ValueError):
            return None

    def close(self) -> None:
        self._file.close()


def open_feed(path: str, options: FeedOptions = FeedOptions()) -> Feed:
    """`-` reads standard input line by line as it arrives. Raises InputError for a missing,
    unreadable or empty file, no header, an unknown time column or --columns name; iteration
    raises InputError (with the line number) for an unparseable time, and at the end for a
    requested column with no numeric value at all.

    The header and the first row are read here, so InputError for them comes from this call.
    """
    file: TextIO
    if path == "-":
        # A buffered reader's read1 returns what a pipe holds without waiting for a full
        # buffer, so each line is handed over as soon as it arrives.
        file = io.TextIOWrapper(open(sys.stdin.fileno(), "rb", closefd=False),
                                encoding="utf-8-sig", newline="")
        name = "standard input"
    else:
        name = path
        try:
            file = open(path, encoding="utf-8-sig", newline="")
        except OSError as error:
            raise InputError(f"{path}: {error.strerror or error}") from None
    try:
        return Feed(name, file, options)
    except BaseException:
        file.close()
        raise
