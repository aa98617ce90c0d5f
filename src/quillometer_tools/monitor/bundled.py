"""The bundled input: the hourly 2010 temperatures (°F) of Seattle and San Francisco that the
vega_datasets package ships (read from its own files, never downloaded), joined on time."""

from __future__ import annotations

import heapq
import importlib
from collections.abc import Iterator

from quillometer_tools.feed import Feed, FeedOptions, InputError, open_feed

NAME = "vega_datasets: seattle-temps + sf-temps (2010, °F)"


class Joined:
    """Several feeds merged in timestamp order into one stream; a row holds every column that
    has a value at its time. Each feed must be sorted by time."""

    def __init__(self, name: str, parts: list[tuple[Feed, str]]) -> None:
        self.name = name
        self.parts = parts  # (feed of one value column, the name it takes here)
        self.columns = [renamed for _, renamed in parts]
        self.rows_read = 0
        self.seconds_per_unit = parts[0][0].seconds_per_unit
        self.timing = parts[0][0].timing

    @property
    def skipped(self) -> dict[str, int]:
        return {renamed: feed.skipped[feed.columns[0]] for feed, renamed in self.parts}

    @property
    def unsorted(self) -> int:
        return sum(feed.unsorted for feed, _ in self.parts)

    def __iter__(self) -> Iterator[tuple[int, dict[str, float]]]:
        def tagged(feed: Feed, renamed: str) -> Iterator[tuple[int, str, dict[str, float]]]:
            for ts, row in feed:
                yield ts, renamed, row

        merged = heapq.merge(*(tagged(feed, renamed) for feed, renamed in self.parts),
                             key=lambda item: item[0])
        current: tuple[int, dict[str, float]] | None = None
        for ts, renamed, row in merged:
            if current is not None and current[0] != ts:
                self.rows_read += 1
                yield current
                current = None
            if current is None:
                current = (ts, {})
            for value in row.values():
                current[1][renamed] = value
        if current is not None:
            self.rows_read += 1
            yield current

    def fraction(self) -> float | None:
        return None

    def close(self) -> None:
        for feed, _ in self.parts:
            feed.close()


def bundled_temperatures() -> Joined:
    try:
        local_data = importlib.import_module("vega_datasets").local_data  # no type hints
    except ImportError:
        raise InputError("no CSV given, and the bundled temperatures need vega_datasets "
                         "(pip install 'quillometer[examples]'); give a CSV file, or - for "
                         "standard input") from None
    options = FeedOptions(time_column="date", columns=["temp"])
    parts = [(open_feed(str(local_data.seattle_temps.filepath), options), "seattle"),
             (open_feed(str(local_data.sf_temps.filepath), options), "san_francisco")]
    return Joined(NAME, parts)
