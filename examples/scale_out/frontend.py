"""The driver's side: a local Ray bound to loopback, and ShardedQuillometer, which spreads the
columns of one stream over K shard actors and rebuilds a lost shard by replaying its input."""

import collections
import logging
import os
import time

# Read by Ray when it is imported: take 127.0.0.1 as this node's address (so every Ray server
# binds to loopback) and send no usage statistics.
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")

import ray  # noqa: E402
import ray.cloudpickle  # noqa: E402
from ray.exceptions import RayActorError, RayTaskError  # noqa: E402

from . import codec, shard  # noqa: E402
from .shard import STATISTICS, UnknownColumnError  # noqa: E402

# Ship the shard code with the actor class instead of relying on the workers' import path.
ray.cloudpickle.register_pickle_by_value(codec)
ray.cloudpickle.register_pickle_by_value(shard)

# No task retries: a call that dies with its actor fails, and the front end replays instead.
ShardActor = ray.remote(max_restarts=-1, max_task_retries=0)(shard.Shard)


def start_local_ray(num_cpus, object_store_mb=256):
    """Starts Ray on this machine only, every listener on 127.0.0.1, no dashboard."""
    ray.init(
        num_cpus=num_cpus,
        include_dashboard=False,
        object_store_memory=object_store_mb * 1024 * 1024,
        log_to_driver=False,
        configure_logging=False,
    )
    address = ray.util.get_node_ip_address()
    if address != "127.0.0.1":
        ray.shutdown()
        raise RuntimeError(
            f"Ray took {address} as this node's address; import examples.scale_out before ray "
            "so that RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER=0 is seen"
        )


