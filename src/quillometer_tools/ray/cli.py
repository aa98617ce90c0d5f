"""Command line of the scale-out layer (`quillometer-ray`): `run` streams a CSV file (or a
synthetic feed) through K shard actors and prints each column's statistics; `bench` measures
throughput for each K, and recovery.

    quillometer-ray run data.csv --shards 2 [--time-column ts] [--window-size 168] ...
    quillometer-ray run --synthetic 100000 --shards 2
    quillometer-ray bench --rows 300000 --columns 2000 --shards 1 2 --repeat 3

The options of `run` that read and measure the CSV are those of quillometer-monitor.
Exit status: 0 done, 1 bad input or a cluster that cannot hold the shards (one line on standard
error), 2 bad usage, 70 internal error, 130 interrupted, 141 output pipe closed.
"""

from __future__ import annotations

import argparse
import functools
import logging
import math
import os
import random
import statistics
import sys
import tempfile
import time
from collections.abc import Callable, Iterable, Iterator, Sequence

from quillometer import Quillometer

from ..command import (
    Cadence,
    ColumnSummary,
    Parser,
    UsageError,
    add_input_options,
    add_show_option,
    add_statistics_options,
    check_input_options,
    feed_notes,
    feed_options,
    main_of,
    plural,
    positive,
    settings_text,
    summary_table,
    time_window,
    unsorted_warning,
    whole,
)
from ..feed import SAMPLE_ROWS, Feed, Row, open_feed
from ..times import median_step
from . import codec
from .cluster import PlacementError, ShardTimeoutError, connect, import_ray, start_local_ray
from .frontend import ShardedQuillometer
from .log import LogLimitError

PROG = "quillometer-ray"
SYNTHETIC_UNIT = 1e-3  # the synthetic rows' times are epoch milliseconds


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


_connected: list[bool] = []  # whether this process joined or started Ray


def _connect(address: str | None, cpus: int) -> None:
    _connected.append(True)
    if address:
        connect(address)
    else:
        start_local_ray(num_cpus=cpus)


class _Tally:
    """Per column, the values fed and the largest |value| (it sets the table's decimals)."""

    def __init__(self, names: Sequence[str]) -> None:
        self.counts = dict.fromkeys(names, 0)
        self.scales = dict.fromkeys(names, 0.0)

    def count(self, rows: Iterable[Row]) -> Iterator[Row]:
        counts, scales = self.counts, self.scales
        for row in rows:
            for name, value in row.values.items():
                if name in counts:
                    counts[name] += 1
                    if abs(value) > scales[name]:
                        scales[name] = abs(value)
            yield row


def run(args: argparse.Namespace) -> int:
    feed: Feed | None = None
    rows: Iterable[Row]
    if args.csv is not None:
        feed = open_feed(args.csv, feed_options(args, SAMPLE_ROWS))
        names, cadence, rows = feed.columns, Cadence(feed.seconds_per_unit, feed.timing.step), feed
        feed_notes(PROG, feed)
    else:
        names, stream = synthetic_stream(args.synthetic, args.synthetic_columns)
        steps = median_step([row.ts for row in stream[:SAMPLE_ROWS]])
        cadence, rows = Cadence(SYNTHETIC_UNIT, steps), stream
    try:
        window, how = time_window(args, cadence.seconds_per_unit, cadence.step)
        tally = _Tally(names)
        _connect(args.address, args.cpus)
        with ShardedQuillometer(
            names,
            args.window_size,
            args.alpha,
            window,
            shards=args.shards,
            timeout=args.timeout,
            log_dir=args.log_dir,
            log_limit_bytes=args.log_limit,
        ) as stats:
            settings = settings_text(
                args.window_size, args.alpha, window, cadence.seconds_per_unit, how
            )
            print(f"{settings}  shards={args.shards}", flush=True)
            started = time.perf_counter()
            stats.extend(tally.count(rows))
            table = stats.snapshot()
            elapsed = time.perf_counter() - started
            log_bytes, log_directory = stats.log_bytes, stats.log_directory
    finally:
        if feed is not None:
            feed.close()
    count = feed.rows_read if feed is not None else len(stream)
    source = args.csv if args.csv is not None else "synthetic rows"
    print(
        f"{source}: {plural(count, 'row')} over {plural(len(names), 'column')} on "
        f"{plural(args.shards, 'shard')} in {elapsed:.2f} s "
        f"({count / elapsed if elapsed else 0.0:,.0f} rows/s)"
    )
    print(
        f"recovery log: {plural(log_bytes, 'byte')} ({log_bytes / 2**20:.1f} MiB) in "
        f"{log_directory}, removed at the end"
    )
    if feed is not None:
        unsorted_warning(PROG, feed.unsorted)
    skipped = feed.skipped if feed is not None else {}
    summaries = [
        ColumnSummary(
            name,
            tally.counts[name],
            skipped.get(name, 0),
            figures["mean"],
            math.sqrt(figures["variance"]),
            figures["last"],
            figures["rolling_mean"],
            figures["rolling_std"],
            figures["time_mean"],
            figures["time_std"],
            figures["rate"],
            figures["ewma"],
            scale=tally.scales[name],
            sums_scale=tally.scales[name],
        )
        for name, figures in ((name, table[name]) for name in names)
    ]
    print()
    print(summary_table(summaries, args.window_size, window, cadence, args.show))
    return 0


