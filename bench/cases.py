"""The benchmark's cases, shared by the wall-clock run and the callgrind child: each case builds
its subject in steady state and returns a loop of n calls; also builds the calibration module."""

import hashlib
import importlib.machinery
import importlib.util
import os
import pathlib
import subprocess
import sys
import sysconfig

ROOT = pathlib.Path(__file__).resolve().parent.parent
WINDOW_SIZE = 100
ALPHA = 0.05
TIME_WINDOW = 1000
# Enough rows before timing that both windows are full and evict on every call.
WARM_ROWS = WINDOW_SIZE + TIME_WINDOW + 1
DISTINCT_ROWS = 16
APPEND_WIDTHS = (1, 8, 64)
PLOT_WIDTHS = (1, 2, 4, 8, 16, 32, 64)
QUERY_WIDTH = 8
MONITOR_WIDTH = 4


def build_calibration():
    """Compiles bench/calibration.c once per source and interpreter; returns its directory."""
    source = ROOT / "bench" / "calibration.c"
    include = sysconfig.get_paths()["include"]
    flags = ["-O2", "-shared", "-fPIC", "-Wall", "-Wextra", f"-I{include}"]
    if pathlib.Path("/usr/include/valgrind/callgrind.h").exists():
        flags.append("-DCALIBRATION_CALLGRIND")
    key = hashlib.sha256(source.read_bytes() + " ".join(flags + [sys.version]).encode())
    out_dir = ROOT / "build" / "bench" / key.hexdigest()[:16]
    target = out_dir / ("calibration" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not target.exists():
        out_dir.mkdir(parents=True, exist_ok=True)
        compiler = os.environ.get("CC", "cc")
        subprocess.run([compiler, *flags, str(source), "-o", str(target)], check=True)
    return out_dir


def load_calibration():
    directory = str(build_calibration())
    if directory not in sys.path:
        sys.path.insert(0, directory)
    import calibration

    return calibration


def load_modules(module_paths):
    """Loads quillometer once per given directory (or the installed one when none is given).
    Each build is a different shared object, so several can live in one process side by side.
    Returns {label: Quillometer class}."""
    if not module_paths:
        import quillometer

        return {"module": quillometer.Quillometer}
    classes = {}
    for entry in module_paths:
        label, _, directory = entry.rpartition("=")
        label = f"module:{label}" if label else "module"
        if label in classes:
            raise SystemExit(f"two module paths share the label {label!r}; use LABEL=DIR")
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        path = pathlib.Path(directory) / ("quillometer" + suffix)
        if not path.exists():
            found = sorted(pathlib.Path(directory).glob("quillometer*.so"))
            if not found:
                raise SystemExit(f"no quillometer extension in {directory}")
            path = found[0]
        loader = importlib.machinery.ExtensionFileLoader("quillometer", str(path))
        spec = importlib.util.spec_from_file_location("quillometer", str(path), loader=loader)
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
        classes[label] = module.Quillometer
    return classes


def names_of(width):
    return [f"c{i}" for i in range(width)]


def rows_of(width):
    """A few prebuilt rows whose values vary, so the variances are not zero."""
    names = names_of(width)
    return [
        {name: float((r * 7 + i * 3) % 11) + 0.25 * r for i, name in enumerate(names)}
        for r in range(DISTINCT_ROWS)
    ]


_items = {}


def segments_of(width, n, reps):
    """reps consecutive runs of n (ts, row) pairs: ts 0, 1, 2, ... cycling through the prebuilt
    rows. Built ahead so that a loop allocates nothing; cached, as every round reuses them."""
    key = (width, n, reps)
    if key not in _items:
        rows = rows_of(width)
        items = [(t, rows[t % DISTINCT_ROWS]) for t in range(n * reps)]
        _items[key] = [items[i * n : (i + 1) * n] for i in range(reps)]
    return _items[key]


def warmed(factory, width):
    """A subject in steady state: built, then fed rows at ts below the timed loop's, which
    starts at 0 and rises by 1 per call."""
    subject = factory(names_of(width), WINDOW_SIZE, ALPHA, TIME_WINDOW)
    rows = rows_of(width)
    for t in range(-WARM_ROWS, 0):
        subject.append(rows[t % DISTINCT_ROWS], t)
    return subject


class Case:
    """One measured loop. `setup()` makes the subject (its bound methods); `make(items, state)`
    returns the loop over items. Every loop has the empty loop's skeleton
    (`for t, row in items`), so the empty loop over as many items nets out exactly."""

    def __init__(self, name, impl, width, setup, make):
        self.name, self.impl, self.width = name, impl, width
        self.group = name.split("/")[0].rstrip("0123456789")
        self._setup, self._make = setup, make

    def prepare(self, n, reps=1):
        """reps loops of n iterations each on one fresh subject, ts rising across them."""
        state = self._setup()
        return [self._make(items, state) for items in segments_of(self.width, n, reps)]


def empty_case():
    def make(items, state):
        def loop():
            for _ts, _row in items:
                pass

        return loop

    return Case("empty", "loop", 1, lambda: None, make)


def make_append(items, app):
    def loop():
        for t, row in items:
            app(row, t)

    return loop


def append_case(impl, width, factory):
    return Case(
        f"append{width}/{impl}", impl, width, lambda: warmed(factory, width).append, make_append
    )


def floor_append_case(impl, width, floor_type):
    def setup():
        return getattr(floor_type(names_of(width), WINDOW_SIZE, ALPHA, TIME_WINDOW), impl)

    return Case(f"append{width}/{impl}", impl, width, setup, make_append)


def query_case(impl, subject_of):
    def make(items, query):
        col = "c3"

        def loop():
            for _ts, _row in items:
                query(col)

        return loop

    return Case(f"query/{impl}", impl, QUERY_WIDTH, subject_of, make)


def construct_case(impl, factory):
    def make(items, names):
        def loop():
            for _ts, _row in items:
                factory(names, WINDOW_SIZE, ALPHA, TIME_WINDOW)

        return loop

    return Case(f"construct/{impl}", impl, QUERY_WIDTH, lambda: names_of(QUERY_WIDTH), make)


def monitor_case(impl, methods_of):
    """Each row is appended, then zscore, rolling mean, rolling std and ewma are read for
    every column."""

    def make(items, methods):
        names = names_of(MONITOR_WIDTH)
        app, zscore, rolling_mean, rolling_std, ewma = methods

        def loop():
            for t, row in items:
                app(row, t)
                for col in names:
                    zscore(col)
                    rolling_mean(col)
                    rolling_std(col)
                    ewma(col)

        return loop

    return Case(f"monitor/{impl}", impl, MONITOR_WIDTH, methods_of, make)


def build_cases(modules, calibration, peers=None, plot_widths=False):
    """Every case: modules is {label: class}; peers {name: class} (wall clock only)."""
    floor = calibration.Floor
    peers = peers or {}
    cases = [empty_case()]
    widths = PLOT_WIDTHS if plot_widths else APPEND_WIDTHS
    subjects = {**modules, **peers}
    for width in widths:
        for impl in ("append_noop", "append_read"):
            cases.append(floor_append_case(impl, width, floor))
        for label, factory in subjects.items():
            cases.append(append_case(label, width, factory))

    floor_object = floor([], 0, 0.0, 0)
    cases.append(query_case("query_noop", lambda: floor_object.query_noop))
    cases.append(query_case("query_read", lambda: floor_object.query_read))
    for label, factory in subjects.items():
        if hasattr(factory, "rolling_std"):
            cases.append(query_case(label, lambda f=factory: warmed(f, QUERY_WIDTH).rolling_std))

    cases.append(construct_case("floor", floor))
    for label, factory in subjects.items():
        cases.append(construct_case(label, factory))

    def floor_methods():
        return (
            floor_object.append_noop,
            floor_object.query_noop,
            floor_object.query_noop,
            floor_object.query_noop,
            floor_object.query_noop,
        )

    cases.append(monitor_case("floor", floor_methods))
    for label, factory in subjects.items():

        def methods(f=factory):
            s = warmed(f, MONITOR_WIDTH)
            return s.append, s.zscore, s.rolling_mean, s.rolling_std, s.ewma

        cases.append(monitor_case(label, methods))
    return cases