class ShardedQuillometer:
    """The Quillometer interface over K shard actors: append rows, then query any column.

    A column lives on shard crc32(name) % K. Rows are split per shard and buffered; a full
    buffer goes out as one bytes object, with at most `max_in_flight` calls outstanding per
    shard. Queries first send and confirm everything buffered.

    A row naming an unknown column raises UnknownColumnError at `append` and changes nothing,
    as in the module. A partition is checked by its shards: one naming a column its shard does
    not hold is rejected whole by that shard (other shards apply their share) and the error is
    raised here, naming the column.

    Every confirmed batch and partition is kept in the shard's log. When a shard answers with a
    count other than the one expected (Ray restarted it empty) or dies with a call in flight, it
    is reset and the log replayed into it; the calls still unconfirmed are sent again after.
    """

    def __init__(
        self,
        columns,
        window_size,
        alpha,
        time_window,
        *,
        shards=2,
        batch_size=8192,
        max_in_flight=4,
        num_cpus_per_shard=1,
    ):
        self.shards = shards
        self.batch_size = batch_size
        self.max_in_flight = max_in_flight
        self.num_cpus_per_shard = num_cpus_per_shard
        self.rebuilds = 0
        self.rebuild_seconds = []
        self._settings = (window_size, alpha, time_window)
        self._columns = [[] for _ in range(shards)]
        self._route = {}
        for name in columns:
            owner = codec.shard_of(name, shards)
            self._route[name] = (owner, len(self._columns[owner]))
            self._columns[owner].append(name)
        self._actors = [self._new_actor(s) for s in range(shards)]
        self._buffers = [None] * shards
        self._appenders = [None] * shards
        for s in range(shards):
            self._start_batch(s)
        self._pending = [collections.deque() for _ in range(shards)]
        self._log = [[] for _ in range(shards)]
        self._expected = [0] * shards
        self._row = 0

    def _new_actor(self, s):
        return ShardActor.options(num_cpus=self.num_cpus_per_shard).remote(
            s, self.shards, self._columns[s], *self._settings
        )

    # Ingestion

    def append(self, row, ts):
        self.extend(((row, ts),))

    def extend(self, rows):
        """Appends every (row, ts) of `rows`, in order. A row that names an unknown column, or
        holds a value or timestamp that is not a number, raises and is not applied at all."""
        route, known, limit = self._route, self._route.keys(), self.batch_size
        buffers, appenders = self._buffers, self._appenders
        number = self._row
        try:
            for row, ts in rows:
                if not row.keys() <= known:
                    raise UnknownColumnError(next(name for name in row if name not in known))
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

    def _drop_row(self, number):
        """Takes back what a failed row had buffered, so that no part of it is applied."""
        for batch in self._buffers:
            rows, keep = batch[0], len(batch[0])
            while keep and rows[keep - 1] == number:
                keep -= 1
            # The arrays may differ in length by one when a conversion failed in the middle.
            for values in batch:
                del values[keep:]

    def ingest_partitions(self, directory):
        """Has every shard read its own columns' files from `directory` (see
        codec.write_partitions); the driver only waits for the counts."""
        self.flush()
        directory = os.path.abspath(directory)
        counts = [0] * self.shards
        for name, entry in codec.read_manifest(directory).items():
            counts[codec.shard_of(name, self.shards)] += entry["count"]
        for s in range(self.shards):
            self._submit(s, ("partition", directory), counts[s])
        self.flush()

    def flush(self):
        """Sends every buffered row and waits until every shard has confirmed it. The first
        rejected batch or partition is raised once all shards are settled."""
        for s in range(self.shards):
            if self._buffers[s][3]:
                self._send(s)
        errors = []
        for s in range(self.shards):
            while self._pending[s]:
                try:
                    self._collect_oldest(s)
                except UnknownColumnError as error:
                    errors.append(error)
        if errors:
            raise errors[0]

    # Queries

    def query(self, statistic, column):
        if column not in self._route:
            raise UnknownColumnError(column)
        self.flush()
        owner = self._route[column][0]
        return self._ask(owner, lambda actor: actor.query.remote(statistic, column))

    def snapshot(self):
        """{column: {statistic: value}} for every column, one call per shard."""
        self.flush()
        table = {}
        for s in range(self.shards):
            table.update(self._ask(s, lambda actor: actor.snapshot.remote()))
        return table

    @property
    def actors(self):
        """The shard actors, shard 0 first (a restart keeps the handle; a replacement does not)."""
        return tuple(self._actors)

    def owner(self, column):
        """The shard that holds `column`."""
        return codec.shard_of(column, self.shards)

    def confirmed(self, s):
        """The number of values shard s has confirmed: what a replay would apply."""
        return self._expected[s]

    def wait_ready(self):
        """Waits until every shard actor is up (actor start-up is a second or two)."""
        ray.get([actor.count.remote() for actor in self._actors])

    def close(self):
        for actor in self._actors:
            ray.kill(actor, no_restart=True)
        self._actors = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # Calls, confirmations and recovery

    def _start_batch(self, s):
        self._buffers[s] = codec.new_batch()
        self._appenders[s] = tuple(values.append for values in self._buffers[s])

    def _send(self, s):
        batch = self._buffers[s]
        self._start_batch(s)
        self._submit(s, ("batch", codec.encode_batch(batch)), len(batch[3]))

    def _submit(self, s, entry, values):
        while len(self._pending[s]) >= self.max_in_flight:
            self._collect_oldest(s)
        self._pending[s].append((self._call(self._actors[s], entry), entry, values))

    @staticmethod
    def _call(actor, entry):
        kind, data = entry
        if kind == "batch":
            return actor.apply.remote(data)
        return actor.read_partition.remote(data)

    def _collect_oldest(self, s):
        ref, entry, values = self._pending[s].popleft()
        try:
            count = ray.get(ref)
        except RayActorError:
            self._pending[s].appendleft((None, entry, values))
            self._rebuild(s)
            return
        except RayTaskError as failure:
            self._raise_from_shard(failure)
        self._log[s].append(entry)
        self._expected[s] += values
        if count != self._expected[s]:
            self._rebuild(s)

    @staticmethod
    def _raise_from_shard(failure):
        """A shard's UnknownColumnError as the caller's own, without Ray's wrapping; anything
        else as Ray raised it."""
        if isinstance(failure.cause, UnknownColumnError):
            raise UnknownColumnError(*failure.cause.args) from None
        raise failure

    def _ask(self, s, call):
        for _ in range(3):
            try:
                answer, count = ray.get(call(self._actors[s]))
            except RayActorError:
                self._rebuild(s)
                continue
            except RayTaskError as failure:
                self._raise_from_shard(failure)
            if count == self._expected[s]:
                return answer
            self._rebuild(s)
        raise RuntimeError(f"shard {s} keeps losing its state")

    def _rebuild(self, s):
        """Empties shard s (on Ray's restarted actor, or a new one if Ray gave up on it),
        replays its log and sends again the calls still unconfirmed."""
        started = time.perf_counter()
        unconfirmed = [(entry, values) for _, entry, values in self._pending[s]]
        self._pending[s].clear()
        for _ in range(3):
            try:
                ray.get(self._actors[s].reset.remote())
                refs = collections.deque()
                for entry in self._log[s]:
                    if len(refs) >= self.max_in_flight:
                        ray.get(refs.popleft())
                    refs.append(self._call(self._actors[s], entry))
                count = ray.get(refs[-1]) if refs else 0
                ray.get(list(refs))
            except RayActorError:
                ray.kill(self._actors[s], no_restart=True)
                self._actors[s] = self._new_actor(s)
                continue
            if count != self._expected[s]:
                raise RuntimeError(f"shard {s}: replay gave {count} values, not {self._expected[s]}")
            break
        else:
            raise RuntimeError(f"shard {s} could not be rebuilt")
        for entry, values in unconfirmed:
            self._pending[s].append((self._call(self._actors[s], entry), entry, values))
        self.rebuilds += 1
        self.rebuild_seconds.append(time.perf_counter() - started)
        logging.getLogger(__name__).warning(
            "shard %d lost its state; rebuilt by replaying %d values in %.2f s",
            s, self._expected[s], self.rebuild_seconds[-1],
        )


def _make_query(statistic):
    def query(self, column):
        return self.query(statistic, column)

    query.__name__ = statistic
    query.__doc__ = f"Quillometer.{statistic} of `column`, from the shard that holds it."
    return query


for _statistic in STATISTICS:
    setattr(ShardedQuillometer, _statistic, _make_query(_statistic))
