"""quillometer's benchmark: the module beside calling-convention floors and Python peers, in wall
clock (ns per call) and callgrind instructions (per call), both net of an empty Python loop.

Floors come from bench/calibration.c, built on the fly: C methods with the module's calling
convention (METH_FASTCALL | METH_KEYWORDS) and arguments that do no statistics. Wall clock is
the best of interleaved rounds; instructions are the median of three callgrind runs, each in a
fresh process (the column table's hash seed differs per process). Ratios are module / floor for
instructions and time, and peer / module for the speed-ups. Not a test: it always exits 0.
"""

import argparse
import datetime
import gc
import importlib.util
import json
import math
import os
import pathlib
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import cases
import peers

RESULTS = cases.ROOT / "bench" / "results"
CHILD = cases.ROOT / "bench" / "child.py"
FLOORS = {"append_noop", "append_read", "query_noop", "query_read", "floor"}
PEER_NAMES = tuple(peers.PEERS)

# (key, case group, floor, limit): module / floor in instructions, at most limit.
INSTRUCTION_TARGETS = (
    ("query_vs_noop", "query", "query_noop", 1.8),
    ("append1_vs_noop", "append1", "append_noop", 3.6),
    ("append8_vs_read", "append8", "append_read", 2.3),
    ("append64_vs_read", "append64", "append_read", 2.5),
)
# (key, case group, peer, limit): peer / module in wall clock, at least limit.
SPEEDUP_TARGETS = (
    ("monitor_vs_python", "monitor", "python", 9.0),
    ("append8_vs_python", "append8", "python", 25.0),
    ("append8_vs_river", "append8", "river", 100.0),
)
MEMORY_LIMIT = 1.1


def log(message):
    print(message, file=sys.stderr, flush=True)


def interpreter():
    """The real interpreter binary (callgrind must not trace a launcher or shell shim)."""
    return os.path.realpath(sys.executable)


# ---- wall clock -------------------------------------------------------------------------------


def time_loops(loops, n):
    """Best ns per iteration over the loops, each timed on its own with GC off."""
    best = math.inf
    for loop in loops:
        gc.disable()
        try:
            start = time.perf_counter_ns()
            loop()
            elapsed = time.perf_counter_ns() - start
        finally:
            gc.enable()
        best = min(best, elapsed)
    return best / n


SIZES = (16, 64, 256, 1024, 4096, 16384)  # iterations per timed loop
RUN_US = 500  # longest timed loop, in microseconds, unless 16 iterations take longer
MAX_ITEMS = 16384  # iterations per case and round


