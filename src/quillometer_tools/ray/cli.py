"""Command line of the scale-out layer (`quillometer-ray`): `run` streams a CSV file (or a
synthetic feed) through K shard actors and prints each column's statistics; `bench` measures
throughput for each K, and recovery.

    quillometer-ray run data.csv --shards 2 [--time-column ts] [--window-size 100] ...
    quillometer-ray run --synthetic 100000 --shards 2
    quillometer-ray bench --rows 300000 --columns 2000 --shards 1 2 --repeat 3
"""

from __future__ import annotations

import argparse
import logging
import math
import os
import random
import statistics
import sys
import tempfile
import time
from collections.abc import Sequence

from quillometer import Quillometer

from ..feed import Feed, FeedOptions, InputError, Row, open_feed
from . import codec
from .cluster import PlacementError, ShardTimeoutError, connect, import_ray, start_local_ray
from .frontend import ShardedQuillometer
from .log import LogLimitError

PROG = "quillometer-ray"


def synthetic_stream(rows: int, columns: int, seed: int = 20261208) -> tuple[list[str], list[Row]]:
    """(names, rows): readings in milliseconds, each row naming one to three columns."""
    rng = random.Random(seed)
    names = [f"sensor-{i:05d}" for i in range(columns)]
    levels = [rng.uniform(-50.0, 150.0) for _ in names]
    stream: list[Row] = []
    ts = 1_700_000_000_000
    for _ in range(rows):
        ts += rng.randrange(4)
        picked = rng.sample(range(columns), rng.choice((1, 1, 2, 3)))
        stream.append(Row(ts, {names[i]: rng.gauss(levels[i], 2.0) for i in picked}))
    return names, stream


def _connect(address: str | None, cpus: int) -> None:
    if address:
        connect(address)
    else:
        start_local_ray(num_cpus=cpus)


def run(args: argparse.Namespace) -> int:
    feed: Feed | None = None
    if args.csv is not None:
        feed = open_feed(args.csv, FeedOptions(args.time_column, args.columns, args.time_format))
        names = feed.columns
    else:
        names, stream = synthetic_stream(args.synthetic, args.synthetic_columns)
    _connect(args.address, args.cpus)
    with ShardedQuillometer(
        names, args.window_size, args.alpha, args.time_window, shards=args.shards,
        timeout=args.timeout, log_dir=args.log_dir, log_limit_bytes=args.log_limit,
    ) as stats:
        started = time.perf_counter()
        if feed is not None:
            try:
                stats.extend(feed)
            finally:
                feed.close()
            rows = feed.rows_read
        else:
            stats.extend(stream)
            rows = len(stream)
        table = stats.snapshot()
        elapsed = time.perf_counter() - started
        log_bytes, log_directory = stats.log_bytes, stats.log_directory
    source = args.csv if args.csv is not None else "synthetic rows"
    print(f"{source}: {rows:,} rows over {len(names)} columns on {args.shards} shards in "
          f"{elapsed:.2f} s ({rows / elapsed if elapsed else 0.0:,.0f} rows/s)")
    print(f"recovery log: {log_bytes:,} bytes ({log_bytes / 2**20:.1f} MiB) in {log_directory}, "
          "removed at the end")
    if feed is not None:
        skipped = {name: count for name, count in feed.skipped.items() if count}
        if skipped:
            print("skipped cells (empty, non-numeric or non-finite): "
                  + ", ".join(f"{name} {count:,}" for name, count in skipped.items()))
        if feed.unsorted:
            print(f"rows whose time is below the previous row's: {feed.unsorted:,}")
    shown = names[: args.show]
    width = max([len("column")] + [len(name) for name in shown]) + 2
    print(f"{'column':<{width}}{'mean':>12}{'std':>12}{'rolling':>12}{'ewma':>12}{'rate':>12}")
    for name in shown:
        s = table[name]
        print(f"{name:<{width}}{s['mean']:>12.4g}{math.sqrt(s['variance']):>12.4g}"
              f"{s['rolling_mean']:>12.4g}{s['ewma']:>12.4g}{s['rate']:>12.4g}")
    if len(names) > len(shown):
        print(f"... and {len(names) - len(shown)} more columns")
    return 0


def _rate(label: str, rows: int, seconds: float) -> float:
    print(f"  {label:<28}{rows / seconds:>12,.0f} rows/s {seconds * 1e6 / rows:>8.2f} µs/row",
          flush=True)
    return rows / seconds


def bench(args: argparse.Namespace) -> int:
    names, stream = synthetic_stream(args.rows, args.columns)
    values = sum(len(row.values) for row in stream)
    print(f"{len(stream)} rows, {values} values, {len(names)} columns")
    settings = (100, 0.05, 60_000)
    rates: dict[str, list[float]] = {}
    started = time.perf_counter()
    _connect(args.address, max(args.shards))
    print(f"  Ray ready in {time.perf_counter() - started:.2f} s")
    with tempfile.TemporaryDirectory(prefix="quillometer-parts-") as directory:
        codec.write_partitions(directory, stream)
        for run_number in range(args.repeat):
            print(f"run {run_number + 1}")
            q = Quillometer(names, *settings)
            started = time.perf_counter()
            for ts, row_values in stream:
                q.append(row_values, ts)
            rate = _rate("in-process, one Quillometer", len(stream), time.perf_counter() - started)
            rates.setdefault("in-process", []).append(rate)
            for shards in args.shards:
                for mode in ("driver-fed", "partitioned"):
                    with ShardedQuillometer(names, *settings, shards=shards) as stats:
                        started = time.perf_counter()
                        if mode == "driver-fed":
                            stats.extend(stream)
                            stats.flush()
                        else:
                            stats.ingest_partitions(directory)
                        label = f"K={shards} {mode}"
                        rate = _rate(label, len(stream), time.perf_counter() - started)
                        rates.setdefault(label, []).append(rate)
                        if mode == "driver-fed" and shards == max(args.shards) and run_number == 0:
                            recovery(stats, names[0])
    if args.repeat > 1:
        print("rows/s over the runs: median (min - max)")
        for label, seen in rates.items():
            print(f"  {label:<28}{statistics.median(seen):>12,.0f} "
                  f"({min(seen):,.0f} - {max(seen):,.0f})")
    return 0


