"""The monitor's benchmark: generates a 2-million-row CSV (about 64 MB) once, runs
`quillometer-monitor` on it in a child process, and reports rows/s and the child's peak RSS.

Not a test: it prints figures. `bash scripts/bench-monitor` runs it in the project's .venv;
options: --rows N, --keep-csv PATH, and, after `--`, another command to measure instead (the CSV's
path is appended to it), e.g. an older version of the monitor: `-- python old.py --no-progress`.
"""

from __future__ import annotations

import argparse
import math
import random
import resource
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
START = 1_577_836_800  # 2020-01-01T00:00:00Z


def generate(path: Path, rows: int, seed: int = 16) -> None:
    """Minute readings in epoch seconds of two columns: a slow daily wave with noise, and a
    noisy level with rare spikes. About 32 bytes a row."""
    rng = random.Random(seed)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    with open(tmp, "w") as out:
        out.write("timestamp,load,temp\n")
        lines = []
        for i in range(rows):
            ts = START + 60 * i
            load = 50 + 20 * math.sin(i * 2 * math.pi / 1440) + rng.gauss(0, 3)
            temp = 20 + rng.gauss(0, 1) + (15 if rng.random() < 0.0005 else 0)
            lines.append(f"{ts},{load:.6f},{temp:.7f}\n")
            if len(lines) == 10_000:
                out.writelines(lines)
                lines.clear()
        out.writelines(lines)
    tmp.replace(path)


def main() -> int:
    argv = sys.argv[1:]
    other: list[str] = []
    if "--" in argv:
        other = argv[argv.index("--") + 1 :]
        argv = argv[: argv.index("--")]
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument(
        "--keep-csv",
        type=Path,
        default=ROOT / "build" / "bench-monitor" / "2m.csv",
        help="where the generated CSV is kept (default: %(default)s)",
    )
    args = parser.parse_args(argv)

    csv_path: Path = args.keep_csv
    if args.rows != 2_000_000 and csv_path.name == "2m.csv":
        csv_path = csv_path.with_name(f"{args.rows}.csv")
    if not csv_path.exists():
        print(f"generating {csv_path} ({args.rows} rows)", flush=True)
        generate(csv_path, args.rows)
    size = csv_path.stat().st_size
    chart = csv_path.with_suffix(".png")
    if other:
        command = [*other, str(csv_path)]
    else:
        exe = shutil.which("quillometer-monitor")
        if exe is None:
            raise SystemExit("quillometer-monitor is not installed in this environment")
        command = [
            exe,
            str(csv_path),
            "--epoch",
            "s",
            "--chart",
            str(chart),
            "--no-progress",
            "--flags",
            "3",
        ]
    print("$", " ".join(command), flush=True)
    started = time.perf_counter()
    result = subprocess.run(command, capture_output=True, text=True)
    elapsed = time.perf_counter() - started
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss  # KiB on Linux
    tail = result.stdout.strip().splitlines()[-8:]
    print("\n".join(tail))
    if result.returncode != 0:
        print(result.stderr, file=sys.stderr)
        print(f"the command failed with exit code {result.returncode}", file=sys.stderr)
        return 1
    print(
        f"\nrows={args.rows} csv_mb={size / 1e6:.1f} seconds={elapsed:.2f} "
        f"rows_per_s={args.rows / elapsed:,.0f} peak_rss_mb={peak_kib / 1024:.1f}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
