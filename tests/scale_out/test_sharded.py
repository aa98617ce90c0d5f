"""ShardedQuillometer over real Ray actors: results bit-identical to one in-process Quillometer
for any number of shards, a killed shard rebuilt once by replay from the log on disk, unknown
columns as ordinary errors that leave every shard's state as it was, and every way it refuses
to go on (too many shards, a shard that cannot be placed again, a full log) as a clear error."""

import ipaddress
import logging
import os
import time

import pytest
from scale_support import COLUMNS, SETTINGS, assert_identical, bits, make_stream, reference

from quillometer_tools.feed import Row
from quillometer_tools.ray import (
    LogLimitError,
    PlacementError,
    ShardedQuillometer,
    ShardTimeoutError,
    UnknownColumnError,
    write_partitions,
)

STREAM = make_stream(60_000, seed=20261208)


def sharded(shards, **options):
    return ShardedQuillometer(COLUMNS, **SETTINGS, shards=shards, **options)


@pytest.fixture(scope="module")
def expected():
    return reference(STREAM)


@pytest.mark.parametrize("shards", [1, 2, 3])
def test_any_number_of_shards_gives_the_same_bits(ray_session, expected, shards):
    assert sum(len(row.values) > 1 for row in STREAM) > 10_000
    with sharded(shards, batch_size=3_000) as stats:
        stats.extend(STREAM[:25_000])
        for ts, row in STREAM[25_000:25_100]:
            stats.append(row, ts)
        stats.extend(iter(STREAM[25_100:]))
        assert_identical(stats.snapshot(), expected)
        assert stats.zscore("pressure") == expected.zscore("pressure")
        assert stats.rebuilds == 0


def test_partitioned_ingestion_gives_the_same_bits(ray_session, expected, tmp_path):
    write_partitions(tmp_path / "first", STREAM[:30_000])
    write_partitions(tmp_path / "second", STREAM[30_000:50_000])
    with sharded(2) as stats:
        stats.ingest_partitions(tmp_path / "first")
        stats.ingest_partitions(tmp_path / "second")
        stats.extend(STREAM[50_000:])
        assert_identical(stats.snapshot(), expected)


def wait_restarted(ray, actor):
    for _ in range(400):
        try:
            if ray.get(actor.count.remote()) == 0:
                return
        except ray.exceptions.RayActorError:
            time.sleep(0.05)
    raise AssertionError("the actor was not restarted")


@pytest.mark.parametrize("how", ["restarted empty", "dead with calls in flight"])
def test_a_shard_killed_mid_stream_is_rebuilt_once(ray_session, expected, tmp_path, how):
    ray = ray_session
    write_partitions(tmp_path / "parts", STREAM[10_000:20_000])
    # Small segments, so that the replay reads the log back across many files.
    with sharded(
        2, batch_size=1_000, max_in_flight=3, log_dir=tmp_path / "log", log_segment_bytes=100_000
    ) as stats:
        log_directory = stats.log_directory
        assert log_directory.startswith(str(tmp_path / "log"))
        stats.extend(STREAM[:10_000])
        stats.ingest_partitions(tmp_path / "parts")
        stats.extend(STREAM[20_000:40_000])
        victim = stats.actors[1]
        if how == "restarted empty":
            stats.flush()
            ray.kill(victim, no_restart=False)
            wait_restarted(ray, victim)
        else:
            ray.kill(victim, no_restart=True)
        stats.extend(STREAM[40_000:])
        assert_identical(stats.snapshot(), expected)
        assert stats.rebuilds == 1
        assert len(stats.rebuild_seconds) == 1
        assert (stats.actors[1] is victim) == (how == "restarted empty")
        segments = [name for name in os.listdir(log_directory) if name.startswith("shard-001-")]
        assert len(segments) > 5
        # 28 bytes per value fed through the driver, a little more for headers and partitions.
        fed = sum(len(row.values) for row in STREAM[:10_000] + STREAM[20_000:])
        assert 28 * fed < stats.log_bytes < 28 * fed * 1.02
    assert not os.path.exists(log_directory)