def wall_clock(all_cases, rounds, run_us, round_ms):
    """Best ns per iteration of each case over interleaved rounds (each round visits every case,
    starting at a different one), net of the empty loop (all_cases[0]) over as many items.
    Loops are short (about run_us each) so that the best of them misses the other processes
    on a shared machine; a round runs a case's loops back to back on one fresh subject, with
    ts rising across them, for about round_ms."""
    plan = {}

    def add(name, case, per):
        n = max([s for s in SIZES if s * per <= run_us * 1e3] or [SIZES[0]])
        reps = max(1, min(MAX_ITEMS // n, round(round_ms * 1e6 / (n * per))))
        plan[name] = (case, n, reps)

    for case in all_cases[1:]:
        add(case.name, case, max(time_loops(case.prepare(64), 64), 1.0))  # also specialises
    empty = all_cases[0]
    for n in sorted({n for _, n, _ in plan.values()}):
        plan[f"empty@{n}"] = (empty, n, max(1, min(MAX_ITEMS // n, 64)))
    entries = list(plan.items())
    best = dict.fromkeys(plan, math.inf)
    for r in range(rounds):
        shift = r * len(entries) // rounds
        for name, (case, n, reps) in entries[shift:] + entries[:shift]:
            best[name] = min(best[name], time_loops(case.prepare(n, reps), n))
        log(f"  wall clock round {r + 1}/{rounds} done")
    net = {
        name: best[name] - best[f"empty@{n}"]
        for name, (_, n, _) in plan.items()
        if not name.startswith("empty@")
    }
    return net, min(value for name, value in best.items() if name.startswith("empty@"))


# ---- callgrind --------------------------------------------------------------------------------

TRIGGER = "desc: Trigger: Client Request: "


def read_dumps(directory):
    """{label: instructions} from the dumps that the child's client requests wrote."""
    counts = {}
    for path in pathlib.Path(directory).glob("cg.out.*"):
        label = total = None
        with open(path) as dump:
            for line in dump:
                if line.startswith(TRIGGER):
                    label = line[len(TRIGGER) :].strip()
                elif line.startswith("totals:"):
                    total = int(line.split()[1])
        if label is not None and total is not None:
            counts[label] = total
    return counts


def callgrind(module_paths, n, runs):
    """Median over `runs` processes of instructions per iteration, net of the empty loop."""
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed (Debian: apt-get install valgrind)")
    workdir = pathlib.Path(tempfile.mkdtemp(prefix="quillometer-callgrind-"))
    processes = []
    try:
        for run in range(runs):
            out = workdir / str(run)
            out.mkdir()
            command = [
                "valgrind",
                "--tool=callgrind",
                "--instr-atstart=no",
                "--collect-atstart=no",
                f"--callgrind-out-file={out}/cg.out",
                interpreter(),
                str(CHILD),
                "callgrind",
                f"--n={n}",
            ]
            command += [f"--module-path={path}" for path in module_paths]
            log_file = open(out / "valgrind.log", "w")
            processes.append(
                (subprocess.Popen(command, stdout=log_file, stderr=log_file), out, log_file)
            )
        per_run = []
        for process, out, log_file in processes:
            code = process.wait()
            log_file.close()
            if code != 0:
                raise SystemExit(
                    f"callgrind child failed ({code}):\n"
                    + (out / "valgrind.log").read_text()[-3000:]
                )
            counts = read_dumps(out)
            empty = counts["empty"]
            per_run.append({label: (total - empty) / n for label, total in counts.items()})
            per_run[-1]["empty"] = empty / n
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    labels = set.intersection(*(set(run) for run in per_run))
    return (
        {label: statistics.median(run[label] for run in per_run) for label in labels},
        statistics.median(run["empty"] for run in per_run),
    )


# ---- memory -----------------------------------------------------------------------------------


def memory(module_path):
    """The frame's resident memory against its window payload, in a fresh process."""
    module_path = module_path.rpartition("=")[2]
    output = subprocess.run(
        [interpreter(), str(CHILD), "memory", f"--module-path={module_path}"],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    figures = json.loads(output)
    columns = figures["columns"]
    # Payload: per column, the count window's window_size doubles plus the time window's
    # time_window + 1 (value, timestamp) entries of 16 bytes, the most integer timestamps
    # within time_window of the newest can hold.
    payload = columns * (cases.WINDOW_SIZE * 8 + (cases.TIME_WINDOW + 1) * 16)
    delta = figures["rss_after"] - figures["rss_before"]
    return {
        "payload": payload,
        "rss_total": figures["rss_after"],
        "rss_delta": delta,
        "ratio": delta / payload,
        "columns": columns,
        "rows": figures["rows"],
    }


# ---- report -----------------------------------------------------------------------------------


def fmt(value, spec=".1f"):
    return "-" if value is None or not math.isfinite(value) else format(value, spec)


def ratio(a, b):
    if a is None or b is None or b <= 0:
        return None
    return a / b


def group_floors(group):
    if group.startswith("append"):
        return "append_noop", "append_read"
    if group == "query":
        return "query_noop", "query_read"
    return "floor", None


def report(all_cases, module_labels, wall, instructions, memory_figures, header):
    """The table, the targets and the key=value line, as a list of lines."""
    lines = list(header)
    groups = {}
    for case in all_cases:
        if case.name == "empty":
            continue
        group = case.name.split("/")[0]
        groups.setdefault(group, []).append(case)
    title = {
        "query": f"query rolling_std, {cases.QUERY_WIDTH} columns",
        "construct": f"construction, {cases.QUERY_WIDTH} columns",
        "monitor": f"monitoring loop, {cases.MONITOR_WIDTH} columns",
    }
    widths = (30, 11, 12, 18, 18, 10)
    head = ("case / subject", "ns/call", "instr/call", "x noop i (ns)", "x read i (ns)", "speed-up")
    lines.append(
        "".join(
            h.rjust(w) if i else h.ljust(w)
            for i, (h, w) in enumerate(zip(head, widths, strict=True))
        )
    )
    lines.append("-" * sum(widths))
    for group, members in groups.items():
        if group.startswith("append"):
            width = int(group[len("append") :])
            lines.append(f"append, {width} column{'s' if width > 1 else ''}")
        else:
            lines.append(title[group])
        noop, read = group_floors(group)
        noop_name = f"{group}/{noop}"
        read_name = f"{group}/{read}" if read else None
        primary = f"{group}/{module_labels[0]}"
        for case in members:
            ns = wall.get(case.name)
            ins = instructions.get(case.name) if instructions else None

            def against(floor_name):
                if floor_name is None or case.impl in FLOORS or case.impl in PEER_NAMES:
                    return "-"
                i = ratio(ins, instructions.get(floor_name)) if instructions else None
                w = ratio(ns, wall.get(floor_name))
                return f"{fmt(i, '.2f')} ({fmt(w, '.2f')})"

            speedup = ""
            if case.impl in PEER_NAMES:
                speedup = f"{fmt(ratio(ns, wall.get(primary)), '.1f')}x"
            cells = (
                f"  {case.impl}",
                fmt(ns),
                fmt(ins, ".0f"),
                against(noop_name),
                against(read_name),
                speedup,
            )
            lines.append(
                "".join(
                    c.rjust(w) if i else c.ljust(w)
                    for i, (c, w) in enumerate(zip(cells, widths, strict=True))
                )
            )
    lines.append("")
    lines.append("x noop / x read: module over the floor, instructions (wall clock in brackets);")
    lines.append("speed-up: peer ns / module ns (for the first module). runstats keeps no windows.")
    lines.append("")

    pairs, misses, unmeasured = [], [], []
    for index, label in enumerate(module_labels):
        prefix = "" if index == 0 else f"{label.split(':', 1)[-1]}."
        for key, group, floor, limit in INSTRUCTION_TARGETS:
            name, floor_name = f"{group}/{label}", f"{group}/{floor}"
            i = (
                ratio(instructions.get(name), instructions.get(floor_name))
                if instructions
                else None
            )
            w = ratio(wall.get(name), wall.get(floor_name))
            holds = None if i is None else i <= limit
            lines.append(
                f"target {prefix}{key} <= {limit}: instructions {fmt(i, '.2f')}"
                f" (wall {fmt(w, '.2f')}) {mark(holds)}"
            )
            pairs += [f"{prefix}{key}={fmt(i, '.2f')}", f"{prefix}{key}_ns={fmt(w, '.2f')}"]
            if holds is None:
                unmeasured.append(prefix + key)
            elif not holds:
                misses.append(prefix + key)
        for key, group, peer, limit in SPEEDUP_TARGETS:
            s = ratio(wall.get(f"{group}/{peer}"), wall.get(f"{group}/{label}"))
            holds = None if s is None else s >= limit
            lines.append(
                f"target {prefix}{key} >= {limit}: wall clock {fmt(s, '.1f')}x {mark(holds)}"
            )
            pairs.append(f"{prefix}{key}={fmt(s, '.1f')}")
            if holds is None:
                unmeasured.append(prefix + key)
            elif not holds:
                misses.append(prefix + key)
        m = (memory_figures or {}).get(label)
        if m is None:
            unmeasured.append(prefix + "memory_ratio")
            continue
        holds = m["ratio"] <= MEMORY_LIMIT
        lines.append(
            f"memory: {m['columns']:,} columns, window_size {cases.WINDOW_SIZE}, time_window "
            f"{cases.TIME_WINDOW}, after {m['rows']:,} full rows: frame {m['rss_delta'] / 1e6:.1f}"
            f" MB resident (process {m['rss_total'] / 1e6:.1f} MB) for {m['payload'] / 1e6:.1f}"
            f" MB of window payload"
        )
        lines.append(
            f"target {prefix}memory_ratio <= {MEMORY_LIMIT}: {m['ratio']:.3f} {mark(holds)}"
        )
        pairs.append(f"{prefix}memory_ratio={m['ratio']:.3f}")
        if not holds:
            misses.append(prefix + "memory_ratio")
    verdict = "missed" if misses else "all_met" if not unmeasured else "met_as_measured"
    pairs.append(f"targets={verdict}")
    if misses:
        pairs.append("missed=" + ",".join(misses))
    if unmeasured:
        pairs.append("unmeasured=" + ",".join(unmeasured))
    lines.append("")
    lines.append(" ".join(pairs))
    return lines


def mark(holds):
    return {True: "[met]", False: "[MISSED]", None: "[not measured]"}[holds]


def plot(all_cases, wall, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    series = {}
    for case in all_cases:
        if case.group == "append" and case.name in wall:
            series.setdefault(case.impl, []).append((case.width, wall[case.name]))
    fig, ax = plt.subplots(figsize=(8, 5.5))
    for impl, points in series.items():
        points.sort()
        style = "--" if impl in FLOORS else "-"
        label = {"runstats": "runstats (no windows)", "python": "pure Python"}.get(impl, impl)
        ax.plot(
            [w for w, _ in points],
            [max(ns, 0.1) for _, ns in points],
            style,
            marker="o",
            label=label,
        )
    ax.set_xscale("log", base=2)
    ax.set_xticks(cases.PLOT_WIDTHS, [str(w) for w in cases.PLOT_WIDTHS])
    ax.set_yscale("log")
    ax.set_xlabel("row width (columns per append)")
    ax.set_ylabel("ns per append (net of the empty loop)")
    ax.set_title("quillometer append against calling-convention floors and Python peers")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def git_revision():
    try:
        return subprocess.run(
            ["git", "-C", str(cases.ROOT), "rev-parse", "--short", "HEAD"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--module-path",
        action="append",
        default=[],
        metavar="[LABEL=]DIR",
        help="measure the quillometer build in DIR (repeat to compare builds)",
    )
    parser.add_argument(
        "--quick", action="store_true", help="fewer rounds and iterations; results are not saved"
    )
    parser.add_argument("--no-callgrind", action="store_true", help="wall clock only")
    parser.add_argument("--no-peers", action="store_true", help="skip the Python peers")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory figure")
    parser.add_argument("--rounds", type=int, help="wall-clock rounds (default 9, quick 3)")
    parser.add_argument("--callgrind-n", type=int, help="iterations per case under callgrind")
    parser.add_argument("--save", action="store_true", help="save results even with --quick")
    args = parser.parse_args()
    started = time.monotonic()
    rounds = args.rounds or (3 if args.quick else 9)
    round_ms = 4 if args.quick else 12
    callgrind_n = args.callgrind_n or (1024 if args.quick else 4096)

    if args.module_path:
        module_paths = args.module_path
    else:
        import quillometer

        module_paths = [str(pathlib.Path(quillometer.__file__).resolve().parent)]
    modules = cases.load_modules(module_paths)
    module_labels = list(modules)
    calibration = cases.load_calibration()
    peer_classes = {}
    if not args.no_peers:
        for name, peer in peers.PEERS.items():
            if name == "python" or importlib.util.find_spec(name) is not None:
                peer_classes[name] = peer
            else:
                log(f"peer {name} skipped: not installed (pip install '.[bench]')")
    all_cases = cases.build_cases(modules, calibration, peer_classes, plot_widths=True)

    log(f"wall clock: {len(all_cases)} cases, {rounds} rounds")
    wall, empty_ns = wall_clock(all_cases, rounds, RUN_US, round_ms)

    instructions, empty_instructions = {}, None
    if not args.no_callgrind:
        log(f"callgrind: 3 runs of {callgrind_n} iterations per case")
        instructions, empty_instructions = callgrind(module_paths, callgrind_n, 3)

    memory_figures = None
    if not args.no_memory:
        log("memory: 10,000-column frame")
        memory_figures = {
            label: memory(path) for label, path in zip(module_labels, module_paths, strict=True)
        }

    header = [
        f"quillometer benchmark, {datetime.datetime.now(datetime.UTC):%Y-%m-%d %H:%M}"
        f" UTC, commit {git_revision()}, Python {platform.python_version()},"
        f" {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}",
        "modules: "
        + ", ".join(
            f"{label} = {path.rpartition('=')[2]}"
            for label, path in zip(module_labels, module_paths, strict=True)
        ),
        f"frame: window_size {cases.WINDOW_SIZE}, alpha {cases.ALPHA}, time_window "
        f"{cases.TIME_WINDOW}; ts rises by 1 per call, so both windows evict on every call.",
        f"wall clock: best of {rounds} interleaved rounds, net of the empty loop"
        f" ({empty_ns:.1f} ns/iteration); GC off while timing.",
        (
            "instructions: callgrind, median of 3 processes, "
            f"{callgrind_n} iterations per case, net of the empty loop "
            f"({empty_instructions:.0f} instructions/iteration)."
            if instructions
            else "instructions: not measured (--no-callgrind)."
        ),
        "",
    ]
    lines = report(all_cases, module_labels, wall, instructions, memory_figures, header)
    elapsed = time.monotonic() - started
    lines.insert(len(header) - 1, f"benchmark run time: {elapsed:.0f} s")
    if args.save or not args.quick:
        RESULTS.mkdir(parents=True, exist_ok=True)
        if not args.no_peers:
            try:
                plot(all_cases, wall, RESULTS / "append_vs_width.png")
                note = f"plot: {(RESULTS / 'append_vs_width.png').relative_to(cases.ROOT)}"
            except ImportError:
                note = "plot: skipped (matplotlib is missing; pip install '.[bench]')"
            lines.insert(len(lines) - 2, note)
        (RESULTS / "latest.txt").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
