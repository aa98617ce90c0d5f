"""CSV input shared by the companion commands: one timestamp column and numeric value columns,
read row by row in constant memory, from a file or from standard input as lines arrive.

Bad input raises InputError, whose message is one line meant for the user.
"""

from __future__ import annotations

import csv
import io
import os
import stat
import sys
from collections import deque
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import NamedTuple, TextIO

from quillometer_tools.times import (
    EPOCH_UNITS,
    TimeError,
    TimeReader,
    Timing,
    UnreadableTime,
    finite_float,
    looks_like_time,
    median_step,
    precision_for,
)

__all__ = [
    "EPOCH_UNITS",
    "SAMPLE_ROWS",
    "TIME_COLUMNS",
    "Feed",
    "FeedOptions",
    "InputError",
    "Row",
    "open_feed",
    "parse_value",
]

TIME_COLUMNS = ("timestamp", "ts", "time", "datetime", "date")
SAMPLE_ROWS = 256  # rows read when the feed opens: they settle the columns and the cadence


class Row(NamedTuple):
    """One row of a stream: its timestamp and the values it names (`q.append(row.values, row.ts)`
    feeds it to the module)."""

    ts: int
    values: dict[str, float]


class InputError(Exception):
    """Bad input: the message is one line meant for the user (no traceback is shown).
    `option` names the FeedOptions field the error is about, if one is."""

    def __init__(self, message: str, option: str | None = None) -> None:
        super().__init__(message)
        self.option = option


class OutputError(Exception):
    """A file the package writes could not be written (a full disk, a missing permission): the
    message is one line, "PATH: reason". `option` names the setting that gave the path, if one
    did, for the command to add its flag."""

    def __init__(self, message: str, option: str | None = None) -> None:
        super().__init__(message)
        self.option = option

    @classmethod
    def writing(cls, path: object, error: OSError, option: str | None = None) -> OutputError:
        """The error of a failed write of `path`."""
        return cls(f"{path}: {error.strerror or error}", option)


@dataclass(frozen=True)
class FeedOptions:
    time_column: str | None = None  # None: first of timestamp/ts/time/datetime/date, else column 0
    columns: Sequence[str] | None = None  # None: every other column with a numeric value
    time_format: str | None = None  # strptime format; None: integers, years or ISO date-times
    epoch: str | None = None  # unit of integer times ('s', 'ms', 'us', 'ns', 'none'); None: guess
    sample_rows: int = SAMPLE_ROWS  # rows read ahead when the feed opens (at least 1)


# A cell's value: a finite float, or None.
parse_value = finite_float