def test_an_unknown_column_is_an_ordinary_error_and_changes_nothing(ray_session, tmp_path):
    ray = ray_session
    head, tail = STREAM[:20_000], STREAM[20_000:30_000]
    with sharded(2) as stats:
        stats.extend(head)
        intruder = next(f"x{i}" for i in range(99) if stats.owner(f"x{i}") == 1)
        neighbour = next(name for name in COLUMNS if stats.owner(name) == 1)

        # At the driver: the row is refused whole, like the module's own append.
        with pytest.raises(UnknownColumnError, match=repr(intruder)) as caught:
            stats.extend([Row(50, {"c00": 1.0, neighbour: 2.0, intruder: 3.0})])
        assert isinstance(caught.value, KeyError)
        with pytest.raises(TypeError):
            stats.append({"c00": 1.0, neighbour: "2.0"}, 50)
        # The names are checked before the values, as before the row reaches the buffers.
        with pytest.raises(UnknownColumnError, match=repr(intruder)):
            stats.append({"c00": "1.0", intruder: 3.0}, 50)
        with pytest.raises(UnknownColumnError):
            stats.mean(intruder)

        # Inside an actor: shard 1 refuses the whole partition, shard 0 applies its share.
        partition = [Row(10**9, {neighbour: 7.0, intruder: 8.0}), Row(10**9, {"c00": 9.0})]
        if stats.owner("c00") == 1:
            partition.pop()
        write_partitions(tmp_path, partition)
        with pytest.raises(UnknownColumnError, match=repr(intruder)) as caught:
            stats.ingest_partitions(tmp_path)
        assert caught.value.column == intruder
        accepted = head + [
            Row(ts, {name: v for name, v in row.items() if stats.owner(name) == 0})
            for ts, row in partition
        ]

        # The shard carries on, and its log holds only what it accepted: a replay agrees.
        stats.extend(tail)
        ray.kill(stats.actors[1], no_restart=True)
        assert_identical(stats.snapshot(), reference(accepted + tail))
        assert stats.rebuilds == 1


def listening_sockets():
    """{inode: (address, port)} of every listening TCP socket on this machine."""
    sockets = {}
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as lines:
            next(lines)
            for line in lines:
                fields = line.split()
                address, port = fields[1].split(":")
                if fields[3] != "0A":  # LISTEN
                    continue
                raw = bytes.fromhex(address)
                # The kernel prints each 32-bit word in host order.
                raw = b"".join(raw[i : i + 4][::-1] for i in range(0, len(raw), 4))
                sockets[int(fields[9])] = (ipaddress.ip_address(raw), int(port, 16))
    return sockets


