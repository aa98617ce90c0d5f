"""The Ray side of ShardedQuillometer: the shard actor class, the placement of the shards, and one
ShardLink per shard, which owns the shard's actor, the values buffered for it, its calls not yet
confirmed and its counts, and rebuilds the shard by replay from the recovery log.

Imported once a cluster is in use (see cluster.py: Ray must not be imported before then)."""

from __future__ import annotations

import collections
import functools
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, NoReturn

import ray
import ray.cloudpickle
from ray.exceptions import GetTimeoutError, RayActorError, RayTaskError

from . import codec, shard
from .cluster import (
    Patience,
    PlacementError,
    ShardTimeoutError,
    TryAgain,
    logger,
    retry,
    wait_with_deadline,
)
from .log import Kind, ReplayLog
from .shard import UnknownColumnError

# Ray's functions carry no annotations; they are called through this untyped name.
_ray: Any = ray


@functools.cache
def shard_actor(discarding: bool = False) -> Any:
    """The shard actor class (shard.DiscardingShard's, for the bench, when `discarding`). The
    shard code travels with it instead of relying on the workers' import path: a node needs the
    quillometer module, not this package."""
    _ray.cloudpickle.register_pickle_by_value(codec)
    _ray.cloudpickle.register_pickle_by_value(shard)
    # No task retries: a call that dies with its actor fails, and the link replays instead.
    return ray.remote(max_restarts=-1, max_task_retries=0)(
        shard.DiscardingShard if discarding else shard.Shard
    )


def actor_state(actor: Any) -> str | None:
    """The state of `actor` in Ray's actor table (ALIVE, PENDING_CREATION, RESTARTING, DEAD),
    or None when Ray does not tell. Ray's public state API asks the dashboard, which a local
    Ray started here runs without, so this reads the table through Ray's private module; the
    state is only a hint in a message, and any failure to read it only loses the hint."""
    try:
        from ray._private.state import state

        info = state.actor_table(actor._actor_id.hex())
        return str(info["State"])
    except Exception:  # noqa: BLE001
        return None


def resources_text(resources: Mapping[str, float]) -> str:
    return ", ".join(f"{amount:g} {name}" for name, amount in sorted(resources.items()))


