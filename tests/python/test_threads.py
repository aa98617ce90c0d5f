"""Threads: eight threads share objects, appending and querying while conversions let other
threads in and reach back into the objects; afterwards every count and sum is exact."""

import gc
import random
import sys
import threading
import time
import traceback
from collections import Counter
from fractions import Fraction

from conftest import QUERIES, UNDER_ASAN, Quillometer, assert_free, bits, fresh_float, stats_of

THREADS = 8
# The sanitized module runs several times slower: fewer operations keep that run as short as the
# normal one.
OPS_PER_THREAD = 2500 if UNDER_ASAN else 10000
JOIN_SECONDS = 120

SHARED = 3  # objects shared by every thread, with exact bookkeeping
TRANSIENT = 2  # slots whose objects threads replace while others use them
# No value ever leaves a window: the count window is longer than all appends to one column, and
# every timestamp is within the time window of every other (0 <= ts <= 1000). The width is a
# power of two, so rate * time_window is the entry count exactly.
WINDOW = 1 << 15
TIME_WINDOW = 1024
ALPHA = 0.5
CONSTANT = 2.0  # the value of column "c", whatever thread appends it
SMALL = (1, 2, 3, 4)  # the values of column "s": integers, so any order gives the same sums

PRIVATE = [f"t{i}" for i in range(THREADS)]  # column t<i> gets 1, 2, 3, ... from thread i only
COLUMNS = ["c", "s"] + PRIVATE

SPREAD = ("variance", "rolling_std", "time_std", "zscore")  # 0.0 for a constant column
HOLD_MESSAGES = ("Already borrowed", "Already mutably borrowed")
QUERY_REFUSED, APPEND_REFUSED = "Already mutably borrowed", "Already borrowed"

local = threading.local()


def hold_message(exc):
    """The message of one of the two hold errors, exactly as raised; None for anything else."""
    if type(exc) is RuntimeError and len(exc.args) == 1 and exc.args[0] in HOLD_MESSAGES:
        if str(exc) == exc.args[0]:
            return exc.args[0]
    return None


def describe(exc):
    return "".join(traceback.format_exception_only(type(exc), exc)).strip()


class Yield:
    """A number whose conversion lets other threads run first."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return float(self.value)

    def __index__(self):
        time.sleep(0)
        return int(self.value)


class Name(str):
    """A column name that is a str subclass (read by the general path)."""


class Reenter:
    """A number whose conversion first calls into `target`: refused when the append converting
    it holds `target`, and otherwise refused or not depending on what other threads hold."""

    def __init__(self, target, value):
        self.target, self.value = target, value

    def __float__(self):
        local.worker.reenter(self.target)
        return float(self.value)

    def __index__(self):
        local.worker.reenter(self.target)
        return int(self.value)


class Tally:
    """What one thread's successful appends put into one shared object."""

    def __init__(self):
        self.constant = 0  # values of "c"
        self.small = Counter()  # values of "s"
        self.private = 0  # values 1..private of the thread's own column


