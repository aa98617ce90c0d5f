"""Each column's statistics measured from its reference level, so that a large offset costs no
digits.

The module's windows keep running sums, and their spread `Q/L - (S/L)**2` cancels the offset
away: values near 1e7 with a spread of 0.1 keep one digit of it, or none. Measured from the
column's first finite value instead, the sums only see the spread. The levels get the reference
added back (one rounding each); the spreads, the z-score and the rate do not depend on a
constant shift, so they are the module's figures of the shifted values as they are.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence

from quillometer import Quillometer


class Leveled:
    """A Quillometer that is appended `value - reference` per column, where a column's reference
    is its first finite value, and answers for the values themselves."""

    __slots__ = (
        "q",
        "reference",
        "_unset",
        "variance",
        "rolling_std",
        "zscore",
        "time_std",
        "rate",
    )

    def __init__(
        self, columns: Sequence[str], window_size: int, alpha: float, time_window: int
    ) -> None:
        self.q = q = Quillometer(list(columns), window_size, alpha, time_window)
        # 0.0 until the column's first finite value: a shift by 0 is no shift, and a NaN or an
        # infinity stays one whatever it is shifted by.
        self.reference: dict[str, float] = dict.fromkeys(columns, 0.0)
        self._unset = set(columns)
        # Unchanged by a shift: the module's own figures, without a call in between.
        self.variance: Callable[[str], float] = q.variance
        self.rolling_std: Callable[[str], float] = q.rolling_std
        self.zscore: Callable[[str], float] = q.zscore
        self.time_std: Callable[[str], float] = q.time_std
        self.rate: Callable[[str], float] = q.rate

    def append(self, row: Mapping[str, float], ts: int) -> None:
        """Appends the row's values less their columns' references (the row's columns must be
        among the columns)."""
        reference = self.reference
        if self._unset:
            for column, value in row.items():
                if column in self._unset and math.isfinite(value):
                    reference[column] = value
                    self._unset.discard(column)
        shifted = {}  # a loop, not a comprehension: that costs a frame of its own
        for column, value in row.items():
            shifted[column] = value - reference[column]
        self.q.append(shifted, ts)

    def mean(self, column: str) -> float:
        return self.q.mean(column) + self.reference[column]

    def last(self, column: str) -> float:
        """The value last appended: as it was given when within a factor of 2 of the reference
        (the shift is exact there), else within about an ulp of it."""
        return self.q.last(column) + self.reference[column]

    def ewma(self, column: str) -> float:
        return self.q.ewma(column) + self.reference[column]

    def rolling_mean(self, column: str) -> float:
        return self.q.rolling_mean(column) + self.reference[column]

    def time_mean(self, column: str) -> float:
        return self.q.time_mean(column) + self.reference[column]