class _Discarding(ShardedQuillometer):
    """The bench's stream whose shards decode and count every batch but apply nothing: what is
    left is the driver's own work (routing, buffering, encoding, logging, Ray's calls)."""

    _discarding = True


def _cpu_seconds() -> dict[int, tuple[str, float]]:
    """{pid: (name, user + system CPU seconds)} of this process and of every process it
    started, directly or not (a local Ray's servers and workers), read from /proc."""
    tick = os.sysconf("SC_CLK_TCK")
    found: dict[int, tuple[str, int, float]] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="utf-8", errors="replace") as src:
                stat = src.read()
        except OSError:
            continue
        # pid (name) state ppid ... utime stime: the name may hold spaces and parentheses.
        name, fields = stat[stat.index("(") + 1 : stat.rindex(")")], stat[stat.rindex(")") + 2 :]
        parts = fields.split()
        found[int(entry)] = (name, int(parts[1]), (int(parts[11]) + int(parts[12])) / tick)
    ours, grown = {os.getpid()}, True
    while grown:
        grown = False
        for pid, (_, parent, _) in found.items():
            if parent in ours and pid not in ours:
                ours.add(pid)
                grown = True
    return {pid: (found[pid][0], found[pid][2]) for pid in ours if pid in found}


def _shard_pids(stats: ShardedQuillometer) -> list[int]:
    ray = import_ray()
    return [ray.get(actor.__ray_call__.remote(lambda _: os.getpid())) for actor in stats.actors]


class _Cpu:
    """CPU seconds spent from construction to stop() by the driver, each shard, raylet,
    gcs_server and Ray's other processes (on this machine, started by this driver)."""

    def __init__(self, shards: list[int]) -> None:
        self.shards = shards
        self.before = _cpu_seconds()

    def stop(self) -> dict[str, float]:
        after = _cpu_seconds()
        spent = {
            pid: cpu - self.before.get(pid, (name, 0.0))[1] for pid, (name, cpu) in after.items()
        }
        names = {pid: name for pid, (name, _) in after.items()}
        table = {"driver": spent.pop(os.getpid(), 0.0)}
        for number, pid in enumerate(self.shards):
            table[f"shard {number}"] = spent.pop(pid, math.nan)
        for server in ("raylet", "gcs_server"):
            table[server] = sum(spent.pop(pid) for pid in list(spent) if names[pid] == server)
        table["other Ray"] = sum(spent.values())
        return table


def _measure(
    label: str, rows: int, baseline: float | None, work: Callable[[], None], shards: list[int]
) -> tuple[float, dict[str, float]]:
    """Runs `work`, prints its rate (and its ratio to `baseline`) and the CPU it took."""
    cpu = _Cpu(shards)
    started = time.perf_counter()
    work()
    seconds = time.perf_counter() - started
    table = cpu.stop()
    rate = rows / seconds
    ratio = f"{rate / baseline:>7.2f}x in-process" if baseline else ""
    print(f"  {label:<30}{rate:>12,.0f} rows/s {seconds * 1e6 / rows:>8.2f} µs/row  {ratio}")
    print(
        "      CPU s: "
        + "  ".join(f"{name} {spent:.2f}" for name, spent in table.items())
        + f"  (wall {seconds:.2f})",
        flush=True,
    )
    return rate, table


def _feed(stats: ShardedQuillometer, stream: list[Row]) -> None:
    stats.extend(stream)
    stats.flush()


