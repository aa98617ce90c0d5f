"""The driver of the two-node test, run as its own process (a process joins one Ray cluster):
shards spread over the head and the worker node, rows fed through the driver and a partition,
then the worker's raylet killed while the head has no free CPU (the shard's wait runs out),
then a CPU freed on the head (the shard is rebuilt there). Prints one JSON object: snapshots as
float bits, nodes, the timeout's message and the times taken.

    python two_node_driver.py HEAD_ADDRESS WORKER_IP RAYLET_PID PARTITION_DIR
"""

import json
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the tests' helpers only

from scale_support import COLUMNS, SETTINGS, STATISTICS, bits, make_stream

from quillometer_tools.ray import ShardedQuillometer, ShardTimeoutError, connect

STREAM = make_stream(60_000, seed=424242)


def table_bits(table):
    return {name: [bits(table[name][s]) for s in STATISTICS] for name in table}


def main():
    address, worker_ip, raylet_pid, partition = sys.argv[1:5]
    import ray

    connect(address)
    deadline = time.monotonic() + 60
    while sum(node["Alive"] for node in ray.nodes()) < 2:
        if time.monotonic() > deadline:
            raise SystemExit(f"the worker node did not join within 60 s: {ray.nodes()}")
        time.sleep(0.2)
    out = {}
    with ShardedQuillometer(
        COLUMNS, **SETTINGS, shards=2, spread=True, batch_size=2_000, timeout=60, log_interval=2
    ) as stats:
        out["nodes"] = stats.nodes()
        if sorted(out["nodes"]) != sorted([address.split(":")[0], worker_ip]):
            raise SystemExit(f"the shards are not on both nodes: {out['nodes']}")
        stats.extend(STREAM[:20_000])
        stats.ingest_partitions(partition)
        stats.extend(STREAM[40_000:50_000])
        out["before"] = table_bits(stats.snapshot())

        # The head's spare CPU is taken: a shard of the lost node has nowhere to go.
        @ray.remote(num_cpus=1, resources={"head": 0.01})
        class Blocker:
            def ready(self):
                return True

        blocker = Blocker.remote()
        ray.get(blocker.ready.remote(), timeout=60)
        lost = out["nodes"].index(worker_ip)
        column = next(name for name in COLUMNS if stats.owner(name) == lost)
        stats.timeout = 15
        killed = time.monotonic()
        os.kill(int(raylet_pid), signal.SIGKILL)
        # Until Ray marks the node dead, the shard's process may still answer (rightly).
        while sum(node["Alive"] for node in ray.nodes()) > 1:
            if time.monotonic() - killed > 60:
                raise SystemExit("the worker node was not marked dead within 60 s")
            time.sleep(0.2)
        out["node_dead_after"] = time.monotonic() - killed
        try:
            stats.mean(column)
            out["timeout_error"] = None
        except ShardTimeoutError as error:
            out["timeout_error"] = str(error)
            out["timeout_shard"] = error.shard
        out["timeout_after"] = time.monotonic() - killed

        # A CPU on the head is free again: the next query rebuilds the shard there.
        ray.kill(blocker)
        freed = time.monotonic()
        stats.timeout = 60
        stats.mean(column)
        out["recovery_seconds"] = time.monotonic() - freed
        out["rebuild_seconds"] = stats.rebuild_seconds
        out["replayed_values"] = stats.confirmed(lost)
        out["log_bytes"] = stats.log_bytes
        stats.extend(STREAM[50_000:])
        out["after"] = table_bits(stats.snapshot())
        out["nodes_after"] = stats.nodes()
    ray.shutdown()
    print(json.dumps(out))


if __name__ == "__main__":
    main()
