"""One shard: a process that owns a Quillometer over its share of the columns, applies batches
and partition files to it in call order, and answers queries. Every answer carries the number of
values applied so far, by which the caller notices a shard that restarted empty."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

from . import codec

if TYPE_CHECKING:
    from quillometer import Quillometer

Table = dict[str, dict[str, float]]

STATISTICS = (
    "mean",
    "variance",
    "last",
    "rolling_mean",
    "rolling_std",
    "zscore",
    "time_mean",
    "time_std",
    "rate",
    "ewma",
)


class UnknownColumnError(KeyError):
    """A row or a partition names a column the stream was not created with."""

    def __init__(self, column: str, where: str = "") -> None:
        super().__init__(column, where)
        self.column = column

    def __str__(self) -> str:
        return f"unknown column {self.column!r}{self.args[1]}"


class Shard:
    """Run as a Ray actor (one call at a time, in the caller's order); usable in-process too."""

    stats: Quillometer
    applied: int

    def __init__(
        self,
        shard: int,
        shards: int,
        columns: Sequence[str],
        window_size: int,
        alpha: float,
        time_window: int,
    ) -> None:
        self.shard = shard
        self.shards = shards
        self.columns = list(columns)
        self.settings = (window_size, alpha, time_window)
        self.reset()

    def reset(self) -> int:
        """Starts again from an empty Quillometer, before a replay."""
        # Imported here: this code travels to the workers by value, and the class itself
        # cannot be pickled (its __module__ is builtins), only looked up on arrival.
        from quillometer import Quillometer

        self.stats = Quillometer(self.columns, *self.settings)
        self.applied = 0
        return self.applied

    def count(self) -> int:
        return self.applied

    def apply(self, payload: bytes) -> int:
        """Applies one batch of codec.encode_batch; a malformed batch is rejected whole."""
        rows, timestamps, columns, values = codec.decode_batch(payload)
        names = self.columns
        if columns and max(columns) >= len(names):
            raise ValueError(f"shard {self.shard}: column index {max(columns)} out of range")
        append = self.stats.append
        row: dict[str, float] = {}
        row_number, row_ts = -1, 0
        for number, ts, name, value in zip(
            rows, timestamps, map(names.__getitem__, columns), values, strict=True
        ):
            if number != row_number:
                if row:
                    append(row, row_ts)
                row, row_number, row_ts = {name: value}, number, ts
            else:
                row[name] = value
        if row:
            append(row, row_ts)
        self.applied += len(values)
        return self.applied

    def read_partition(self, directory: str) -> int:
        """Applies, column by column, every file of `directory` that routes to this shard.
        A name this shard does not hold rejects the whole partition before anything is applied."""
        manifest = codec.read_manifest(directory)
        mine = [name for name in manifest if codec.shard_of(name, self.shards) == self.shard]
        known = set(self.columns)
        for name in mine:
            if name not in known:
                raise UnknownColumnError(name, f" in partition {directory!r}, shard {self.shard}")
        # Every file is read before anything is applied, so a bad file changes nothing either.
        loaded = [(name, *codec.read_column(directory, manifest[name])) for name in mine]
        append = self.stats.append
        for name, timestamps, values in loaded:
            # Columns are independent, so one column's values in order, each as a one-value
            # row, leave exactly the state that the interleaved rows would.
            for ts, value in zip(timestamps, values, strict=True):
                append({name: value}, ts)
            self.applied += len(values)
        return self.applied

    def node(self) -> tuple[str, int]:
        """The address of the node this shard runs on (in a Ray actor only), and the count."""
        import ray.util

        address: str = ray.util.get_node_ip_address()  # type: ignore[no-untyped-call]
        return address, self.applied

    def query(self, statistic: str, column: str) -> tuple[float, int]:
        if statistic not in STATISTICS:
            raise ValueError(f"unknown statistic {statistic!r}")
        if column not in self.columns:
            raise UnknownColumnError(column, f" on shard {self.shard}")
        value: float = getattr(self.stats, statistic)(column)
        return value, self.applied

    def snapshot(self) -> tuple[Table, int]:
        """Every statistic of every column of this shard, and the count."""
        table: Table = {
            name: {statistic: getattr(self.stats, statistic)(name) for statistic in STATISTICS}
            for name in self.columns
        }
        return table, self.applied


class DiscardingShard(Shard):
    """A shard that decodes and counts every batch and applies none: `quillometer-ray bench`
    feeds it to measure the driver's own rate of dispatch, free of the shards' work."""

    def apply(self, payload: bytes) -> int:
        self.applied += len(codec.decode_batch(payload)[3])
        return self.applied
