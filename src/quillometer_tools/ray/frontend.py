"""The driver's side: a local Ray bound to loopback, and ShardedQuillometer, which spreads the
columns of one stream over K shard actors and rebuilds a lost shard by replaying its input from
the recovery log on disk."""

from __future__ import annotations

import collections
import logging
import os
import socket
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import Any, NoReturn

# Read by Ray when it is imported: take 127.0.0.1 as this node's address (so every Ray server
# binds to loopback) and send no usage statistics.
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")

import ray  # noqa: E402
import ray.cloudpickle  # noqa: E402
from ray.exceptions import GetTimeoutError, RayActorError, RayTaskError  # noqa: E402

from . import codec, shard  # noqa: E402
from .log import RECORD_HEADER_BYTES, Kind, LogLimitError, ReplayLog  # noqa: E402
from .shard import STATISTICS, Table, UnknownColumnError  # noqa: E402

logger = logging.getLogger(__name__)
# Ray's functions carry no annotations; they are called through this untyped name.
_ray: Any = ray

# Ship the shard code with the actor class instead of relying on the workers' import path: a
# node needs the quillometer module, not this package.
_ray.cloudpickle.register_pickle_by_value(codec)
_ray.cloudpickle.register_pickle_by_value(shard)

# No task retries: a call that dies with its actor fails, and the front end replays instead.
ShardActor: Any = ray.remote(max_restarts=-1, max_task_retries=0)(shard.Shard)

# An encoded batch: its header, then 8 + 8 + 4 + 8 bytes per value; a log record adds its own
# header.
_BATCH_BYTES_PER_VALUE = 28
_RECORD_OVERHEAD = codec.BATCH_HEADER_BYTES + RECORD_HEADER_BYTES


class PlacementError(RuntimeError):
    """The cluster cannot hold the shards asked for."""


class ShardTimeoutError(TimeoutError):
    """A shard did not answer within the timeout. Its calls not yet confirmed stay queued (a
    later call waits for the shard again); the other shards are untouched."""

    def __init__(self, shard: int, message: str) -> None:
        super().__init__(message)
        self.shard = shard


def start_local_ray(num_cpus: int, object_store_mb: int = 256) -> None:
    """Starts Ray on this machine only, every listener on 127.0.0.1, no dashboard: a new
    instance even when RAY_ADDRESS or a running cluster on this machine could be joined."""
    ray.init(
        address="local",
        num_cpus=num_cpus,
        include_dashboard=False,
        object_store_memory=object_store_mb * 1024 * 1024,
        log_to_driver=False,
        configure_logging=False,
    )
    address = _ray.util.get_node_ip_address()
    if address != "127.0.0.1":
        ray.shutdown()
        raise RuntimeError(
            f"Ray took {address} as this node's address; import quillometer_tools.ray before "
            "ray so that RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER=0 is seen"
        )


def connect(address: str, *, node_ip_address: str | None = None) -> None:
    """Joins an existing Ray cluster at `address` (host:port of its head) as a driver. This
    node's address defaults to the one this machine reaches the head from. A cluster started
    with RAY_AUTH_MODE=token needs the same mode, and its token, in this process's environment
    (RAY_AUTH_TOKEN, or RAY_AUTH_TOKEN_PATH)."""
    if node_ip_address is None:
        host, _, port = address.rpartition(":")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.connect((host or port, int(port) if host else 6379))
            node_ip_address = str(probe.getsockname()[0])
    ray.init(address=address, _node_ip_address=node_ip_address, log_to_driver=False,
             configure_logging=False)


def _resources_text(resources: Mapping[str, float]) -> str:
    return ", ".join(f"{amount:g} {name}" for name, amount in sorted(resources.items()))


