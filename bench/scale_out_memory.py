"""Driver memory of the scale-out layer over a long stream: rows fed through the driver to K
shards on a local Ray, the driver's RSS (VmRSS) read every million rows, and its growth per
million rows after the first million (Ray's and the buffers' start-up cost).

    .venv/bin/python bench/scale_out_memory.py [--rows 6000000] [--shards 2]

Not a test: it prints one line per million rows and a last line `rss_growth_mb_per_million=...`.
"""

from __future__ import annotations

import argparse
import random
import sys
import tempfile
import time
from collections.abc import Iterator

from quillometer_tools.feed import Row
from quillometer_tools.ray import ShardedQuillometer, start_local_ray

MILLION = 1_000_000


def rss_mb() -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def rows(count: int, names: list[str]) -> Iterator[Row]:
    """`count` rows of one to three columns, from a pool of 4096 made once (the stream itself is
    never held), timestamps rising by 0 to 3 ms."""
    rng = random.Random(20261209)
    pool = [
        {name: rng.gauss(100.0, 15.0) for name in rng.sample(names, rng.choice((1, 1, 2, 3)))}
        for _ in range(4096)
    ]
    ts = 1_700_000_000_000
    for i in range(count):
        ts += i & 3
        yield Row(ts, pool[i & 4095])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=6 * MILLION)
    parser.add_argument("--shards", type=int, default=2)
    parser.add_argument("--columns", type=int, default=2000)
    args = parser.parse_args()
    names = [f"sensor-{i:05d}" for i in range(args.columns)]
    start_local_ray(num_cpus=args.shards, object_store_mb=128)
    marks: list[tuple[int, float]] = []
    with tempfile.TemporaryDirectory(prefix="quillometer-log-") as log_dir:
        with ShardedQuillometer(
            names,
            window_size=100,
            alpha=0.05,
            time_window=60_000,
            shards=args.shards,
            log_dir=log_dir,
        ) as stats:
            stats.wait_ready()
            started = time.perf_counter()
            stream = rows(args.rows, names)
            fed = 0
            while fed < args.rows:
                step = min(MILLION, args.rows - fed)
                stats.extend(next(stream) for _ in range(step))
                stats.flush()
                fed += step
                marks.append((fed, rss_mb()))
                print(
                    f"{fed:>10,} rows  driver RSS {marks[-1][1]:8.1f} MB  "
                    f"log {stats.log_bytes / 2**20:8.1f} MiB  "
                    f"{fed / (time.perf_counter() - started):>9,.0f} rows/s",
                    flush=True,
                )
    if len(marks) < 2:
        print("need at least two million rows to measure growth", file=sys.stderr)
        return 1
    (first_rows, first_rss), (last_rows, last_rss) = marks[0], marks[-1]
    growth = (last_rss - first_rss) / (last_rows - first_rows) * MILLION
    print(f"rss_growth_mb_per_million={growth:.3f} over {last_rows - first_rows:,} rows")
    return 0


if __name__ == "__main__":
    sys.exit(main())
