"""The pieces under the actors, in this process: lossless batches and partition files, routing
that every process agrees on, one shard fed batches giving the in-process results, the
recovery log: its segments and limit, a damaged record refused on replay, and an entry refused
for want of disk room without the log becoming unusable; and the wait with a deadline that every
wait on the cluster goes through."""

import json
import os
import random
import shutil
import struct
import subprocess
import sys
import time

import pytest
from scale_support import COLUMNS, SETTINGS, assert_identical, bits, make_stream, reference

from quillometer_tools.ray import ShardTimeoutError, UnknownColumnError, shard_of, write_partitions
from quillometer_tools.ray.cluster import Patience, wait_with_deadline
from quillometer_tools.ray.codec import (
    decode_batch,
    encode_batch,
    new_batch,
    read_column,
    read_manifest,
)
from quillometer_tools.ray.log import RECORD_HEADER_BYTES, LogCorruptError, LogLimitError, ReplayLog
from quillometer_tools.ray.shard import DiscardingShard, Shard


def batches_for(stream, columns, cuts):
    """The stream as batches for a shard holding `columns`, cut after the given value counts
    (a cut may fall inside a row)."""
    index = {name: i for i, name in enumerate(columns)}
    payloads, batch, cuts = [], new_batch(), sorted(cuts)
    for number, (ts, row) in enumerate(stream):
        for name, value in row.items():
            for values, item in zip(batch, (number, ts, index[name], value), strict=True):
                values.append(item)
            if cuts and len(batch[3]) >= cuts[0]:
                cuts.pop(0)
                payloads.append(encode_batch(batch))
                batch = new_batch()
    return payloads + [encode_batch(batch)]


def double_bits(values):
    return [struct.pack("<d", v) for v in values]