def bench(args: argparse.Namespace) -> int:
    names, stream = synthetic_stream(args.rows, args.columns)
    values = sum(len(row.values) for row in stream)
    print(f"{len(stream)} rows, {values} values, {len(names)} columns")
    settings = (100, 0.05, 60_000)
    rates: dict[str, list[float]] = {}
    # Per run: rows per CPU second of the driver dispatching to discarding shards, and of one
    # shard that applies every row (K=1), fed and partitioned.
    per_cpu: dict[str, list[float]] = {}
    started = time.perf_counter()
    _connect(args.address, max(args.shards))
    print(f"  Ray ready in {time.perf_counter() - started:.2f} s")
    most = max(args.shards)
    with tempfile.TemporaryDirectory(prefix="quillometer-parts-") as directory:
        codec.write_partitions(directory, stream)
        for run_number in range(args.repeat):
            print(f"run {run_number + 1}")
            q = Quillometer(names, *settings)

            def in_process(q: Quillometer = q) -> None:
                for ts, row_values in stream:
                    q.append(row_values, ts)

            baseline, _ = _measure("in-process, one Quillometer", len(stream), None, in_process, [])
            rates.setdefault("in-process, one Quillometer", []).append(baseline)
            runs: list[tuple[str, type[ShardedQuillometer], int]] = [
                (f"K={shards} {mode}", ShardedQuillometer, shards)
                for shards in args.shards
                for mode in ("driver-fed", "partitioned")
            ]
            runs.append((f"K={most} driver-fed, discarding", _Discarding, most))
            for label, kind, shards in runs:
                with kind(names, *settings, shards=shards) as stats:
                    work: Callable[[], None] = (
                        functools.partial(stats.ingest_partitions, directory)
                        if label.endswith("partitioned")
                        else functools.partial(_feed, stats, stream)
                    )
                    rate, cpu = _measure(label, len(stream), baseline, work, _shard_pids(stats))
                    rates.setdefault(label, []).append(rate)
                    # A CPU time too short for the clock's ticks (a tiny run) tells nothing.
                    spent = cpu["driver"] if kind is _Discarding else cpu.get("shard 0", 0.0)
                    if (kind is _Discarding or shards == 1) and spent > 0:
                        key = "driver" if kind is _Discarding else label
                        per_cpu.setdefault(key, []).append(len(stream) / spent)
                    if label == f"K={most} driver-fed" and run_number == 0:
                        recovery(stats, names[0])
    _summary(rates, per_cpu, args.shards)
    return 0


def _summary(
    rates: dict[str, list[float]], per_cpu: dict[str, list[float]], shards: list[int]
) -> None:
    """Medians over the runs: rates, each against the in-process rate of its own run; the
    speed-ups of the largest K over K=1; and what K shards with a core each would do."""
    baseline = rates["in-process, one Quillometer"]
    print(
        "rows/s over the runs: median (min - max), and the median of each run's ratio to "
        "the in-process rate"
    )
    for label, seen in rates.items():
        ratio = statistics.median(rate / base for rate, base in zip(seen, baseline, strict=True))
        print(
            f"  {label:<36}{statistics.median(seen):>12,.0f} "
            f"({min(seen):,.0f} - {max(seen):,.0f})  {ratio:.2f}x"
        )
    most = max(shards)
    if 1 in shards and most > 1:
        for mode in ("driver-fed", "partitioned"):
            ups = [
                high / low
                for high, low in zip(rates[f"K={most} {mode}"], rates[f"K=1 {mode}"], strict=True)
            ]
            print(
                f"K={most} over K=1, {mode}: "
                + ", ".join(f"{up:.2f}x" for up in ups)
                + f" (median {statistics.median(ups):.2f}x)"
            )
    if not {"driver", "K=1 driver-fed", "K=1 partitioned"} <= per_cpu.keys():
        print("rows per CPU second: too few clock ticks to tell (more --rows, and K=1)")
    else:
        dispatch = statistics.median(per_cpu["driver"])
        fed = statistics.median(per_cpu["K=1 driver-fed"])
        parted = statistics.median(per_cpu["K=1 partitioned"])
        base = statistics.median(baseline)
        print(
            f"rows per CPU second: the driver dispatches {dispatch:,.0f} "
            f"({dispatch / base:.2f}x in-process); one shard applies {fed:,.0f} fed "
            f"({fed / base:.2f}x), {parted:,.0f} partitioned ({parted / base:.2f}x)"
        )
        print(
            "K shards with a core each (and cores to spare for the driver and Ray), "
            "predicted rows/s: driver-fed min(driver, K x shard fed), partitioned "
            "K x shard partitioned"
        )
        for k in (1, 2, 4, 8, 16):
            print(
                f"  K={k:<3}driver-fed {min(dispatch, k * fed):>12,.0f}   partitioned "
                f"{k * parted:>12,.0f}"
            )


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
    print(
        f"  recovery of shard {owner}: Ray restarted it in {started - killed:.2f} s; the next "
        f"query noticed and replayed {expected} values ({stats.log_bytes / 2**20:.1f} MiB of "
        f"log for all shards) in {elapsed:.2f} s ({elapsed * 1e6 / max(expected, 1):.2f} µs "
        "per value)",
        flush=True,
    )


