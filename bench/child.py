"""Runs in a fresh interpreter for the benchmark: the callgrind pass (each case's loop between
client requests that count only it) or the memory figure (printed as JSON)."""

import argparse
import json
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import cases


def callgrind(args):
    calibration = cases.load_calibration()
    if not calibration.has_callgrind:
        raise SystemExit("calibration was built without valgrind/callgrind.h")
    modules = cases.load_modules(args.module_path)
    for case in cases.build_cases(modules, calibration):
        # Specialises the loop's bytecode and fills the caches before anything is counted.
        case.prepare(64)[0]()
        (loop,) = case.prepare(args.n)
        calibration.callgrind_start()
        loop()
        calibration.callgrind_stop(case.name)


def vm_rss_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def memory(args):
    (factory,) = cases.load_modules(args.module_path[:1]).values()
    names = cases.names_of(args.columns)
    row = {name: float(i % 97) for i, name in enumerate(names)}
    before = vm_rss_bytes()
    frame = factory(names, cases.WINDOW_SIZE, cases.ALPHA, cases.TIME_WINDOW)
    for t in range(args.rows):
        frame.append(row, t)
    after = vm_rss_bytes()
    print(
        json.dumps(
            {"rss_before": before, "rss_after": after, "columns": args.columns, "rows": args.rows}
        )
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=("callgrind", "memory"))
    parser.add_argument("--module-path", action="append", default=[])
    parser.add_argument("--n", type=int, default=3000)
    parser.add_argument("--columns", type=int, default=10_000)
    parser.add_argument("--rows", type=int, default=1_000)
    args = parser.parse_args()
    {"callgrind": callgrind, "memory": memory}[args.mode](args)


if __name__ == "__main__":
    main()