class Worker:
    def __init__(self, index, shared, transient, pool):
        self.index = index
        self.column = PRIVATE[index]
        self.rng = random.Random(1000 + index)
        self.shared, self.transient, self.pool = shared, transient, pool
        self.tally = [Tally() for _ in shared]
        self.refused = Counter()  # (where, message) -> count
        self.appended = 0  # appends to shared objects that succeeded, nested ones included
        self.errors = []
        self.holding = None  # the object whose append this thread is converting
        self.passed_on = None  # a hold error that a conversion let through to its append

    def fail(self, text):
        self.errors.append(f"thread {self.index}: {text}")

    # --- rows -------------------------------------------------------------------------------

    def number(self, value, private=False):
        """value as one of the forms a row or timestamp may take."""
        rng = self.rng
        choice = rng.randrange(6)
        if choice == 0:
            return int(value)
        if choice == 1:
            return float(value)
        if private:  # a fresh object: its value is this thread's next in the sequence
            return Yield(value) if choice < 4 else Reenter(rng.choice(self.shared), value)
        return rng.choice(self.pool[value])

    def make_row(self, target):
        """A row for a shared object, with what it adds to the tally if the append succeeds."""
        rng = self.rng
        if rng.random() < 0.15:
            return rng.choice(self.pool["rows"])
        row, s, c, p = {}, None, 0, False
        if rng.random() < 0.7:
            row["c"], c = self.number(CONSTANT), 1
        if rng.random() < 0.7:
            s = rng.choice(SMALL)
            row["s"] = self.number(s)
        if target is not None and rng.random() < 0.6:
            row[self.column] = self.number(self.tally[target].private + 1, private=True)
            p = True
        return row, (c, s, p)

    def make_ts(self):
        if self.rng.random() < 0.3:  # a shared object converted by __index__ (not the float)
            return self.rng.choice(self.pool[self.rng.choice(SMALL)][1:])
        return self.rng.randint(0, 1000)

    def record(self, target, effect):
        self.appended += 1
        c, s, p = effect
        tally = self.tally[target]
        tally.constant += c
        if s is not None:
            tally.small[s] += 1
        tally.private += p

    # --- calls ------------------------------------------------------------------------------

    def refusal(self, exc, where, expected=None):
        """Counts a hold error; anything else, or the wrong one of the two, is a failure."""
        message = hold_message(exc)
        if message is None:
            self.fail(f"{where}: {describe(exc)}")
        elif expected is not None and message != expected:
            self.fail(f"{where}: {message!r}, expected {expected!r}")
        else:
            self.refused[where, message] += 1

    def check_result(self, name, col, result):
        if type(result) is not float:
            self.fail(f"{name}({col!r}) returned {result!r}")
        elif name == "rate":
            if not (result * TIME_WINDOW).is_integer():
                self.fail(f"rate({col!r}) = {result!r} is not a count over {TIME_WINDOW}")
        elif col == "c" and result not in ((0.0,) if name in SPREAD else (0.0, CONSTANT)):
            self.fail(f"{name}('c') = {result!r} while every value of 'c' is {CONSTANT}")

    def query(self, obj, where):
        name, col = self.rng.choice(QUERIES), self.rng.choice(COLUMNS)
        try:
            result = getattr(obj, name)(col)
        except BaseException as exc:
            self.refusal(exc, where)
        else:
            self.check_result(name, col, result)

    def append(self, obj, target, where):
        """Appends a row to obj (shared object number `target`, or None); tallies a success."""
        row, effect = self.make_row(target)
        ts = self.make_ts()
        self.holding = obj
        try:
            result = obj.append(row, ts)
        except BaseException as exc:
            if exc is self.passed_on:  # counted where it was raised
                self.refused[where + ", from a conversion", hold_message(exc)] += 1
            else:
                self.refusal(exc, where)
        else:
            if result is not None:
                self.fail(f"append returned {result!r}")
            if target is not None:
                self.record(target, effect)
        finally:
            self.holding = self.passed_on = None

    def reenter(self, obj):
        """Run inside a conversion: one query or append on a shared object, from this thread."""
        same = obj is self.holding
        where = "inner, same object" if same else "inner, other object"
        target = self.shared.index(obj)
        if self.rng.random() < 0.5:
            name, col = self.rng.choice(QUERIES), self.rng.choice(COLUMNS)
            call, expected = (lambda: getattr(obj, name)(col)), QUERY_REFUSED
        else:
            # Plain values only: conversions go one level deep.
            s = self.rng.choice(SMALL)
            row, effect = {"c": CONSTANT, "s": float(s)}, (1, s, False)
            if self.rng.random() < 0.5:
                row[self.column], effect = float(self.tally[target].private + 1), (1, s, True)
            call, expected = (lambda: obj.append(row, self.rng.randint(0, 1000))), APPEND_REFUSED
        try:
            result = call()
        except BaseException as exc:
            self.refusal(exc, where, expected if same else None)
            if hold_message(exc) is not None and self.rng.random() < 0.3:
                self.passed_on = exc
                raise  # the append being converted then ends with this error
        else:
            if same:
                self.fail(f"a call on the object held by this thread's append returned {result!r}")
            elif expected is APPEND_REFUSED:
                self.record(target, effect)
            else:
                self.check_result(name, col, result)

    def churn(self):
        """Builds an object of this thread's own, with conversions that let others in, uses it
        and drops it; nobody else sees it, so nothing may fail."""
        try:
            names = [Name("x"), "y"]
            q = Quillometer(names, Yield(4), Yield(0.5), Yield(TIME_WINDOW))
            q.append({"x": Yield(1.0), "y": 3.0}, Yield(5))
            q.append({"x": 3}, 6)
            got = (q.mean("x"), q.variance("x"), q.last("y"), q.rate("x"), q.time_mean("y"))
            if got != (2.0, 1.0, 3.0, 2 / TIME_WINDOW, 3.0):
                self.fail(f"a private object answered {got!r}")
        except BaseException as exc:
            self.fail(f"private object: {describe(exc)}")

    def run(self, barrier):
        local.worker = self
        barrier.wait()
        rng = self.rng
        for _ in range(OPS_PER_THREAD):
            r = rng.random()
            if r < 0.4:
                target = rng.randrange(len(self.shared))
                self.append(self.shared[target], target, "outer")
            elif r < 0.8:
                self.query(rng.choice(self.shared), "outer")
            elif r < 0.95:
                slot = rng.randrange(len(self.transient))
                choice = rng.randrange(3)
                if choice == 0:
                    self.transient[slot] = Quillometer(COLUMNS, 8, ALPHA, TIME_WINDOW)
                elif choice == 1:
                    self.append(self.transient[slot], None, "outer")
                else:
                    self.query(self.transient[slot], "outer")
            else:
                self.churn()