class Feed:
    """Rows of one CSV source in order, read lazily (constant memory).

    `open_feed` has read the header and the first rows already (`sample_rows` of them, or all
    there are): they fix the kind of times, the value columns (without a list of columns, one
    with no numeric value in them is left out) and the cadence, before iteration starts.

    A first header cell left empty (as a data frame's index is written) names the time column
    when its first cell reads as a time other than a plain integer, and no other column is
    the time column; otherwise it is a row index, left out, and the row number (from 0) is the
    time unless another column is the time column.
    """

    columns: list[str]  # the value columns, in header order
    time_column: str | None  # None: the row number is the time ('' for an unnamed one)
    skipped: dict[str, int]  # per column: empty, non-numeric or non-finite cells
    left_out: list[str]  # columns left out for having no numeric value in the first rows
    sampled: int  # rows read when the feed opened
    unsorted: int  # rows whose timestamp is below the previous row's
    rows_read: int
    timing: Timing
    seconds_per_unit: float | None  # one timestamp unit in seconds, if known (date-times: 1.0)

    def __init__(self, name: str, file: TextIO, options: FeedOptions) -> None:
        self.name = name
        self._file = file
        self._options = options
        self._reader = csv.reader(file)
        self._pushed: list[str] | None = None
        self.unsorted = 0
        self.rows_read = 0
        try:
            self._times = TimeReader(options.time_format, options.epoch)
        except TimeError as error:
            raise InputError(str(error), "epoch" if options.epoch else "time_format") from None
        header = self._next_record()
        if header is None:
            raise InputError(
                f"{name}: empty input (expected a header line such as timestamp,value)"
            )
        header = [cell.strip() for cell in header]
        if all(looks_like_time(cell) for cell in header):
            raise InputError(
                f"{name}: no header: line 1 holds values ({','.join(header)}); "
                "the first line must name the columns, e.g. timestamp,value"
            )
        for position, cell in enumerate(header):
            if not cell and position > 0:
                raise InputError(f"{name}: column {position + 1} of the header has no name")
            if cell in header[:position]:
                raise InputError(f"{name}: the header names column {cell!r} twice")
        self.header = header
        index = header[0] == ""  # a data frame's index, or its time column
        listing = ", ".join(cell or "(unnamed)" for cell in header)
        self.time_column = self._choose_time_column(header, index, listing)
        if options.columns is None:
            self.columns = [cell for cell in header if cell != self.time_column and cell != ""]
        else:
            self.columns = list(dict.fromkeys(options.columns))
            for column in self.columns:
                if column == self.time_column:
                    raise InputError(
                        f"{name}: {column!r} is the time column, not a value column", "columns"
                    )
                if column not in header or column == "":
                    raise InputError(
                        f"{name}: no column {column!r} (columns: {listing})", "columns"
                    )
        if not self.columns:
            raise InputError(
                f"{name}: no value column besides the time column {self.time_column!r}"
            )
        self._time_at = None if self.time_column is None else header.index(self.time_column)
        self._value_at = [(column, header.index(column)) for column in self.columns]
        self.skipped = dict.fromkeys(self.columns, 0)
        self._numeric = dict.fromkeys(self.columns, False)
        self._last_ts: int | None = None
        # The first rows, read now: they fix the kind of times, the columns and the cadence.
        self._buffer: deque[Row] = deque()
        while len(self._buffer) < max(1, options.sample_rows):
            row = self._next_row()
            if row is None:
                break
            self._buffer.append(row)
        if not self._buffer:
            raise InputError(f"{name}: no rows after the header")
        self.sampled = len(self._buffer)
        self.left_out = []
        if options.columns is None:
            self.left_out = [column for column in self.columns if not self._numeric[column]]
            if len(self.left_out) == len(self.columns):
                raise InputError(
                    f"{name}: no column besides the time has a numeric value in "
                    f"the first {self.sampled} rows"
                )
            for column in self.left_out:
                self.columns.remove(column)
                del self.skipped[column], self._numeric[column]
            self._value_at = [
                (column, at) for column, at in self._value_at if column in self._numeric
            ]
        stamps = [row.ts for row in self._buffer]
        step = median_step(stamps)
        unit = self._times.seconds_per_unit if self._time_at is not None else None
        kind = self._times.describe() if self._time_at is not None else "row numbers as times"
        self.timing = Timing(
            unit,
            kind,
            self._times.assumed,
            step,
            precision_for(stamps, unit, self._times.kind == "years", step),
        )
        self.seconds_per_unit = unit

    def _choose_time_column(self, header: list[str], index: bool, listing: str) -> str | None:
        options = self._options
        if options.time_column is not None:
            if options.time_column in header:
                return options.time_column
            raise InputError(
                f"{self.name}: no time column {options.time_column!r} (columns: {listing})",
                "time_column",
            )
        by_name = {cell.lower(): cell for cell in header}
        named = next((by_name[t] for t in TIME_COLUMNS if t in by_name), None)
        if named is not None or not index:
            return named if named is not None else header[0]
        # An unnamed first column: the time column if it holds times, else a row index.
        self._pushed = self._next_record()
        first = self._pushed[0] if self._pushed else ""
        kind = self._times.kind_of(first) if first.strip() else None
        return "" if kind not in (None, "plain") else None

    def _time_label(self) -> str:
        return "the first column" if self.time_column == "" else f"column {self.time_column!r}"

    def _next_record(self) -> list[str] | None:
        """The next non-blank CSV record, or None at the end."""
        if self._pushed is not None:
            record, self._pushed = self._pushed, None
            return record
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

    def _next_row(self) -> Row | None:
        record = self._next_record()
        if record is None:
            return None
        if self._time_at is None:
            ts = self.rows_read
        else:
            if self._time_at >= len(record) or not record[self._time_at].strip():
                raise InputError(
                    f"{self.name}, line {self._reader.line_num}: no time in {self._time_label()}"
                )
            try:
                ts = self._times.read(record[self._time_at])
            except TimeError as error:
                option = (
                    "epoch"
                    if self._options.epoch is not None
                    else "time_format"
                    if self._options.time_format is not None or isinstance(error, UnreadableTime)
                    else None
                )
                raise InputError(
                    f"{self.name}, line {self._reader.line_num}: {error}", option
                ) from None
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
        while self._buffer:
            yield self._buffer.popleft()
        while (row := self._next_row()) is not None:
            yield row
        empty = [column for column, numeric in self._numeric.items() if not numeric]
        if empty:
            raise InputError(
                f"{self.name}: column {empty[0]!r} has no numeric value in {self.rows_read} rows",
                "columns",
            )

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
    unreadable or empty file, no header, an unknown time column or value column name;
    iteration raises InputError (with the line number) for an unreadable time, and at the end
    for a requested column with no numeric value at all.

    The header and the first rows are read here, so InputError for them comes from this call.
    """
    file: TextIO
    if path == "-":
        # A buffered reader's read1 returns what a pipe holds without waiting for a full
        # buffer, so each line is handed over as soon as it arrives.
        file = io.TextIOWrapper(
            open(sys.stdin.fileno(), "rb", closefd=False), encoding="utf-8-sig", newline=""
        )
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
