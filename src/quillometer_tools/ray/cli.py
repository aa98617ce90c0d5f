"""Command line of the scale-out example: `run` streams a CSV file (or a synthetic feed) through
K shard actors and prints each column's statistics; `bench` measures throughput and recovery.

    python -m examples.scale_out.cli run --shards 2 [--csv data.csv]
    python -m examples.scale_out.cli bench --rows 300000 --columns 2000
"""

import argparse
import csv
import math
import random
import sys
import tempfile
import time

from quillometer import Quillometer

from . import codec
from .frontend import ShardedQuillometer, start_local_ray

SETTINGS = {"window_size": 100, "alpha": 0.05, "time_window": 60_000}


def synthetic_stream(rows, columns, seed=20261208):
    """(names, [(row, ts)]): readings in milliseconds, each row naming one to three columns."""
    rng = random.Random(seed)
    names = [f"sensor-{i:05d}" for i in range(columns)]
    levels = [rng.uniform(-50.0, 150.0) for _ in names]
    stream, ts = [], 1_700_000_000_000
    for _ in range(rows):
        ts += rng.randrange(4)
        picked = rng.sample(range(columns), rng.choice((1, 1, 2, 3)))
        stream.append(({names[i]: rng.gauss(levels[i], 2.0) for i in picked}, ts))
    return names, stream


def csv_stream(path):
    """(names, [(row, ts)]) of a CSV file whose header is `ts,name,...`; an empty cell is a
    column the row does not name."""
    with open(path, newline="", encoding="utf-8") as src:
        reader = csv.reader(src)
        header = next(reader)
        if not header or header[0] != "ts":
            raise SystemExit(f"{path}: the first column must be 'ts'")
        names = header[1:]
        stream = [
            ({name: float(cell) for name, cell in zip(names, cells[1:]) if cell}, int(cells[0]))
            for cells in reader
        ]
    return names, stream


def run(args):
    names, stream = csv_stream(args.csv) if args.csv else synthetic_stream(args.rows, args.columns)
    start_local_ray(num_cpus=args.shards)
    with ShardedQuillometer(names, **SETTINGS, shards=args.shards) as stats:
        started = time.perf_counter()
        stats.extend(stream)
        table = stats.snapshot()
        elapsed = time.perf_counter() - started
    shown = names[: args.show]
    print(f"{len(stream)} rows over {len(names)} columns on {args.shards} shards in {elapsed:.2f} s")
    print(f"{'column':<16}{'mean':>11}{'std':>9}{'rolling':>11}{'ewma':>11}{'rate':>9}")
    for name in shown:
        s = table[name]
        print(
            f"{name:<16}{s['mean']:>11.3f}{math.sqrt(s['variance']):>9.3f}"
            f"{s['rolling_mean']:>11.3f}{s['ewma']:>11.3f}{s['rate']:>9.4f}"
        )
    if len(names) > len(shown):
        print(f"... and {len(names) - len(shown)} more columns")
    return 0


def _rate(label, rows, seconds):
    print(f"  {label:<28}{rows / seconds:>12,.0f} rows/s {seconds * 1e6 / rows:>8.2f} µs/row")


def bench(args):
    names, stream = synthetic_stream(args.rows, args.columns)
    values = sum(len(row) for row, _ in stream)
    print(f"{len(stream)} rows, {values} values, {len(names)} columns")

    q = Quillometer(names, **SETTINGS)
    started = time.perf_counter()
    for row, ts in stream:
        q.append(row, ts)
    _rate("in-process, one Quillometer", len(stream), time.perf_counter() - started)

    started = time.perf_counter()
    start_local_ray(num_cpus=max(args.shards))
    print(f"  ray.init (local, {max(args.shards)} CPUs)   {time.perf_counter() - started:>12.2f} s")
    with tempfile.TemporaryDirectory(prefix="quillometer-parts-") as directory:
        codec.write_partitions(directory, stream)
        for shards in args.shards:
            for mode in ("driver-fed", "partitioned"):
                with ShardedQuillometer(names, **SETTINGS, shards=shards) as stats:
                    stats.wait_ready()
                    started = time.perf_counter()
                    if mode == "driver-fed":
                        stats.extend(stream)
                        stats.flush()
                    else:
                        stats.ingest_partitions(directory)
                    _rate(f"K={shards} {mode}", len(stream), time.perf_counter() - started)
                    if mode == "driver-fed" and shards == max(args.shards):
                        recovery(stats, names[0])


def recovery(stats, column):
    """Kills the shard holding `column`, lets Ray restart it empty, and times the next query:
    noticing the empty shard and replaying its log."""
    import ray

    owner = stats.owner(column)
    actor = stats.actors[owner]
    expected = stats.confirmed(owner)
    killed = time.perf_counter()
    ray.kill(actor, no_restart=False)
    while True:
        try:
            if ray.get(actor.count.remote()) == 0:
                break
        except ray.exceptions.RayActorError:
            time.sleep(0.05)
    started = time.perf_counter()
    stats.query("mean", column)
    elapsed = time.perf_counter() - started
    print(
        f"  recovery of shard {owner}: Ray restarted it in {started - killed:.2f} s; the next "
        f"query noticed and replayed {expected} values in {elapsed:.2f} s "
        f"({elapsed * 1e6 / expected:.2f} µs per value)"
    )


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m examples.scale_out.cli", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    run_cmd = commands.add_parser("run", help="stream rows through K shards, print statistics")
    run_cmd.add_argument("--csv", help="input file, header 'ts,name,...' (default: synthetic)")
    run_cmd.add_argument("--shards", type=int, default=2)
    run_cmd.add_argument("--rows", type=int, default=100_000)
    run_cmd.add_argument("--columns", type=int, default=200)
    run_cmd.add_argument("--show", type=int, default=10, help="columns to print")
    bench_cmd = commands.add_parser("bench", help="throughput for each K, and recovery time")
    bench_cmd.add_argument("--rows", type=int, default=300_000)
    bench_cmd.add_argument("--columns", type=int, default=2_000)
    bench_cmd.add_argument("--shards", type=int, nargs="+", default=[1, 2])
    args = parser.parse_args(argv)
    return run(args) if args.command == "run" else bench(args)


if __name__ == "__main__":
    sys.exit(main())