def thread_main(worker, barrier):
    try:
        worker.run(barrier)
    except BaseException as exc:
        worker.fail("".join(traceback.format_exception(exc)))


def exact_stats(n_constant, small, private):
    """Expected answers derived from what the successful appends gave each column, as exact
    fractions rounded once: {column: {query: float}}. (rate is checked against the counts.)"""
    expected = {}
    c = CONSTANT if n_constant else 0.0
    expected["c"] = {
        "mean": c, "variance": 0.0, "last": c, "ewma": c, "rolling_mean": c, "time_mean": c,
        "rolling_std": 0.0, "time_std": 0.0, "zscore": 0.0,
    }  # fmt: skip
    n = sum(small.values())
    total = sum(v * k for v, k in small.items())
    mean_s = float(Fraction(total, n)) if n else 0.0
    expected["s"] = {"rolling_mean": mean_s, "time_mean": mean_s}
    for column, n in private.items():
        # The values 1..n in this order: mean (n + 1) / 2 and population variance (n^2 - 1) / 12
        # (Welford's steps are exact for them: each running mean is a half-integer).
        middle = float(Fraction(n + 1, 2)) if n else 0.0
        expected[column] = {
            "mean": middle, "variance": float(Fraction(n * n - 1, 12)) if n else 0.0,
            "last": float(n), "rolling_mean": middle, "time_mean": middle,
        }  # fmt: skip
    return expected


def replayed(n_constant, small, private):
    """A fresh object given the same successful appends on one thread, in one order."""
    q = Quillometer(COLUMNS, WINDOW, ALPHA, TIME_WINDOW)
    for _ in range(n_constant):
        q.append({"c": CONSTANT}, 0)
    for value in sorted(small.elements()):
        q.append({"s": float(value)}, 0)
    for column, n in private.items():
        for k in range(1, n + 1):
            q.append({column: float(k)}, 0)
    return q


# Statistics of "s" that depend on the order its values came in from the threads.
ORDER_DEPENDENT = {"mean", "variance", "last", "ewma", "zscore"}


