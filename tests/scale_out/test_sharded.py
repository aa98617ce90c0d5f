"""ShardedQuillometer over real Ray actors: results bit-identical to one in-process Quillometer
for any number of shards, a killed shard rebuilt once by replay, unknown columns as ordinary
errors that leave every shard's state as it was."""

import ipaddress
import os
import time

import pytest

from scale_support import COLUMNS, SETTINGS, assert_identical, make_stream, reference
from examples.scale_out import ShardedQuillometer, UnknownColumnError, write_partitions

STREAM = make_stream(60_000, seed=20261208)


def sharded(shards, **options):
    return ShardedQuillometer(COLUMNS, **SETTINGS, shards=shards, **options)


@pytest.fixture(scope="module")
def expected():
    return reference(STREAM)


@pytest.mark.parametrize("shards", [1, 2, 3])
def test_any_number_of_shards_gives_the_same_bits(ray_session, expected, shards):
    assert sum(len(row) > 1 for row, _ in STREAM) > 10_000
    with sharded(shards, batch_size=3_000) as stats:
        stats.extend(STREAM[:25_000])
        for row, ts in STREAM[25_000:25_100]:
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
    write_partitions(tmp_path, STREAM[10_000:20_000])
    with sharded(2, batch_size=1_000, max_in_flight=3) as stats:
        stats.extend(STREAM[:10_000])
        stats.ingest_partitions(tmp_path)
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


def test_an_unknown_column_is_an_ordinary_error_and_changes_nothing(ray_session, tmp_path):
    ray = ray_session
    head, tail = STREAM[:20_000], STREAM[20_000:30_000]
    with sharded(2) as stats:
        stats.extend(head)
        intruder = next(f"x{i}" for i in range(99) if stats.owner(f"x{i}") == 1)
        neighbour = next(name for name in COLUMNS if stats.owner(name) == 1)

        # At the driver: the row is refused whole, like the module's own append.
        with pytest.raises(UnknownColumnError, match=repr(intruder)) as caught:
            stats.extend([({"c00": 1.0, neighbour: 2.0, intruder: 3.0}, 50)])
        assert isinstance(caught.value, KeyError)
        with pytest.raises(TypeError):
            stats.append({"c00": 1.0, neighbour: "2.0"}, 50)
        with pytest.raises(UnknownColumnError):
            stats.mean(intruder)

        # Inside an actor: shard 1 refuses the whole partition, shard 0 applies its share.
        partition = [({neighbour: 7.0, intruder: 8.0}, 10**9), ({"c00": 9.0}, 10**9)]
        if stats.owner("c00") == 1:
            partition.pop()
        write_partitions(tmp_path, partition)
        with pytest.raises(UnknownColumnError, match=repr(intruder)) as caught:
            stats.ingest_partitions(tmp_path)
        assert caught.value.column == intruder
        accepted = head + [
            ({name: v for name, v in row.items() if stats.owner(name) == 0}, ts)
            for row, ts in partition
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
                links = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
            except OSError:
                continue
            for link in links:
                if link.startswith("socket:[") and int(link[8:-1]) in sockets:
                    ours.append((pid, *sockets[int(link[8:-1])]))
        assert len(ours) >= 5, ours  # the store, GCS, raylet, driver and actors all listen
        exposed = [
            (pid, str(address), port)
            for pid, address, port in ours
            if not (address.is_loopback or getattr(address, "ipv4_mapped", None) and address.ipv4_mapped.is_loopback)
        ]
        assert not exposed, exposed