def test_batches_keep_every_bit_and_refuse_damage():
    quiet_nan = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_DEAD_BEEF))[0]
    values = [-0.0, 0.0, 5e-324, -1.7976931348623157e308, float("inf"), quiet_nan, 0.1]
    timestamps = [-(2**63), 2**63 - 1, 0, -1, 1, 7, 7]
    batch = new_batch()
    for i, (ts, value) in enumerate(zip(timestamps, values, strict=True)):
        for array, item in zip(
            batch, (i // 2, ts, (2**32 - 1) if i == 3 else i, value), strict=True
        ):
            array.append(item)
    payload = encode_batch(batch)
    rows, got_ts, columns, got_values = decode_batch(payload)
    assert list(rows) == [0, 0, 1, 1, 2, 2, 3]
    assert list(got_ts) == timestamps
    assert list(columns) == [0, 1, 2, 2**32 - 1, 4, 5, 6]
    assert double_bits(got_values) == double_bits(values)
    assert decode_batch(encode_batch(new_batch())) == new_batch()

    for damaged in (payload[:-1], payload + b"\0", b"QMB2" + payload[4:], b""):
        with pytest.raises(ValueError):
            decode_batch(damaged)


def test_partitions_hold_each_column_in_stream_order(tmp_path):
    stream = make_stream(3_000, seed=5)
    manifest = write_partitions(tmp_path, stream)
    assert manifest == read_manifest(tmp_path)
    assert sorted(manifest) == sorted({name for row in stream for name in row.values})
    for name, entry in manifest.items():
        expected = [(ts, row[name]) for ts, row in stream if name in row]
        timestamps, values = read_column(tmp_path, entry)
        assert list(timestamps) == [ts for ts, _ in expected]
        assert double_bits(values) == double_bits([v for _, v in expected])

    entry = next(iter(manifest.values()))
    with open(os.path.join(tmp_path, entry["file"]), "ab") as out:
        out.write(b"\0" * 8)
    with pytest.raises(ValueError, match="expected"):
        read_column(tmp_path, entry)


def test_routing_is_the_same_in_every_process():
    names = COLUMNS + [f"series-{i}" for i in range(200)]
    script = (
        "import json, sys;"
        "from quillometer_tools.ray.codec import shard_of;"
        "print(json.dumps([[shard_of(n, k) for k in (1, 2, 3, 7)] for n in json.loads(sys.argv[1])]))"
    )
    here = [[shard_of(n, k) for k in (1, 2, 3, 7)] for n in names]
    for seed in ("1", "2"):
        out = subprocess.run(
            [sys.executable, "-c", script, json.dumps(names)],
            env={**os.environ, "PYTHONHASHSEED": seed},
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        assert json.loads(out) == here
    # Every shard gets a share.
    for position, k in enumerate((2, 3, 7)):
        assert {owners[position + 1] for owners in here} == set(range(k))


def test_one_shard_fed_batches_matches_one_quillometer():
    stream = make_stream(20_000, seed=11)
    rng = random.Random(3)
    shard = Shard(0, 1, COLUMNS, **SETTINGS)
    for payload in batches_for(stream, COLUMNS, rng.sample(range(1, 35_000), 12)):
        count = shard.apply(payload)
    values = sum(len(row.values) for row in stream)
    assert count == values == shard.count()
    table, count = shard.snapshot()
    assert count == values
    assert_identical(table, reference(stream))
    assert shard.reset() == 0
    assert shard.snapshot()[0]["c00"]["mean"] != table["c00"]["mean"]


def test_the_bench_shard_counts_what_a_shard_applies_and_applies_nothing():
    # The bench's measure of the driver alone: the same counts in every answer, so the driver
    # sees nothing amiss, and a state that stays empty.
    stream = make_stream(5_000, seed=12)
    shard, discarding = Shard(0, 1, COLUMNS, **SETTINGS), DiscardingShard(0, 1, COLUMNS, **SETTINGS)
    for payload in batches_for(stream, COLUMNS, [1_000, 4_000]):
        assert discarding.apply(payload) == shard.apply(payload)
    assert discarding.count() == sum(len(row.values) for row in stream)
    assert_identical(discarding.snapshot()[0], reference([]))
    assert_identical(shard.snapshot()[0], reference(stream))
    with pytest.raises(ValueError, match="not a quillometer batch"):
        discarding.apply(b"QMB0" + bytes(8))


def test_a_shard_rejects_what_it_cannot_apply_and_keeps_its_state(tmp_path):
    columns = ["a", "b"]
    stream = make_stream(500, seed=2, columns=columns)
    shard = Shard(0, 1, columns, **SETTINGS)
    shard.apply(batches_for(stream, columns, [])[0])
    before = shard.snapshot()

    batch = new_batch()
    for values, item in zip(batch, (0, 1, 2, 1.0), strict=True):
        values.append(item)
    with pytest.raises(ValueError, match="column index 2"):
        shard.apply(encode_batch(batch))

    write_partitions(tmp_path, make_stream(50, seed=3, columns=["a", "intruder"]))
    with pytest.raises(UnknownColumnError) as caught:
        shard.read_partition(str(tmp_path))
    assert isinstance(caught.value, KeyError) and caught.value.column == "intruder"
    assert "intruder" in str(caught.value)

    with pytest.raises(UnknownColumnError, match="'zz'"):
        shard.query("mean", "zz")
    with pytest.raises(ValueError, match="statistic"):
        shard.query("median", "a")

    after = shard.snapshot()
    assert after[1] == before[1]
    assert {n: [bits(v) for v in s.values()] for n, s in after[0].items()} == {
        n: [bits(v) for v in s.values()] for n, s in before[0].items()
    }


def test_a_log_refused_for_disk_room_stays_usable(tmp_path, monkeypatch):
    # Three shards of 1,000-byte segments: a new segment needs room for one segment per shard.
    log = ReplayLog(3, tmp_path, segment_bytes=1_000)
    free = [2_999]
    real = shutil.disk_usage
    monkeypatch.setattr(shutil, "disk_usage", lambda path: real(path)._replace(free=free[0]))
    with pytest.raises(LogLimitError, match="has 2,999 bytes free, less than the 3,000"):
        log.append(0, "batch", b"first")
    free[0] = 3_000
    assert log.append(0, "batch", b"first") == 0
    free[0] = 0
    assert log.append(0, "partition", b"/in/open/segment") == 1
    with pytest.raises(LogLimitError, match="bytes free"):
        log.append(1, "batch", b"needs a segment")
    free[0] = 3_000
    assert log.append(1, "batch", b"needs a segment") == 0
    assert list(log.replay(0, 2)) == [("batch", b"first"), ("partition", b"/in/open/segment")]
    assert list(log.replay(1, 1)) == [("batch", b"needs a segment")]
    assert log.size == 3 * RECORD_HEADER_BYTES + len(b"first/in/open/segmentneeds a segment")
    log.close()


@pytest.mark.parametrize("answer_at", [2.5, None], ids=["answers in time", "never answers"])
def test_a_wait_reports_as_it_goes_and_gives_up_at_its_deadline(monkeypatch, answer_at):
    # A clock that moves only while the attempt blocks; an answer arrives at `answer_at` s.
    now = [1000.0]
    monkeypatch.setattr(time, "monotonic", lambda: now[0])
    blocked, reports = [], []

    def attempt(seconds):
        blocked.append(seconds)
        if answer_at is not None and now[0] + seconds >= 1000.0 + answer_at:
            now[0] = 1000.0 + answer_at
            return "answer"
        now[0] += seconds
        raise TimeoutError

    def wait():
        return wait_with_deadline(
            attempt,
            Patience(timeout=3.5, log_interval=1.0),
            reports.append,
            lambda: ShardTimeoutError(0, "gave up"),
        )

    if answer_at is not None:
        assert wait() == "answer"
        assert (blocked, reports) == ([1.0, 1.0, 1.0], [1.0, 2.0])
    else:
        with pytest.raises(ShardTimeoutError, match="^gave up$") as caught:
            wait()
        assert caught.value.__cause__ is None and caught.value.__suppress_context__
        assert (blocked, reports) == ([1.0, 1.0, 1.0, 0.5], [1.0, 2.0, 3.0])
        assert now[0] == 1003.5


def test_a_log_rotates_at_its_segment_size_and_stops_at_its_limit(tmp_path):
    record = RECORD_HEADER_BYTES + 7
    log = ReplayLog(1, tmp_path, segment_bytes=3 * record, limit_bytes=8 * record)
    payloads = [b"entry-%d" % i for i in range(8)]
    assert [log.append(0, "batch", p) for p in payloads] == list(range(8))
    assert list(log.replay(0, 8)) == [("batch", p) for p in payloads]  # flushes the open segment
    # A segment takes records while they fit in it whole: three, three, then two.
    segments = sorted(os.path.join(log.directory, name) for name in os.listdir(log.directory))
    assert [os.path.getsize(path) for path in segments] == [3 * record, 3 * record, 2 * record]
    # The limit is reached exactly, not passed: the next entry is refused.
    with pytest.raises(LogLimitError, match="would pass its limit"):
        log.append(0, "batch", b"")
    assert (log.size, log.entries(0)) == (8 * record, 8)
    log.close()


def test_a_log_refuses_to_replay_a_damaged_record(tmp_path):
    log = ReplayLog(1, tmp_path)
    log.append(0, "batch", b"first payload")
    log.append(0, "partition", b"/some/partition")
    assert list(log.replay(0, 2)) == [
        ("batch", b"first payload"),
        ("partition", b"/some/partition"),
    ]
    (name,) = os.listdir(log.directory)
    with open(os.path.join(log.directory, name), "r+b") as segment:
        segment.seek(RECORD_HEADER_BYTES + 3)  # one bit of the first payload
        byte = segment.read(1)[0]
        segment.seek(-1, os.SEEK_CUR)
        segment.write(bytes([byte ^ 1]))
    with pytest.raises(LogCorruptError, match="does not read back as written"):
        list(log.replay(0, 2))
    log.close()
