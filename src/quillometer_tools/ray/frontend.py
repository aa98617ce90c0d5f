"""The driver's side: ShardedQuillometer, which spreads the columns of one stream over K shard
actors, one ShardLink each (remote.py), and composes their answers."""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from types import TracebackType
from typing import TYPE_CHECKING, Any

from ..feed import Row
from . import codec
from .cluster import Patience, ShardTimeoutError
from .log import RECORD_HEADER_BYTES, LogLimitError, ReplayLog
from .shard import Table, UnknownColumnError

if TYPE_CHECKING:
    from .remote import ShardLink, Shared

# An encoded batch: its header, then 8 + 8 + 4 + 8 bytes per value; a log record adds its own
# header.
_BATCH_BYTES_PER_VALUE = 28
_RECORD_OVERHEAD = codec.BATCH_HEADER_BYTES + RECORD_HEADER_BYTES


class ShardedQuillometer:
    """The Quillometer interface over K shard actors: append rows, then query any column.

    A column lives on shard crc32(name) % K. Rows are split per shard and buffered; a full
    buffer goes out as one bytes object, with at most `max_in_flight` calls outstanding per
    shard. Queries first send and confirm everything buffered.

    A row naming an unknown column raises UnknownColumnError at `append` and changes nothing,
    as in the module. A partition is checked by its shards: one naming a column its shard does
    not hold is rejected whole by that shard (other shards apply their share) and the error is
    raised here, naming the column.

    Every call is written to the recovery log (ReplayLog, on disk under `log_dir`) before it is
    sent: a batch as its bytes, a partition as its directory name. When a shard answers with a
    count other than the one expected (Ray restarted it empty) or dies, it is reset and its
    confirmed calls are replayed from the log, then the unconfirmed ones are sent again.
    `log_limit_bytes` bounds the log: the row that would pass it raises LogLimitError and is not
    applied, and every earlier row is.

    Construction checks that the cluster has the resources for every shard and waits until
    every shard is up; `spread=True` has Ray put the shards on as many nodes as it can. Each
    wait on a shard lasts at most `timeout` seconds, and one longer than `log_interval` seconds
    is logged (logger quillometer_tools.ray.frontend) with what it waits for; past the timeout
    it raises ShardTimeoutError naming the shard and what is missing.
    """

    # Set only by the bench's subclass: shards that decode and count batches but apply nothing.
    _discarding = False

    def __init__(
        self,
        columns: Iterable[str],
        window_size: int,
        alpha: float,
        time_window: int,
        *,
        shards: int = 2,
        batch_size: int = 32768,
        max_in_flight: int = 4,
        num_cpus_per_shard: float = 1,
        resources: Mapping[str, float] | None = None,
        spread: bool = False,
        timeout: float = 300.0,
        log_interval: float = 5.0,
        log_dir: str | os.PathLike[str] | None = None,
        log_limit_bytes: int | None = None,
        log_segment_bytes: int = 64 << 20,
    ) -> None:
        if shards < 1:
            raise ValueError("shards must be at least 1")
        if timeout <= 0 or log_interval <= 0:
            raise ValueError("timeout and log_interval must be positive")
        # Ray is imported once a stream is made on a cluster (see cluster.py).
        from . import remote

        self.shards = shards
        self.batch_size = batch_size
        needs = {"CPU": float(num_cpus_per_shard), **(resources or {})}
        needs = {name: amount for name, amount in needs.items() if amount > 0}
        per_shard: list[list[str]] = [[] for _ in range(shards)]
        # Each column's shard, and its index in the shard's list.
        self._route: dict[str, tuple[int, int]] = {}
        for name in columns:
            owner = codec.shard_of(name, shards)
            self._route[name] = (owner, len(per_shard[owner]))
            per_shard[owner].append(name)
        patience = Patience(timeout, log_interval)
        remote.check_placement(needs, shards, patience)
        self._log = ReplayLog(
            shards, log_dir, limit_bytes=log_limit_bytes, segment_bytes=log_segment_bytes
        )
        self._shared: Shared = remote.Shared(
            shards,
            (window_size, alpha, time_window),
            needs,
            spread,
            max_in_flight,
            patience,
            self._log,
            discarding=self._discarding,
        )
        self._links: list[ShardLink] = []
        self._row = 0
        try:
            for s, names in enumerate(per_shard):
                self._links.append(remote.ShardLink(s, names, self._shared))
            self.wait_ready()
        except BaseException:
            self.close()
            raise
        # The hot loop of extend appends to the links' buffers, emptied in place once sent: per
        # column, the appends of its shard's four arrays and its index in the shard's list.
        appenders = [
            (rows.append, timestamps.append, indices.append, values.append)
            for rows, timestamps, indices, values in (link.batch for link in self._links)
        ]
        self._appends: dict[str, tuple[Any, Any, Any, Any, int]] = {
            name: (*appenders[owner], column) for name, (owner, column) in self._route.items()
        }

    @property
    def timeout(self) -> float:
        """Seconds that one wait on a shard may last (may be changed between calls)."""
        return self._shared.patience.timeout

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        self._shared.patience.timeout = seconds

    @property
    def log_interval(self) -> float:
        return self._shared.patience.log_interval

    @log_interval.setter
    def log_interval(self, seconds: float) -> None:
        self._shared.patience.log_interval = seconds

    @property
    def max_in_flight(self) -> int:
        return self._shared.max_in_flight

    @property
    def spread(self) -> bool:
        return self._shared.spread

    @property
    def rebuild_seconds(self) -> list[float]:
        """How long each rebuild of a shard took, in order."""
        return self._shared.rebuild_seconds

    @property
    def rebuilds(self) -> int:
        return len(self._shared.rebuild_seconds)

    # Ingestion

    def append(self, row: dict[str, float], ts: int) -> None:
        self.extend((Row(ts, row),))

    def extend(self, rows: Iterable[Row]) -> None:
        """Appends every Row(ts, values) of `rows` (a Feed's, say), in order. A row that names an
        unknown column, holds a value or timestamp that is not a number, or would take the log
        past its limit raises and is not applied at all; the rows before it are. A shard past
        its timeout while its full buffer is sent raises too, after the row that filled it
        (which is kept): an iterator passed again resumes with the next row."""
        appends, limit = self._appends, self.batch_size
        limited = self._log.limit_bytes is not None
        room = self._values_room()
        # No buffer can fill before this many more values have been buffered in all.
        unchecked = self._unchecked()
        number = self._row
        try:
            for ts, values in rows:
                try:
                    for name, value in values.items():
                        add_row, add_ts, add_column, add_value, column = appends[name]
                        add_row(number)
                        add_ts(ts)
                        add_column(column)
                        add_value(value)
                except Exception:
                    # The checks in their order: the row's names, the log's room, its values.
                    refusal = self._refusal(values, limited and len(values) > room)
                    if refusal is None:
                        raise
                    raise refusal from None
                count = len(values)
                if limited:
                    if count > room:
                        raise self._limit_error()
                    room -= count
                number += 1
                unchecked -= count
                if unchecked <= 0:
                    for link in self._links:
                        if link.buffered >= limit:
                            link.send()
                    room = self._values_room()
                    unchecked = self._unchecked()
        except BaseException:
            for link in self._links:
                link.drop_row(number)
            raise
        finally:
            self._row = number

    def _refusal(self, values: Mapping[str, float], past_limit: bool) -> Exception | None:
        """Why a row that failed on its way into the buffers is refused: a name it holds that is
        not a column, then the log's limit; None when only a value or the timestamp failed."""
        if not values.keys() <= self._route.keys():
            return UnknownColumnError(next(name for name in values if name not in self._route))
        return self._limit_error() if past_limit else None

    def _unchecked(self) -> int:
        """How many values may be buffered, over all shards, before one of the buffers can
        reach batch_size."""
        return min(
            (self.batch_size - link.buffered for link in self._links), default=self.batch_size
        )

    def _values_room(self) -> int:
        """How many more values the buffers may take before the log could pass its limit, with
        room kept for every shard's next record header."""
        if self._log.limit_bytes is None:
            return 0
        left = self._log.limit_bytes - self._log.size - self.shards * _RECORD_OVERHEAD
        return left // _BATCH_BYTES_PER_VALUE - sum(link.buffered for link in self._links)

    def _limit_error(self) -> LogLimitError:
        buffered = sum(link.buffered for link in self._links)
        return LogLimitError(
            f"the recovery log would pass its limit of {self._log.limit_bytes:,} bytes with this "
            f"row (it holds {self._log.size:,} bytes, and {buffered:,} values wait to be "
            f"logged); the row was not applied, every earlier row was: raise log_limit_bytes, "
            f"or start a new stream"
        )

    def ingest_partitions(self, directory: str | os.PathLike[str]) -> None:
        """Has every shard read its own columns' files from `directory` (see
        codec.write_partitions); the driver only waits for the counts, and logs only the
        directory's name (its files must stay in place for a replay)."""
        self.flush()
        name = os.path.abspath(directory)
        counts = [0] * self.shards
        for column, entry in codec.read_manifest(name).items():
            counts[codec.shard_of(column, self.shards)] += entry["count"]
        payload = name.encode("utf-8")
        limit = self._log.limit_bytes
        record = RECORD_HEADER_BYTES + len(payload)
        if limit is not None and self._log.size + self.shards * record > limit:
            raise LogLimitError(
                f"the recovery log would pass its limit of {limit:,} bytes with partition "
                f"{name!r} (it holds {self._log.size:,} bytes); nothing of it was applied"
            )
        for link, count in zip(self._links, counts, strict=True):
            link.submit("partition", payload, count)
        self.flush()

    def flush(self) -> None:
        """Sends every buffered row and waits until every shard has confirmed it. The first
        error (a rejected batch or partition, a shard past its timeout) is raised once every
        shard is settled."""
        errors: list[BaseException] = []
        for link in self._links:
            try:
                link.settle()
            except (UnknownColumnError, ShardTimeoutError) as error:
                errors.append(error)
        if errors:
            raise errors[0]

    # Queries

    def query(self, statistic: str, column: str) -> float:
        if column not in self._route:
            raise UnknownColumnError(column)
        link = self._links[self._route[column][0]]
        link.settle()
        value: float = link.ask("query", statistic, column, doing="a query")
        return value

    # The ten queries of Quillometer, by column, each from the shard that holds the column (the
    # test of the statistics' lists checks them against shard.STATISTICS).

    def mean(self, column: str) -> float:
        return self.query("mean", column)

    def variance(self, column: str) -> float:
        return self.query("variance", column)

    def last(self, column: str) -> float:
        return self.query("last", column)

    def rolling_mean(self, column: str) -> float:
        return self.query("rolling_mean", column)

    def rolling_std(self, column: str) -> float:
        return self.query("rolling_std", column)

    def zscore(self, column: str) -> float:
        return self.query("zscore", column)

    def time_mean(self, column: str) -> float:
        return self.query("time_mean", column)

    def time_std(self, column: str) -> float:
        return self.query("time_std", column)

    def rate(self, column: str) -> float:
        return self.query("rate", column)

    def ewma(self, column: str) -> float:
        return self.query("ewma", column)

    def snapshot(self) -> Table:
        """{column: {statistic: value}} for every column, one call per shard."""
        self.flush()
        table: Table = {}
        for link in self._links:
            table.update(link.ask("snapshot", doing="a snapshot"))
        return table

    @property
    def actors(self) -> tuple[Any, ...]:
        """The shard actors, shard 0 first (a restart keeps the handle; a replacement does not)."""
        return tuple(link.actor for link in self._links)

    @property
    def log_bytes(self) -> int:
        """The recovery log's size in bytes (on disk, or buffered on the way there)."""
        return self._log.size

    @property
    def log_directory(self) -> str:
        """Where the recovery log's segment files are (removed by close)."""
        return self._log.directory

    def nodes(self) -> list[str]:
        """The address of the node each shard runs on, shard 0 first."""
        return [link.ask("node", doing="where it runs") for link in self._links]

    def owner(self, column: str) -> int:
        """The shard that holds `column`."""
        return codec.shard_of(column, self.shards)

    def confirmed(self, s: int) -> int:
        """The number of values shard s has confirmed: what a replay would apply."""
        return self._links[s].expected

    def wait_ready(self) -> None:
        """Waits until every shard actor is up (actor start-up is a second or two)."""
        refs = [link.actor.count.remote() for link in self._links]
        for link, ref in zip(self._links, refs, strict=True):
            link.answer(ref, "its start")

    def close(self) -> None:
        """Stops the shard actors and removes the recovery log."""
        links, self._links = self._links, []
        for link in links:
            link.stop()
        self._log.close()

    def __enter__(self) -> ShardedQuillometer:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self.close()
