"""The module's instruction ratios on each CPython version, each against that version's own call
floors (bench/run.py, calibration module built for it), beside the first version's ratios.

    python bench/versions.py VERSION=COMMAND...    (COMMAND: an interpreter with the module
                                                    installed, possibly with words before it)

scripts/bench --versions runs it on the shipped x86_64 wheels. The last line is key=value, as
run.py's; a ratio more than 10 % above the first version's misses its target.
"""

import datetime
import pathlib
import shlex
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
RESULTS = ROOT / "bench" / "results"
KEYS = ("append1_vs_noop", "append8_vs_read", "append64_vs_read", "query_vs_noop")
TOLERANCE = 1.10


def measure(command):
    """run.py's key=value figures, as measured by one interpreter."""
    proc = subprocess.run(
        [
            *shlex.split(command),
            str(ROOT / "bench" / "run.py"),
            "--quick",
            "--no-peers",
            "--no-memory",
        ],
        capture_output=True,
        text=True,
    )
    if proc.returncode != 0:
        raise SystemExit(f"{command}: bench/run.py failed ({proc.returncode}):\n{proc.stderr}")
    last = proc.stdout.strip().splitlines()[-1]
    figures = dict(pair.split("=", 1) for pair in last.split())
    return {key: float(figures[key]) for key in KEYS}


def main():
    versions = [arg.split("=", 1) for arg in sys.argv[1:]]
    if not versions or any(len(pair) != 2 for pair in versions):
        raise SystemExit(__doc__)
    results = {}
    for version, command in versions:
        print(f"measuring CPython {version}", file=sys.stderr, flush=True)
        results[version] = measure(command)
    base_version = versions[0][0]
    base = results[base_version]
    lines = [
        f"quillometer on each CPython, {datetime.datetime.now(datetime.UTC):%Y-%m-%d %H:%M}"
        " UTC: instructions per call over that version's own floor (callgrind, bench/run.py"
        " --quick), and in brackets over CPython " + base_version + "'s ratio",
        "",
        "version".ljust(10) + "".join(key.rjust(22) for key in KEYS),
    ]
    misses, pairs = [], []
    for version, figures in results.items():
        cells = []
        for key in KEYS:
            relative = figures[key] / base[key]
            if relative > TOLERANCE:
                misses.append(f"{version}:{key}")
            cells.append(f"{figures[key]:.2f} ({relative:.2f})".rjust(22))
            pairs.append(f"{version}.{key}={figures[key]:.2f}")
        lines.append(version.ljust(10) + "".join(cells))
    lines += [
        "",
        f"target: every ratio within {TOLERANCE - 1:.0%} of CPython {base_version}'s: "
        + ("missed by " + ", ".join(misses) if misses else "met"),
        "",
        " ".join(pairs) + f" targets={'missed' if misses else 'all_met'}",
    ]
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / "versions.txt").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
