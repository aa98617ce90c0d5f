"""Times Quillometer from Python against baselines measured in the same run.

Baselines:
- call floor: the same loop calling a trivial C builtin with two arguments (isinstance), which
  is what any C method call costs before it does any work;
- pure Python: the same statistics kept with collections.deque and plain float arithmetic,
  which is what a user would write without the module.
Figures are the best of several repeats, in ns per call (and per column value for append).
"""

import argparse
import collections
import math
import time

from quillometer import Quillometer


class PurePythonStats:
    """The same statistics in plain Python, one dict of state per column."""

    def __init__(self, names, window_size, alpha, time_window):
        self.columns = {
            name: {
                "window": collections.deque(), "wsum": 0.0, "wsq": 0.0,
                "times": collections.deque(), "tsum": 0.0, "tsq": 0.0,
                "ewma": 0.0, "init": False, "last": 0.0, "count": 0, "mean": 0.0, "m2": 0.0,
            }
            for name in names
        }
        self.window_size, self.alpha, self.time_window = window_size, alpha, time_window

    def append(self, row, ts):
        for name, x in row.items():
            c = self.columns[name]
            c["last"] = x
            c["count"] += 1
            delta = x - c["mean"]
            c["mean"] += delta / c["count"]
            c["m2"] += (x - c["mean"]) * delta
            xx = x * x
            c["window"].append(x)
            c["wsum"] += x
            c["wsq"] += xx
            if len(c["window"]) > self.window_size:
                y = c["window"].popleft()
                c["wsum"] -= y
                c["wsq"] -= y * y
            times = c["times"]
            times.append((ts, x))
            c["tsum"] += x
            c["tsq"] += xx
            while times and ts - times[0][0] > self.time_window:
                y = times.popleft()[1]
                c["tsum"] -= y
                c["tsq"] -= y * y
            if c["init"]:
                c["ewma"] = x * self.alpha + (1 - self.alpha) * c["ewma"]
            else:
                c["ewma"], c["init"] = x, True

    def zscore(self, name):
        c = self.columns[name]
        n = len(c["window"])
        if n == 0:
            return 0.0
        m = c["wsum"] / n
        v = c["wsq"] / n - m * m
        if not v > 0.0:
            return 0.0
        return (c["last"] - m) / math.sqrt(v)

    def mean(self, name):
        return self.columns[name]["mean"]


def best_ns(loop, calls, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter_ns()
        loop()
        best = min(best, time.perf_counter_ns() - start)
    return best / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    n, repeats = args.calls, args.repeats
    stamps = list(range(n))  # steady eviction: one entry leaves per append once full

    def measure(label, per_values, make_loop, floor_ns=None, python_loop=None):
        ns = best_ns(make_loop(), n, repeats)
        line = f"{label:<28} {ns:8.1f} ns/call  {ns / per_values:7.1f} ns/value"
        if floor_ns is not None:
            line += f"  {ns / floor_ns:5.2f}x call floor (+{ns - floor_ns:5.1f} ns)"
        if python_loop is not None:
            py_ns = best_ns(python_loop, n, max(2, repeats // 2))
            line += f"  {py_ns / ns:6.1f}x faster than pure Python"
        print(line)

    def floor_loop():
        isin = isinstance
        row = {"a": 1.0}

        def loop():
            for _ in stamps:
                isin(row, dict)

        return loop

    floor_ns = best_ns(floor_loop(), n, repeats)
    print(f"{'call floor (isinstance)':<28} {floor_ns:8.1f} ns/call")

    for width in (1, 8):
        names = [f"c{i}" for i in range(width)]
        row = {name: 1.0 + i for i, name in enumerate(names)}

        def append_loop(obj=None, row=row, names=names):
            q = obj or Quillometer(names, 100, 0.1, 1000)
            app = q.append

            def loop():
                for t in stamps:
                    app(row, t)

            return loop

        measure(f"append, {width} column(s)", width, append_loop, floor_ns,
                append_loop(PurePythonStats(names, 100, 0.1, 1000)))

    q = Quillometer(["c0"], 100, 0.1, 1000)
    p = PurePythonStats(["c0"], 100, 0.1, 1000)
    for t in range(200):
        q.append({"c0": float(t % 7)}, t)
        p.append({"c0": float(t % 7)}, t)
    for query in ("mean", "zscore", "rate"):
        def query_loop(method=getattr(q, query)):
            def loop():
                for _ in stamps:
                    method("c0")
            return loop

        python_method = getattr(p, query, None)
        python_loop = None
        if python_method is not None:
            def python_loop(method=python_method):
                for _ in stamps:
                    method("c0")
        measure(f"query {query}", 1, query_loop, floor_ns, python_loop)


if __name__ == "__main__":
    main()