def _address(text: str) -> str:
    # HOST:PORT, or HOST alone for Ray's default port 6379 (see connect).
    host, colon, port = text.rpartition(":")
    if colon and not (host and port.isascii() and port.isdigit() and 0 < int(port) < 65536):
        raise argparse.ArgumentTypeError(
            f"must be HOST:PORT with a port from 1 to 65535, not {text!r}"
        )
    return text


def _parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG, description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    commands = parser.add_subparsers(dest="command", required=True)
    run_cmd = commands.add_parser("run", help="stream rows through K shards, print statistics")
    add_input_options(run_cmd, csv_default="none: give one, or --synthetic")
    run_cmd.add_argument(
        "--synthetic",
        type=whole(1),
        metavar="ROWS",
        help="feed this many synthetic rows (times in epoch milliseconds) instead of a CSV file",
    )
    run_cmd.add_argument("--synthetic-columns", type=whole(1), default=200, metavar="N")
    add_statistics_options(run_cmd)
    group = run_cmd.add_argument_group("cluster")
    group.add_argument("--shards", type=whole(1), default=2, help="shard actors (default 2)")
    group.add_argument(
        "--address",
        type=_address,
        help="an existing Ray cluster's address "
        "(default: start Ray on this machine, listening on 127.0.0.1 only)",
    )
    group.add_argument(
        "--cpus",
        type=whole(1),
        default=os.cpu_count() or 1,
        help="CPUs of the local Ray (default: this machine's)",
    )
    group.add_argument(
        "--timeout",
        type=positive,
        default=300.0,
        help="seconds to wait for a shard before giving up (default 300)",
    )
    group.add_argument(
        "--log-dir", help="directory of the recovery log (default: a temporary directory)"
    )
    group.add_argument(
        "--log-limit",
        type=whole(1),
        metavar="BYTES",
        help="largest size of the recovery log (default: until the disk has no "
        "room for a new segment of each shard)",
    )
    add_show_option(run_cmd.add_argument_group("output"))
    bench_cmd = commands.add_parser("bench", help="throughput for each K, and recovery time")
    bench_cmd.add_argument("--rows", type=whole(1), default=300_000)
    bench_cmd.add_argument("--columns", type=whole(1), default=2_000)
    bench_cmd.add_argument("--shards", type=whole(1), nargs="+", default=[1, 2])
    bench_cmd.add_argument("--repeat", type=whole(1), default=1, help="runs (default 1)")
    bench_cmd.add_argument("--address", type=_address, help="an existing Ray cluster's address")
    return parser


def parse_args(argv: Sequence[str] | None = None) -> argparse.Namespace:
    """The command line, checked (UsageError): nothing is started."""
    args = _parser().parse_args(argv)
    if args.command == "run":
        check_input_options(args)
        if (args.csv is None) == (args.synthetic is None):
            raise UsageError("give a CSV file or --synthetic ROWS (one of them)")
    return args


def main(argv: Sequence[str] | None = None) -> int:
    # The layer's own warnings (what a shard waits for, a rebuild) go to stderr; Ray's chatter
    # below errors does not.
    logging.basicConfig(level=logging.WARNING, format=f"{PROG}: %(message)s")
    # Ray sets up its loggers when it is imported: imported first, for a driver, then quietened.
    ray = import_ray()
    logging.getLogger("ray").setLevel(logging.ERROR)
    try:
        return main_of(
            PROG,
            parse_args,
            lambda args: run(args) if args.command == "run" else bench(args),
            argv,
            input_errors=(PlacementError, ShardTimeoutError, LogLimitError),
        )
    finally:
        if _connected:
            _connected.clear()
            ray.shutdown()


if __name__ == "__main__":
    sys.exit(main())