def own_processes():
    """This process and every process started under it (Ray's servers and workers)."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    parents[int(entry)] = int(stat.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                continue
    family = {os.getpid()}
    while True:
        grown = family | {pid for pid, parent in parents.items() if parent in family}
        if grown == family:
            return family
        family = grown


def test_ray_listens_on_loopback_only(ray_session):
    with sharded(2) as stats:
        stats.wait_ready()
        sockets = listening_sockets()
        ours = []
        for pid in own_processes():
            try:
                links = [
                    os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")
                ]
            except OSError:
                continue
            for link in links:
                if link.startswith("socket:[") and int(link[8:-1]) in sockets:
                    ours.append((pid, *sockets[int(link[8:-1])]))
        assert len(ours) >= 5, ours  # the store, GCS, raylet, driver and actors all listen
        exposed = [
            (pid, str(address), port)
            for pid, address, port in ours
            if not (
                address.is_loopback
                or getattr(address, "ipv4_mapped", None)
                and address.ipv4_mapped.is_loopback
            )
        ]
        assert not exposed, exposed


def test_more_shards_than_the_cluster_holds_is_refused_at_once(ray_session):
    started = time.monotonic()
    with pytest.raises(PlacementError) as caught:
        sharded(4, timeout=60)
    assert time.monotonic() - started < 5
    assert str(caught.value).startswith(
        "cannot place 4 shards of 1 CPU each: the Ray cluster has 3 CPU ("
    )
    assert str(caught.value).endswith("ask for at most 3 shards, or add nodes")
    with pytest.raises(PlacementError, match="of 1 CPU, 1 tape each.* 0 tape"):
        sharded(1, resources={"tape": 1}, timeout=60)


def test_a_lost_shard_past_its_timeout_raises_and_the_others_keep_their_state(
    ray_session, expected, caplog
):
    """Shard 1 dies for good and its CPU is taken: its replacement cannot be placed. Queries
    on it raise once the timeout is up, naming it and what it lacks, while logging what they
    wait for; shard 0 answers all along, and once the CPU is free the stream goes on exact."""
    ray = ray_session

    @ray.remote(num_cpus=1)
    class Blocker:
        def ready(self):
            return True

    blockers = []
    try:
        # Batches of 8192 values: shard 1's buffer fills within the rest of the stream.
        with sharded(2, log_interval=1, batch_size=8_192) as stats:
            stats.timeout = 3  # after the start, which may take longer on a loaded machine
            stats.extend(STREAM[:30_000])
            stats.flush()
            ray.kill(stats.actors[1], no_restart=True)
            deadline = time.monotonic() + 30
            while ray.available_resources().get("CPU", 0) < 2 and time.monotonic() < deadline:
                time.sleep(0.1)
            blockers = [Blocker.remote() for _ in range(2)]
            ray.get([blocker.ready.remote() for blocker in blockers], timeout=30)
            victim = next(name for name in COLUMNS if stats.owner(name) == 1)
            other = next(name for name in COLUMNS if stats.owner(name) == 0)

            caplog.clear()
            with caplog.at_level(logging.WARNING, logger="quillometer_tools.ray.frontend"):
                started = time.monotonic()
                with pytest.raises(ShardTimeoutError) as caught:
                    stats.mean(victim)
                waited = time.monotonic() - started
            assert 3 <= waited < 10
            assert caught.value.shard == 1
            message = str(caught.value)
            assert message.startswith(
                "shard 1 did not answer the start of its rebuild within 3 s: its actor is "
                "PENDING_CREATION and needs a node with 1 CPU free; the cluster has 1 node alive "
                "with 0 CPU free"
            ), message
            assert message.endswith(
                "The other shards keep their state; its unconfirmed calls "
                "stay queued for the next call"
            )
            waits = [r.getMessage() for r in caplog.records if "waiting" in r.getMessage()]
            assert 1 <= len(waits) <= 3 and all(w.startswith("shard 1: waiting") for w in waits)

            # Shard 0 answers all along, from its state of before.
            assert bits(stats.mean(other)) == bits(reference(STREAM[:30_000]).mean(other))
            # Ingestion stops, with an error, at the row that filled shard 1's buffer ...
            rest = iter(STREAM[30_000:])
            with pytest.raises(ShardTimeoutError, match="^shard 1 "):
                stats.extend(rest)
            for blocker in blockers:
                ray.kill(blocker)
            # ... and goes on from the next row once shard 1 can be placed again.
            stats.extend(rest)
            assert_identical(stats.snapshot(), expected)
            assert stats.rebuilds == 1
    finally:
        for blocker in blockers:
            ray.kill(blocker)


def test_a_log_over_its_limit_refuses_the_row_and_keeps_every_earlier_one_exact(
    ray_session, tmp_path
):
    limit = 400_000
    with sharded(2, batch_size=2_000, log_limit_bytes=limit, log_dir=tmp_path) as stats:
        accepted = 0
        with pytest.raises(LogLimitError) as caught:
            for ts, row in STREAM:
                stats.append(row, ts)
                accepted += 1
        assert 5_000 < accepted < 20_000
        assert str(caught.value).startswith(
            f"the recovery log would pass its limit of {limit:,} bytes with this row (it holds "
        )
        assert str(caught.value).endswith(
            "the row was not applied, every earlier row was: raise log_limit_bytes, or start a "
            "new stream"
        )
        table = stats.snapshot()
        assert stats.log_bytes <= limit
        assert limit - stats.log_bytes < 5 * 28 + 2 * 25
        assert_identical(table, reference(STREAM[:accepted]))
        # The log still rebuilds a lost shard exactly, and the next row is refused again.
        ray_session.kill(stats.actors[0], no_restart=True)
        assert_identical(stats.snapshot(), reference(STREAM[:accepted]))
        with pytest.raises(LogLimitError):
            stats.extend(STREAM[accepted : accepted + 1])