def test_threads_share_objects():
    shared = [Quillometer(COLUMNS, WINDOW, ALPHA, TIME_WINDOW) for _ in range(SHARED)]
    transient = [Quillometer(COLUMNS, 8, ALPHA, TIME_WINDOW) for _ in range(TRANSIENT)]
    # Value objects shared by every thread: plain floats, ones that let other threads in, and
    # ones that call into each shared object.
    pool = {}
    for value in SMALL + (CONSTANT,):
        pool[value] = [fresh_float(value), Yield(fresh_float(value))]
        pool[value] += [Reenter(obj, value) for obj in shared]
    pool["rows"] = [
        ({"c": pool[CONSTANT][k], "s": pool[s][k]}, (1, s, False)) for k in range(2) for s in SMALL
    ] + [({"s": Reenter(obj, 3)}, (0, 3, False)) for obj in shared]
    watched = shared + [v for key in pool for v in pool[key]]
    watched += [part for row, _ in pool["rows"] for part in (row, *row.values())]

    workers = [Worker(i, shared, transient, pool) for i in range(THREADS)]
    barrier = threading.Barrier(THREADS, timeout=JOIN_SECONDS)
    threads = [
        threading.Thread(target=thread_main, args=(w, barrier), name=f"worker {w.index}")
        for w in workers
    ]
    for t in threads:
        t.daemon = True  # a hung thread must not keep the test run from ending
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]

    interval = sys.getswitchinterval()
    started = time.perf_counter()
    sys.setswitchinterval(1e-6)
    try:
        for t in threads:
            t.start()
        deadline = time.monotonic() + JOIN_SECONDS
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
    finally:
        sys.setswitchinterval(interval)
    elapsed = time.perf_counter() - started
    hung = [t.name for t in threads if t.is_alive()]
    assert not hung, f"threads still running after {JOIN_SECONDS} s: {hung}"
    errors = [e for w in workers for e in w.errors]
    assert not errors, "\n".join(errors[:20])

    refused = sum((w.refused for w in workers), Counter())
    print(
        f"\n{THREADS} threads x {OPS_PER_THREAD} operations in {elapsed:.2f} s; "
        f"{sum(w.appended for w in workers)} appends to shared objects succeeded; "
        f"hold errors: {sum(refused.values())} {dict(sorted(refused.items()))}"
    )
    # Every call back into the object an append holds is refused; calls from other threads met
    # the hold too (the conversions hand the interpreter over constantly).
    assert refused["inner, same object", QUERY_REFUSED] > 0
    assert refused["inner, same object", APPEND_REFUSED] > 0
    assert refused["outer", QUERY_REFUSED] > 0 and refused["outer", APPEND_REFUSED] > 0
    assert sum(n for (where, _), n in refused.items() if where.endswith("from a conversion")) > 0

    for target, obj in enumerate(shared):
        n_constant = sum(w.tally[target].constant for w in workers)
        small = sum((w.tally[target].small for w in workers), Counter())
        private = {w.column: w.tally[target].private for w in workers}
        assert max(n_constant, sum(small.values()), *private.values()) < WINDOW
        assert n_constant > 0 and small and all(private.values())

        # Every successful append, and no other, left one entry in each column it named.
        for column in COLUMNS:
            n = {"c": n_constant, "s": sum(small.values())}.get(column, private.get(column))
            assert obj.rate(column) * TIME_WINDOW == n, (target, column)
        for column, answers in exact_stats(n_constant, small, private).items():
            got = {name: bits(getattr(obj, name)(column)) for name in answers}
            assert got == {name: bits(v) for name, v in answers.items()}, (target, column)
        # The spreads (and, but for "s", everything else) as one thread gets them from the
        # same values.
        serial = replayed(n_constant, small, private)
        for column in COLUMNS:
            got, want = stats_of(obj, column), stats_of(serial, column)
            if column == "s":
                got = {k: v for k, v in got.items() if k not in ORDER_DEPENDENT}
                want = {k: v for k, v in want.items() if k not in ORDER_DEPENDENT}
            assert got == want, (target, column)

    for obj in shared + transient:
        assert_free(obj, "c")
    del threads, workers, barrier, obj, serial
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    changed = [
        (type(o).__name__, b, a) for o, b, a in zip(watched, before, after, strict=True) if a != b
    ]
    assert not changed, f"reference counts changed: {changed}"
