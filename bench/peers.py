"""The peers the module is measured against: a careful pure-Python class, river and runstats.

Each peer offers the benchmark's interface: `append(row, ts)` and the queries the monitoring
loop reads (`zscore`, `rolling_mean`, `rolling_std`, `ewma`) plus whatever else it keeps.
"""

import math
from collections import deque


class _Column:
    """One column's state: running statistics, count window, time window, moving average."""

    __slots__ = (
        "last",
        "count",
        "mean",
        "m2",
        "window",
        "wsum",
        "wsq",
        "times",
        "tsum",
        "tsq",
        "ewma",
        "started",
    )

    def __init__(self, window_size):
        self.last = 0.0
        self.count = 0
        self.mean = 0.0
        self.m2 = 0.0
        # maxlen lets append drop the oldest value itself; its value is taken off the sums first
        self.window = deque(maxlen=window_size)
        self.wsum = 0.0
        self.wsq = 0.0
        self.times = deque()
        self.tsum = 0.0
        self.tsq = 0.0
        self.ewma = 0.0
        self.started = False


class PurePython:
    """The same statistics as the module, written the way a good Python programmer would."""

    __slots__ = ("_columns", "_window_size", "_alpha", "_time_window")

    def __init__(self, col_names, window_size, alpha, time_window):
        self._columns = {name: _Column(window_size) for name in col_names}
        self._window_size = window_size
        self._alpha = alpha
        self._time_window = time_window

    def append(self, row, ts):
        columns = self._columns
        size = self._window_size
        alpha = self._alpha
        horizon = ts - self._time_window
        for name, x in row.items():
            c = columns[name]
            c.last = x
            count = c.count + 1
            c.count = count
            delta = x - c.mean
            mean = c.mean + delta / count
            c.mean = mean
            c.m2 += delta * (x - mean)

            xx = x * x
            window = c.window
            if len(window) == size:
                y = window[0]
                c.wsum = c.wsum + x - y
                c.wsq = c.wsq + xx - y * y
            else:
                c.wsum += x
                c.wsq += xx
            window.append(x)

            times = c.times
            times.append((ts, x))
            tsum = c.tsum + x
            tsq = c.tsq + xx
            while times[0][0] < horizon:
                y = times.popleft()[1]
                tsum -= y
                tsq -= y * y
            c.tsum = tsum
            c.tsq = tsq

            if c.started:
                c.ewma = alpha * x + (1.0 - alpha) * c.ewma
            else:
                c.ewma = x
                c.started = True

    def mean(self, col):
        return self._columns[col].mean

    def variance(self, col):
        c = self._columns[col]
        return c.m2 / c.count if c.count else 0.0

    def last(self, col):
        return self._columns[col].last

    def rolling_mean(self, col):
        c = self._columns[col]
        n = len(c.window)
        return c.wsum / n if n else 0.0

    def rolling_std(self, col):
        c = self._columns[col]
        n = len(c.window)
        if not n:
            return 0.0
        m = c.wsum / n
        v = c.wsq / n - m * m
        return math.sqrt(v) if v > 0.0 else 0.0

    def zscore(self, col):
        # Repeats rolling_std's arithmetic: a shared helper's call would cost about as much.
        c = self._columns[col]
        n = len(c.window)
        if not n:
            return 0.0
        m = c.wsum / n
        v = c.wsq / n - m * m
        return (c.last - m) / math.sqrt(v) if v > 0.0 else 0.0

    def time_mean(self, col):
        c = self._columns[col]
        n = len(c.times)
        return c.tsum / n if n else 0.0

    def ewma(self, col):
        return self._columns[col].ewma


class River:
    """river's streaming statistics, per column: Mean, Var, EWMean and rolling Mean and Var."""

    __slots__ = ("_columns",)

    def __init__(self, col_names, window_size, alpha, time_window):
        from river import stats, utils

        self._columns = {
            name: (
                stats.Mean(),
                stats.Var(ddof=0),
                stats.EWMean(fading_factor=alpha),
                utils.Rolling(stats.Mean, window_size=window_size),
                utils.Rolling(stats.Var, window_size=window_size, ddof=0),
                [0.0],
            )
            for name in col_names
        }

    def append(self, row, ts):
        columns = self._columns
        for name, x in row.items():
            mean, var, ewm, rmean, rvar, last = columns[name]
            mean.update(x)
            var.update(x)
            ewm.update(x)
            rmean.update(x)
            rvar.update(x)
            last[0] = x

    def rolling_mean(self, col):
        return self._columns[col][3].get()

    def rolling_std(self, col):
        return math.sqrt(max(self._columns[col][4].get(), 0.0))

    def zscore(self, col):
        c = self._columns[col]
        std = math.sqrt(max(c[4].get(), 0.0))
        return (c[5][0] - c[3].get()) / std if std > 0.0 else 0.0

    def ewma(self, col):
        return self._columns[col][2].get()


class Runstats:
    """runstats per column: Statistics and ExponentialStatistics. It keeps no windows, so its
    "rolling" figures are over every value; it does less work than the others."""

    __slots__ = ("_columns", "_last")

    def __init__(self, col_names, window_size, alpha, time_window):
        from runstats import ExponentialStatistics, Statistics

        self._columns = {
            name: (Statistics(), ExponentialStatistics(decay=1.0 - alpha)) for name in col_names
        }
        self._last = dict.fromkeys(col_names, 0.0)

    def append(self, row, ts):
        columns = self._columns
        for name, x in row.items():
            stats, exp = columns[name]
            stats.push(x)
            exp.push(x)
        self._last.update(row)

    def rolling_mean(self, col):
        return self._columns[col][0].mean()

    def rolling_std(self, col):
        return self._columns[col][0].stddev(ddof=0)

    def zscore(self, col):
        stats = self._columns[col][0]
        std = stats.stddev(ddof=0)
        return (self._last[col] - stats.mean()) / std if std > 0.0 else 0.0

    def ewma(self, col):
        return self._columns[col][1].mean()


PEERS = {"python": PurePython, "river": River, "runstats": Runstats}