def check_placement(needs: Mapping[str, float], shards: int, patience: Patience) -> None:
    """Raises PlacementError when the cluster can never hold `shards` shards of `needs` each;
    waits (reporting, up to the timeout) while it could but its resources are taken."""
    needed = {name: amount * shards for name, amount in needs.items()}

    def text(total: Mapping[str, float], free: Mapping[str, float]) -> str:
        have = ", ".join(
            f"{total.get(name, 0.0):g} {name} ({free.get(name, 0.0):g} free)"
            for name in sorted(needed)
        )
        fitting = min(int(total.get(name, 0.0) // amount) for name, amount in needs.items())
        return (
            f"cannot place {shards} shards of {resources_text(needs)} each: the Ray cluster has "
            f"{have}; ask for at most {fitting} shards, or add nodes"
        )

    total = _ray.cluster_resources()
    if any(total.get(name, 0.0) < amount for name, amount in needed.items()):
        raise PlacementError(text(total, _ray.available_resources()))

    def room(seconds: float) -> None:
        free = _ray.available_resources()
        if any(free.get(name, 0.0) < amount for name, amount in needed.items()):
            time.sleep(min(0.2, seconds))
            raise TimeoutError

    wait_with_deadline(
        room,
        patience,
        lambda waited: logger.warning(
            "waiting for room for %d shards: %s",
            shards,
            text(_ray.cluster_resources(), _ray.available_resources()),
        ),
        lambda: PlacementError(
            text(_ray.cluster_resources(), _ray.available_resources())
            + f" (waited {patience.timeout:g} s for resources in use to be freed)"
        ),
    )


@dataclass
class Shared:
    """What every link of one stream shares: the shards' settings, the waits' patience, the
    recovery log, and the time each rebuild took so far."""

    shards: int
    settings: tuple[int, float, int]
    needs: dict[str, float]
    spread: bool
    max_in_flight: int
    patience: Patience
    log: ReplayLog
    rebuild_seconds: list[float] = field(default_factory=list)
    discarding: bool = False  # shards that apply nothing (the bench's measure of the driver)


@dataclass
class _Call:
    """A call sent to a shard and not yet confirmed: its log number, what to send again after
    a rebuild, and Ray's reference to its answer (None until sent to the current actor)."""

    number: int
    kind: Kind
    payload: bytes
    values: int
    ref: Any = None


def _raise_from_shard(failure: RayTaskError) -> NoReturn:
    """A shard's UnknownColumnError as the caller's own, without Ray's wrapping; anything else as
    Ray raised it."""
    if isinstance(failure.cause, UnknownColumnError):
        raise UnknownColumnError(*failure.cause.args) from None
    raise failure


class ShardLink:
    """Shard `number` as the driver sees it. Values are buffered in `batch` (rows, timestamps,
    column indices, values: codec.new_batch) until sent; every call is logged before it is sent,
    with at most `max_in_flight` outstanding. A count other than the one expected (Ray restarted
    the actor empty), or a dead actor, makes the link rebuild the shard: reset it (or start a new
    actor if Ray gave up on it), replay its confirmed calls from the log, and send again the
    calls still unconfirmed."""

    def __init__(self, number: int, columns: list[str], shared: Shared) -> None:
        self.number = number
        self.columns = columns
        self.shared = shared
        self.batch = codec.new_batch()
        self.pending: collections.deque[_Call] = collections.deque()
        self.confirmed_entries = 0  # log entries confirmed, rejected ones included
        self.expected = 0  # values the shard has confirmed: what a replay would apply
        self.rejected: set[int] = set()  # log numbers of the calls the shard refused
        self.lost = False
        self.actor = self._start_actor()

    def _start_actor(self) -> Any:
        shared = self.shared
        return (
            shard_actor(shared.discarding)
            .options(
                num_cpus=shared.needs.get("CPU", 0.0),
                resources={name: amount for name, amount in shared.needs.items() if name != "CPU"},
                scheduling_strategy="SPREAD" if shared.spread else "DEFAULT",
            )
            .remote(self.number, shared.shards, self.columns, *shared.settings)
        )

    def stop(self) -> None:
        ray.kill(self.actor, no_restart=True)

    # Sending

    @property
    def buffered(self) -> int:
        return len(self.batch[3])

    def drop_row(self, number: int) -> None:
        """Takes back what row `number`, the last one buffered, had put in the buffer."""
        rows, keep = self.batch[0], len(self.batch[0])
        while keep and rows[keep - 1] == number:
            keep -= 1
        # The arrays may differ in length by one when a conversion failed in the middle.
        for values in self.batch:
            del values[keep:]

    def send(self) -> None:
        self.submit("batch", codec.encode_batch(self.batch), self.buffered)
        # Emptied only once logged and sent: a refused batch stays buffered, nothing lost.
        for values in self.batch:
            del values[:]

    def submit(self, kind: Kind, payload: bytes, values: int) -> None:
        if self.lost:
            self.rebuild()
        while len(self.pending) >= self.shared.max_in_flight:
            self.collect_oldest()
        call = _Call(self.shared.log.append(self.number, kind, payload), kind, payload, values)
        call.ref = self._call(kind, payload)
        self.pending.append(call)

    def _call(self, kind: Kind, payload: bytes) -> Any:
        if kind == "batch":
            return self.actor.apply.remote(payload)
        return self.actor.read_partition.remote(payload.decode("utf-8"))

    def settle(self) -> None:
        """Sends the buffered values and waits until the shard has confirmed every call; a
        refused call's error is raised once every call is settled."""
        if self.buffered:
            self.send()
        if self.lost:
            self.rebuild()
        error: UnknownColumnError | None = None
        while self.pending:
            try:
                self.collect_oldest()
            except UnknownColumnError as rejected:
                error = error or rejected
        if error is not None:
            raise error

    def collect_oldest(self) -> None:
        if self.lost:
            self.rebuild()
            return
        call = self.pending[0]
        try:
            count = self.answer(call.ref, "a call it was sent")
        except RayActorError:
            self.rebuild()
            return
        except RayTaskError as failure:
            # The shard applied nothing of it: a replay skips it too.
            self.pending.popleft()
            self.rejected.add(call.number)
            self.confirmed_entries += 1
            _raise_from_shard(failure)
        self.pending.popleft()
        self.confirmed_entries += 1
        self.expected += call.values
        if count != self.expected:
            self.rebuild()

    # Answers

    def ask(self, method: str, *args: Any, doing: str) -> Any:
        """The shard's answer to one call of `method` that returns (answer, count); a shard that
        lost its state is rebuilt and asked again."""

        def attempt() -> Any:
            if self.lost:
                self.rebuild()
            try:
                answer, count = self.answer(getattr(self.actor, method).remote(*args), doing)
            except RayActorError:
                self.rebuild()
                raise TryAgain from None
            except RayTaskError as failure:
                _raise_from_shard(failure)
            if count != self.expected:
                self.rebuild()
                raise TryAgain
            return answer

        return retry(attempt, f"shard {self.number} keeps losing its state")

    def answer(self, ref: Any, doing: str) -> Any:
        """ray.get of one call to the shard, for at most the timeout, reporting every
        log_interval seconds what it waits for."""
        patience, s = self.shared.patience, self.number
        return wait_with_deadline(
            lambda seconds: ray.get(ref, timeout=seconds),
            patience,
            lambda waited: logger.warning(
                "shard %d: waiting %.0f s of %g s for %s: %s",
                s,
                waited,
                patience.timeout,
                doing,
                self._missing(),
            ),
            lambda: ShardTimeoutError(
                s,
                f"shard {s} did not answer {doing} within {patience.timeout:g} s: "
                f"{self._missing()}. The other shards keep their state; its unconfirmed calls "
                "stay queued for the next call",
            ),
            # Not TimeoutError: a call that failed on a TimeoutError raises one too.
            no_answer=GetTimeoutError,
        )

    def _missing(self) -> str:
        """What the shard lacks, as far as Ray tells: its actor's state, what it needs, what is
        free."""
        state = actor_state(self.actor) or "in an unknown state"
        if state == "ALIVE":
            return "its actor is alive but busy (a long call, or an overloaded node)"
        needs = self.shared.needs
        free = _ray.available_resources()
        alive = sum(1 for node in _ray.nodes() if node.get("Alive"))
        have = ", ".join(f"{free.get(name, 0.0):g} {name}" for name in sorted(needs))
        return (
            f"its actor is {state} and needs a node with {resources_text(needs)} free; "
            f"the cluster has {alive} node{'s' if alive != 1 else ''} alive with {have} free"
        )

    # Recovery

    def rebuild(self) -> None:
        """Empties the shard (on Ray's restarted actor, or a new one if Ray gave up on it),
        replays its confirmed calls from the log and sends again the calls still unconfirmed.
        A timeout leaves the shard marked lost; the next call on it starts the rebuild again."""
        self.lost = True
        started = time.perf_counter()
        for call in self.pending:
            call.ref = None

        def attempt() -> None:
            try:
                self.answer(self.actor.reset.remote(), "the start of its rebuild")
                count = self._replay()
            except RayActorError:
                ray.kill(self.actor, no_restart=True)
                self.actor = self._start_actor()
                raise TryAgain from None
            if count != self.expected:
                raise RuntimeError(
                    f"shard {self.number}: replay gave {count} values, not {self.expected}"
                )

        retry(attempt, f"shard {self.number} could not be rebuilt")
        for call in self.pending:
            call.ref = self._call(call.kind, call.payload)
        self.lost = False
        self.shared.rebuild_seconds.append(time.perf_counter() - started)
        logger.warning(
            "shard %d lost its state; rebuilt by replaying %d values in %.2f s",
            self.number,
            self.expected,
            self.shared.rebuild_seconds[-1],
        )

    def _replay(self) -> int:
        """Sends the shard its confirmed calls again, read back from the log, at most
        `max_in_flight` at a time; the shard's count after the last."""
        refs: collections.deque[Any] = collections.deque()
        count = 0
        entries = self.shared.log.replay(self.number, self.confirmed_entries)
        for number, (kind, payload) in enumerate(entries):
            if number in self.rejected:
                continue
            if len(refs) >= self.shared.max_in_flight:
                count = self.answer(refs.popleft(), "a replayed call")
            refs.append(self._call(kind, payload))
        while refs:
            count = self.answer(refs.popleft(), "a replayed call")
        return count