def recovery(stats: ShardedQuillometer, column: str) -> None:
    """Kills the shard holding `column`, lets Ray restart it empty, and times the next query:
    noticing the empty shard and replaying its log from disk."""
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
    print(f"  recovery of shard {owner}: Ray restarted it in {started - killed:.2f} s; the next "
          f"query noticed and replayed {expected} values ({stats.log_bytes / 2**20:.1f} MiB of "
          f"log for all shards) in {elapsed:.2f} s ({elapsed * 1e6 / max(expected, 1):.2f} µs "
          "per value)", flush=True)


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _positive_seconds(text: str) -> float:
    value = float(text)
    if not (0 < value < math.inf):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, not {text}")
    return value


def _address(text: str) -> str:
    # HOST:PORT, or HOST alone for Ray's default port 6379 (see connect).
    host, colon, port = text.rpartition(":")
    if colon and not (host and port.isascii() and port.isdigit() and 0 < int(port) < 65536):
        raise argparse.ArgumentTypeError(f"must be HOST:PORT with a port from 1 to 65535, "
                                         f"not {text!r}")
    return text


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    run_cmd = commands.add_parser("run", help="stream rows through K shards, print statistics")
    run_cmd.add_argument("csv", nargs="?", help="input CSV file ('-' for standard input)")
    run_cmd.add_argument("--synthetic", type=_positive_int, metavar="ROWS",
                         help="feed this many synthetic rows instead of a CSV file")
    run_cmd.add_argument("--synthetic-columns", type=_positive_int, default=200, metavar="N")
    group = run_cmd.add_argument_group("input")
    group.add_argument("--time-column", help="(default: timestamp, ts, time, datetime or date, "
                       "else the first column)")
    group.add_argument("--columns", type=lambda text: [c.strip() for c in text.split(",")],
                       help="value columns, comma-separated (default: every other column)")
    group.add_argument("--time-format", help="strptime format of the times (default: integers, "
                       "or ISO 8601 date-times, read as whole seconds)")
    group = run_cmd.add_argument_group("statistics")
    group.add_argument("--window-size", type=_positive_int, default=100,
                       help="rows in the rolling window (default 100)")
    group.add_argument("--alpha", type=float, default=0.05, help="EWMA weight (default 0.05)")
    group.add_argument("--time-window", type=_positive_int, default=60_000,
                       help="time window in the time column's units, seconds for date-times "
                       "(default 60000)")
    group = run_cmd.add_argument_group("cluster")
    group.add_argument("--shards", type=_positive_int, default=2, help="shard actors (default 2)")
    group.add_argument("--address", type=_address, help="an existing Ray cluster's address (default: start "
                       "Ray on this machine, listening on 127.0.0.1 only)")
    group.add_argument("--cpus", type=_positive_int, default=os.cpu_count() or 1,
                       help="CPUs of the local Ray (default: this machine's)")
    group.add_argument("--timeout", type=_positive_seconds, default=300.0,
                       help="seconds to wait for a shard before giving up (default 300)")
    group.add_argument("--log-dir", help="directory of the recovery log (default: a temporary "
                       "directory)")
    group.add_argument("--log-limit", type=_positive_int, metavar="BYTES",
                       help="largest size of the recovery log (default: until the disk has no "
                       "room for a new segment of each shard)")
    run_cmd.add_argument("--show", type=int, default=10, help="columns to print (default 10)")
    bench_cmd = commands.add_parser("bench", help="throughput for each K, and recovery time")
    bench_cmd.add_argument("--rows", type=_positive_int, default=300_000)
    bench_cmd.add_argument("--columns", type=_positive_int, default=2_000)
    bench_cmd.add_argument("--shards", type=_positive_int, nargs="+", default=[1, 2])
    bench_cmd.add_argument("--repeat", type=_positive_int, default=1, help="runs (default 1)")
    bench_cmd.add_argument("--address", type=_address, help="an existing Ray cluster's address")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    # The layer's own warnings (what a shard waits for, a rebuild) go to stderr; Ray's chatter
    # below errors does not.
    logging.basicConfig(level=logging.WARNING, format=f"{PROG}: %(message)s")
    # Ray sets up its loggers when it is imported: imported first, for a driver, then quietened.
    ray = import_ray()
    logging.getLogger("ray").setLevel(logging.ERROR)
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command == "run" and (args.csv is None) == (args.synthetic is None):
        parser.error("give a CSV file or --synthetic ROWS (one of them)")
    try:
        return run(args) if args.command == "run" else bench(args)
    except (InputError, PlacementError, ShardTimeoutError, LogLimitError, OSError) as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    finally:
        ray.shutdown()


if __name__ == "__main__":
    sys.exit(main())
