"""An obviously-correct pure-Python model of one column: the tests' oracle, bit for bit."""

import math
from collections import deque

# The ten statistics a column answers, by their method names.
QUERIES = (
    "mean",
    "variance",
    "last",
    "rolling_mean",
    "rolling_std",
    "zscore",
    "time_mean",
    "time_std",
    "rate",
    "ewma",
)


class ColumnModel:
    """One column, updated and queried by the formulas in their stated order, with Python floats
    (IEEE doubles, each operation rounded on its own) and exact Python integers for timestamps."""

    def __init__(self, window_size, alpha, time_window):
        self.window_size, self.alpha, self.time_window = window_size, alpha, time_window
        self.window, self.window_sum, self.window_sum_sq = deque(), 0.0, 0.0
        self.times, self.time_sum, self.time_sum_sq = deque(), 0.0, 0.0
        self.ewma_value, self.ewma_initialized = 0.0, False
        self.last_value, self.count, self.mean_value, self.m2 = 0.0, 0, 0.0, 0.0

    def update(self, x, ts):
        self.last_value = x
        self.count += 1
        n = float(self.count)
        delta = x - self.mean_value
        self.mean_value = delta / n + self.mean_value
        self.m2 = (x - self.mean_value) * delta + self.m2

        square = x * x
        self.window.append(x)
        self.window_sum = self.window_sum + x
        self.window_sum_sq = self.window_sum_sq + square
        if len(self.window) > self.window_size:
            y = self.window.popleft()
            self.window_sum = self.window_sum - y
            self.window_sum_sq = self.window_sum_sq - y * y

        self.times.append((x, ts))
        self.time_sum = self.time_sum + x
        self.time_sum_sq = self.time_sum_sq + square
        while self.times and ts - self.times[0][1] > self.time_window:
            y, _ = self.times.popleft()
            self.time_sum = self.time_sum - y
            self.time_sum_sq = self.time_sum_sq - y * y

        if self.ewma_initialized:
            self.ewma_value = x * self.alpha + (1.0 - self.alpha) * self.ewma_value
        else:
            self.ewma_value = x
            self.ewma_initialized = True

    @staticmethod
    def spread(length, total, total_sq):
        d = float(length)
        m = total / d
        q = total_sq / d
        v = q - m * m
        if not v > 0.0:
            v = 0.0
        return m, v

    def mean(self):
        return self.mean_value

    def variance(self):
        return 0.0 if self.count == 0 else self.m2 / float(self.count)

    def last(self):
        return self.last_value

    def rolling_mean(self):
        return 0.0 if not self.window else self.window_sum / float(len(self.window))

    def rolling_std(self):
        if not self.window:
            return 0.0
        return math.sqrt(self.spread(len(self.window), self.window_sum, self.window_sum_sq)[1])

    def zscore(self):
        if not self.window:
            return 0.0
        m, v = self.spread(len(self.window), self.window_sum, self.window_sum_sq)
        if v == 0.0:
            return 0.0
        return (self.last_value - m) / math.sqrt(v)

    def time_mean(self):
        return 0.0 if not self.times else self.time_sum / float(len(self.times))

    def time_std(self):
        if not self.times:
            return 0.0
        return math.sqrt(self.spread(len(self.times), self.time_sum, self.time_sum_sq)[1])

    def rate(self):
        if not self.times or self.time_window == 0:
            return 0.0
        return float(len(self.times)) / float(self.time_window)

    def ewma(self):
        return self.ewma_value