@dataclass
class _Call:
    """A call sent to a shard and not yet confirmed: its log number, what to send again after
    a rebuild, and Ray's reference to its answer (None until sent to the current actor)."""

    number: int
    kind: Kind
    payload: bytes
    values: int
    ref: Any = None


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
    every shard is up; `spread=True` has Ray put the shards on as many nodes as it can. Each wait on a shard lasts at most `timeout` seconds, and one longer than
    `log_interval` seconds is logged (logger quillometer_tools.ray.frontend) with what it waits
    for; past the timeout it raises ShardTimeoutError naming the shard and what is missing.
    """

    def __init__(
        self,
        columns: Iterable[str],
        window_size: int,
        alpha: float,
        time_window: int,
        *,
        shards: int = 2,
        batch_size: int = 8192,
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
        self.shards = shards
        self.batch_size = batch_size
        self.max_in_flight = max_in_flight
        self.timeout = timeout
        self.log_interval = log_interval
        self.spread = spread
        self.rebuilds = 0
        self.rebuild_seconds: list[float] = []
        self._settings = (window_size, alpha, time_window)
        self._needs = {"CPU": float(num_cpus_per_shard), **(resources or {})}
        self._needs = {name: amount for name, amount in self._needs.items() if amount > 0}
        self._columns: list[list[str]] = [[] for _ in range(shards)]
        self._route: dict[str, tuple[int, int]] = {}
        for name in columns:
            owner = codec.shard_of(name, shards)
            self._route[name] = (owner, len(self._columns[owner]))
            self._columns[owner].append(name)
        self._buffers: list[codec.Batch] = []
        self._appenders: list[tuple[Callable[[int], None], Callable[[int], None],
                                    Callable[[int], None], Callable[[float], None]]] = []
        for _ in range(shards):
            self._buffers.append(codec.new_batch())
            self._appenders.append(tuple(v.append for v in self._buffers[-1]))  # type: ignore[arg-type]
        self._pending: list[collections.deque[_Call]] = [collections.deque() for _ in range(shards)]
        self._confirmed_entries = [0] * shards
        self._expected = [0] * shards
        self._rejected: list[set[int]] = [set() for _ in range(shards)]
        self._lost = [False] * shards
        self._row = 0
        self._actors: list[Any] = []
        self._check_placement()
        self._log = ReplayLog(
            shards, log_dir, limit_bytes=log_limit_bytes, segment_bytes=log_segment_bytes
        )
        self._room = self._values_room()
        try:
            self._actors = [self._new_actor(s) for s in range(shards)]
            self.wait_ready()
        except BaseException:
            self.close()
            raise

    def _check_placement(self) -> None:
        """Raises PlacementError when the cluster cannot hold every shard; waits (logging, up to
        the timeout) while it could but its resources are taken."""
        needed = {name: amount * self.shards for name, amount in self._needs.items()}
        total = _ray.cluster_resources()
        short = {name for name, amount in needed.items() if total.get(name, 0.0) < amount}
        if short:
            raise PlacementError(self._placement_text(needed, total, _ray.available_resources()))
        started = time.monotonic()
        next_log = started + self.log_interval
        while True:
            free = _ray.available_resources()
            if all(free.get(name, 0.0) >= amount for name, amount in needed.items()):
                return
            now = time.monotonic()
            if now - started >= self.timeout:
                raise PlacementError(
                    self._placement_text(needed, _ray.cluster_resources(), free)
                    + f" (waited {self.timeout:g} s for resources in use to be freed)"
                )
            if now >= next_log:
                logger.warning("waiting for room for %d shards: %s", self.shards,
                               self._placement_text(needed, _ray.cluster_resources(), free))
                next_log = now + self.log_interval
            time.sleep(0.2)

    def _placement_text(
        self, needed: Mapping[str, float], total: Mapping[str, float], free: Mapping[str, float]
    ) -> str:
        per_shard = _resources_text(self._needs)
        have = ", ".join(
            f"{total.get(name, 0.0):g} {name} ({free.get(name, 0.0):g} free)" for name in sorted(needed)
        )
        fitting = min(int(total.get(name, 0.0) // amount) for name, amount in self._needs.items())
        return (
            f"cannot place {self.shards} shards of {per_shard} each: the Ray cluster has {have}; "
            f"ask for at most {fitting} shards, or add nodes"
        )

    def _new_actor(self, s: int) -> Any:
        cpus = self._needs.get("CPU", 0.0)
        others = {name: amount for name, amount in self._needs.items() if name != "CPU"}
        strategy = "SPREAD" if self.spread else "DEFAULT"
        return ShardActor.options(
            num_cpus=cpus, resources=others, scheduling_strategy=strategy
        ).remote(
            s, self.shards, self._columns[s], *self._settings
        )

    # Ingestion

    def append(self, row: Mapping[str, float], ts: int) -> None:
        self.extend(((row, ts),))

    def extend(self, rows: Iterable[tuple[Mapping[str, float], int]]) -> None:
        """Appends every (row, ts) of `rows`, in order. A row that names an unknown column, holds
        a value or timestamp that is not a number, or would take the log past its limit raises
        and is not applied at all; the rows before it are. A shard past its timeout while its
        full buffer is sent raises too, after the row that filled it (which is kept): an
        iterator passed again resumes with the next row."""
        route, known, limit = self._route, self._route.keys(), self.batch_size
        buffers, appenders = self._buffers, self._appenders
        limited = self._log.limit_bytes is not None
        number = self._row
        try:
            for row, ts in rows:
                if not row.keys() <= known:
                    raise UnknownColumnError(next(name for name in row if name not in known))
                if limited:
                    self._room -= len(row)
                    if self._room < 0:
                        self._room += len(row)
                        raise self._limit_error()
                full = False
                for name, value in row.items():
                    owner, column = route[name]
                    add_row, add_ts, add_column, add_value = appenders[owner]
                    add_row(number)
                    add_ts(ts)
                    add_column(column)
                    add_value(value)
                    full = full or len(buffers[owner][3]) >= limit
                number += 1
                if full:
                    for s in range(self.shards):
                        if len(buffers[s][3]) >= limit:
                            self._send(s)
        except BaseException:
            self._drop_row(number)
            raise
        finally:
            self._row = number

    def _values_room(self) -> int:
        """How many more values the buffers may take before the log could pass its limit, with
        room kept for every shard's next record header."""
        if self._log.limit_bytes is None:
            return 0
        left = self._log.limit_bytes - self._log.size - self.shards * _RECORD_OVERHEAD
        return left // _BATCH_BYTES_PER_VALUE - sum(len(batch[3]) for batch in self._buffers)

    def _limit_error(self) -> LogLimitError:
        buffered = sum(len(batch[3]) for batch in self._buffers)
        return LogLimitError(
            f"the recovery log would pass its limit of {self._log.limit_bytes:,} bytes with this "
            f"row (it holds {self._log.size:,} bytes, and {buffered:,} values wait to be "
            f"logged); the row was not applied, every earlier row was: raise log_limit_bytes, "
            f"or start a new stream"
        )

    def _drop_row(self, number: int) -> None:
        """Takes back what a failed row had buffered, so that no part of it is applied."""
        for batch in self._buffers:
            rows, keep = batch[0], len(batch[0])
            while keep and rows[keep - 1] == number:
                keep -= 1
            # The arrays may differ in length by one when a conversion failed in the middle.
            for values in batch:
                del values[keep:]
        self._room = self._values_room()

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
        try:
            for s in range(self.shards):
                self._submit(s, "partition", payload, counts[s])
            self.flush()
        finally:
            # The partition records took log room that the row buffers may no longer count on.
            self._room = self._values_room()

    def flush(self) -> None:
        """Sends every buffered row and waits until every shard has confirmed it. The first
        error (a rejected batch or partition, a shard past its timeout) is raised once every
        shard is settled."""
        errors: list[BaseException] = []
        for s in range(self.shards):
            try:
                self._settle(s)
            except (UnknownColumnError, ShardTimeoutError) as error:
                errors.append(error)
        if errors:
            raise errors[0]

    def _settle(self, s: int) -> None:
        """Sends shard s's buffered rows and waits until it has confirmed every call."""
        if self._buffers[s][3]:
            self._send(s)
        if self._lost[s]:
            self._rebuild(s)
        error: UnknownColumnError | None = None
        while self._pending[s]:
            try:
                self._collect_oldest(s)
            except UnknownColumnError as rejected:
                error = error or rejected
        if error is not None:
            raise error

    # Queries

    def query(self, statistic: str, column: str) -> float:
        if column not in self._route:
            raise UnknownColumnError(column)
        owner = self._route[column][0]
        self._settle(owner)
        value: float = self._ask(owner, lambda actor: actor.query.remote(statistic, column), "a query")
        return value

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
        for s in range(self.shards):
            table.update(self._ask(s, lambda actor: actor.snapshot.remote(), "a snapshot"))
        return table

    @property
    def actors(self) -> tuple[Any, ...]:
        """The shard actors, shard 0 first (a restart keeps the handle; a replacement does not)."""
        return tuple(self._actors)

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
        return [self._ask(s, lambda actor: actor.node.remote(), "where it runs")
                for s in range(self.shards)]

    def owner(self, column: str) -> int:
        """The shard that holds `column`."""
        return codec.shard_of(column, self.shards)

    def confirmed(self, s: int) -> int:
        """The number of values shard s has confirmed: what a replay would apply."""
        return self._expected[s]

    def wait_ready(self) -> None:
        """Waits until every shard actor is up (actor start-up is a second or two)."""
        refs = [actor.count.remote() for actor in self._actors]
        for s, ref in enumerate(refs):
            self._get(s, ref, "its start")

    def close(self) -> None:
        """Stops the shard actors and removes the recovery log."""
        for actor in self._actors:
            ray.kill(actor, no_restart=True)
        self._actors = []
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

    # Calls, confirmations and recovery

    def _send(self, s: int) -> None:
        batch = self._buffers[s]
        payload = codec.encode_batch(batch)
        self._submit(s, "batch", payload, len(batch[3]))
        # Emptied only once logged and sent: a refused batch stays buffered, nothing lost.
        self._buffers[s] = codec.new_batch()
        self._appenders[s] = tuple(v.append for v in self._buffers[s])  # type: ignore[assignment]
        self._room = self._values_room()

    def _submit(self, s: int, kind: Kind, payload: bytes, values: int) -> None:
        if self._lost[s]:
            self._rebuild(s)
        while len(self._pending[s]) >= self.max_in_flight:
            self._collect_oldest(s)
        number = self._log.append(s, kind, payload)
        call = _Call(number, kind, payload, values)
        call.ref = self._call(self._actors[s], kind, payload)
        self._pending[s].append(call)

    @staticmethod
    def _call(actor: Any, kind: Kind, payload: bytes) -> Any:
        if kind == "batch":
            return actor.apply.remote(payload)
        return actor.read_partition.remote(payload.decode("utf-8"))

    def _get(self, s: int, ref: Any, doing: str) -> Any:
        """ray.get of one call to shard s, for at most `timeout` seconds, logging every
        `log_interval` seconds what it waits for."""
        started = time.monotonic()
        deadline = started + self.timeout
        next_log = started + self.log_interval
        while True:
            try:
                return ray.get(ref, timeout=max(0.0, min(deadline, next_log) - time.monotonic()))
            except GetTimeoutError:
                now = time.monotonic()
                if now >= deadline:
                    raise ShardTimeoutError(
                        s,
                        f"shard {s} did not answer {doing} within {self.timeout:g} s: "
                        f"{self._missing(s)}. The other shards keep their state; its unconfirmed "
                        "calls stay queued for the next call",
                    ) from None
                if now >= next_log:
                    logger.warning("shard %d: waiting %.0f s of %g s for %s: %s", s,
                                   now - started, self.timeout, doing, self._missing(s))
                    next_log = now + self.log_interval

    def _missing(self, s: int) -> str:
        """What shard s lacks, as far as Ray tells: its actor's state, what it needs, what is free."""
        state = "in an unknown state"
        try:
            from ray._private.state import state as cluster_state

            info = cluster_state.actor_table(self._actors[s]._actor_id.hex())
            state = str(info.get("State", state))
        except Exception:  # noqa: BLE001 - Ray's own table is only a hint here
            pass
        if state == "ALIVE":
            return "its actor is alive but busy (a long call, or an overloaded node)"
        free = _ray.available_resources()
        alive = sum(1 for node in _ray.nodes() if node.get("Alive"))  # type: int
        have = ", ".join(f"{free.get(name, 0.0):g} {name}" for name in sorted(self._needs))
        return (
            f"its actor is {state} and needs a node with {_resources_text(self._needs)} free; "
            f"the cluster has {alive} node{'s' if alive != 1 else ''} alive with {have} free"
        )

    def _collect_oldest(self, s: int) -> None:
        if self._lost[s]:
            self._rebuild(s)
            return
        call = self._pending[s][0]
        try:
            count = self._get(s, call.ref, "a call it was sent")
        except RayActorError:
            self._rebuild(s)
            return
        except RayTaskError as failure:
            # The shard applied nothing of it: a replay skips it too.
            self._pending[s].popleft()
            self._rejected[s].add(call.number)
            self._confirmed_entries[s] += 1
            self._raise_from_shard(failure)
        self._pending[s].popleft()
        self._confirmed_entries[s] += 1
        self._expected[s] += call.values
        if count != self._expected[s]:
            self._rebuild(s)

    @staticmethod
    def _raise_from_shard(failure: RayTaskError) -> NoReturn:
        """A shard's UnknownColumnError as the caller's own, without Ray's wrapping; anything
        else as Ray raised it."""
        if isinstance(failure.cause, UnknownColumnError):
            raise UnknownColumnError(*failure.cause.args) from None
        raise failure

    def _ask(self, s: int, call: Callable[[Any], Any], doing: str) -> Any:
        for _ in range(3):
            if self._lost[s]:
                self._rebuild(s)
            try:
                answer, count = self._get(s, call(self._actors[s]), doing)
            except RayActorError:
                self._rebuild(s)
                continue
            except RayTaskError as failure:
                self._raise_from_shard(failure)
            if count == self._expected[s]:
                return answer
            self._rebuild(s)
        raise RuntimeError(f"shard {s} keeps losing its state")

    def _rebuild(self, s: int) -> None:
        """Empties shard s (on Ray's restarted actor, or a new one if Ray gave up on it),
        replays its confirmed calls from the log and sends again the calls still unconfirmed.
        A timeout leaves the shard marked lost; the next call on it starts the rebuild again."""
        self._lost[s] = True
        started = time.perf_counter()
        for call in self._pending[s]:
            call.ref = None
        for _ in range(3):
            try:
                self._get(s, self._actors[s].reset.remote(), "the start of its rebuild")
                count = self._replay(s)
            except RayActorError:
                ray.kill(self._actors[s], no_restart=True)
                self._actors[s] = self._new_actor(s)
                continue
            if count != self._expected[s]:
                raise RuntimeError(f"shard {s}: replay gave {count} values, not {self._expected[s]}")
            break
        else:
            raise RuntimeError(f"shard {s} could not be rebuilt")
        for call in self._pending[s]:
            call.ref = self._call(self._actors[s], call.kind, call.payload)
        self._lost[s] = False
        self.rebuilds += 1
        self.rebuild_seconds.append(time.perf_counter() - started)
        logger.warning(
            "shard %d lost its state; rebuilt by replaying %d values in %.2f s",
            s, self._expected[s], self.rebuild_seconds[-1],
        )

    def _replay(self, s: int) -> int:
        """Sends shard s its confirmed calls again, read back from the log, at most
        `max_in_flight` at a time; the shard's count after the last."""
        actor, rejected = self._actors[s], self._rejected[s]
        refs: collections.deque[Any] = collections.deque()
        count = 0
        for number, (kind, payload) in enumerate(self._log.replay(s, self._confirmed_entries[s])):
            if number in rejected:
                continue
            if len(refs) >= self.max_in_flight:
                count = self._get(s, refs.popleft(), "a replayed call")
            refs.append(self._call(actor, kind, payload))
        while refs:
            count = self._get(s, refs.popleft(), "a replayed call")
        return count


# The ten queries of Quillometer, by column, each from the shard that holds the column.
for _statistic in STATISTICS:
    assert callable(getattr(ShardedQuillometer, _statistic, None)), _statistic
