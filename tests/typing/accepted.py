"""Typed uses of quillometer that both type checkers must accept without a diagnostic."""

from collections import OrderedDict
from decimal import Decimal
from fractions import Fraction

from quillometer import Quillometer


class Tick:
    """An int-like timestamp, as from a library with its own integer types."""

    def __index__(self) -> int:
        return 7


class Reading:
    """A float-like value."""

    def __float__(self) -> float:
        return 2.5


q = Quillometer(["price", "volume"], window_size=100, alpha=0.05, time_window=60_000)
q2 = Quillometer(("a",), 10, 1, Tick())
q3 = Quillometer(col_names=["a"], window_size=Tick(), alpha=Fraction(1, 3), time_window=0)

q.append({"price": 101.25, "volume": 300.0}, ts=1_700_000_000_000)
q.append({"price": 101, "volume": 300.5}, 1_700_000_000_250)
q.append({}, 0)

floats: dict[str, float] = {"price": 101.5}
ints: dict[str, int] = {"volume": 7}
flags: dict[str, bool] = {"volume": True}
decimals: dict[str, Decimal] = {"price": Decimal("1.5")}
readings: dict[str, Reading] = {"price": Reading()}
ordered: OrderedDict[str, float] = OrderedDict(price=3.0)
q.append(floats, 1)
q.append(ints, ts=2)
q.append(row=flags, ts=3)
q.append(decimals, Tick())
q.append(readings, True)
q.append(ordered, 5)

results: list[float] = [
    q.mean("price"),
    q.variance("price"),
    q.last("price"),
    q.rolling_mean("price"),
    q.rolling_std("price"),
    q.zscore(col="price"),
    q.time_mean("price"),
    q.time_std("price"),
    q.rate("price"),
    q.ewma("price"),
    q2.mean("a") + q3.mean("a"),
]
