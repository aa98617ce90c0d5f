"""Digits kept on the NIST StRD univariate sets: the log relative error (LRE) of every windowed
statistic and of the all-time mean and variance, for the module fed the values as they are
("raw") and through the monitor, which measures each column from its reference level.

Both windows cover the whole set (window_size = n, ts = 0 .. n-1, time_window = n), so every
statistic is one of the whole set. The exact figures are those of the doubles appended,
computed with fractions: population statistics, as the module's are. The data are generated
from the sets' definitions, and their certified mean and (sample) standard deviation are
checked against the decimal data first.

Not a test: it prints tables. `.venv/bin/python bench/accuracy.py`; it uses this tree's
monitor (src/) with the installed module. Exits 1 when, on some set, the windowed variance
through the monitor keeps more than one digit fewer than the module's all-time variance.
"""

from __future__ import annotations

import math
import sys
from decimal import Decimal, getcontext
from fractions import Fraction
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

from quillometer import Quillometer
from quillometer_tools.monitor.stream import Monitor, Settings

getcontext().prec = 60
CAP = 53 * math.log10(2)  # the digits a double holds: an exact hit reads as this
# A name ending in ² is the square of the query, for the windows' variance.
STATISTICS = (
    "rolling_mean",
    "rolling_std",
    "rolling_std²",
    "time_mean",
    "time_std",
    "time_std²",
    "mean",
    "variance",
)
LEVELS = {"rolling_mean", "time_mean", "mean"}


def pi_digits(count: int) -> list[int]:
    """The first `count` decimal digits of pi (3, 1, 4, 1, 5, ...), by Machin's formula in
    integers: pi = 16 arccot 5 - 4 arccot 239."""
    unity: int = 10 ** (count + 10)  # ten guard digits

    def arccot(x: int) -> int:
        total = term = unity // x
        k, sign = 3, -1
        while term:
            term //= x * x
            total += sign * (term // k)
            k, sign = k + 2, -sign
        return total

    pi, digits = 16 * arccot(5) - 4 * arccot(239), list[int]()
    while pi:  # by blocks of 1000: str() of a longer int is refused
        pi, block = divmod(pi, 10**1000)
        digits[:0] = map(int, f"{block:01000d}" if pi else str(block))
    return digits[:count]


def alternating(first: str, low: str, high: str) -> list[str]:
    return [first] + [low if i % 2 == 0 else high for i in range(1000)]


# name: (the data as decimals, certified mean, certified sample standard deviation)
SETS: dict[str, tuple[list[str], str, str]] = {
    "PiDigits": ([str(d) for d in pi_digits(5000)], "4.53480000000000", "2.86733906028871"),
    "NumAcc1": (["10000001", "10000003", "10000002"], "10000002", "1"),
    "NumAcc2": (alternating("1.2", "1.1", "1.3"), "1.2", "0.1"),
    "NumAcc3": (alternating("1000000.2", "1000000.1", "1000000.3"), "1000000.2", "0.1"),
    "NumAcc4": (alternating("10000000.2", "10000000.1", "10000000.3"), "10000000.2", "0.1"),
}


def decimal(x: Fraction) -> Decimal:
    return Decimal(x.numerator) / Decimal(x.denominator)


def moments(values: list[Fraction]) -> tuple[Fraction, Fraction]:
    """The exact mean and sum of squared deviations."""
    mean = sum(values, Fraction(0)) / len(values)
    return mean, sum(((x - mean) ** 2 for x in values), Fraction(0))


def lre(x: float, exact: Decimal) -> float:
    """0 when not even the first digit is right, CAP for an exact hit."""
    error = abs(Decimal(x) - exact)
    if error == 0:
        return CAP
    return max(0.0, min(CAP, -float((error / abs(exact)).log10())))


def certified_note(name: str, data: list[str], mean: str, std: str) -> str | None:
    """None when the decimal data reproduce the certified mean and sample std to the 15 digits
    they are given in, else what they give instead."""
    exact_mean, squares = moments([Fraction(x) for x in data])
    got = (decimal(exact_mean), decimal(squares / (len(data) - 1)).sqrt())
    if all(
        abs(g - Decimal(c)) <= abs(Decimal(c)) * Decimal("1e-14")
        for g, c in zip(got, (mean, std), strict=True)
    ):
        return None
    return (
        f"{name}: the generated data give mean {got[0]:.15g}, sample std {got[1]:.15g}; "
        f"certified {mean}, {std}"
    )


def measured(values: list[float]) -> dict[str, tuple[float, float]]:
    """statistic: (the module fed the values as they are, the monitor)."""
    n = len(values)
    raw = Quillometer(["x"], n, 0.1, n)
    monitor = Monitor(["x"], Settings(window_size=n, alpha=0.1, time_window=n))
    for ts, x in enumerate(values):
        raw.append({"x": x}, ts)
        monitor.process(ts, {"x": x})
    result = {}
    for stat in STATISTICS:
        query = stat.removesuffix("²")
        pair = (getattr(raw, query)("x"), getattr(monitor.stats, query)("x"))
        result[stat] = (pair[0] ** 2, pair[1] ** 2) if stat != query else pair
    return result


def exact_figures(values: list[Fraction]) -> dict[str, Decimal]:
    mean, squares = moments(values)
    variance = decimal(squares / len(values))
    return {
        stat: decimal(mean)
        if stat in LEVELS
        else variance
        if stat.endswith(("²", "variance"))
        else variance.sqrt()
        for stat in STATISTICS
    }


def main() -> int:
    print(__doc__.split("\n\n")[0].replace("\n", " "))
    print(
        f"\nLRE = -log10(|x - exact| / |exact|), at most {CAP:.1f} (an exact hit). Against the "
        "doubles: the exact\nstatistic of the doubles appended; against the decimals: that of "
        "the data as written, which\nthe nearest doubles already miss (population statistics "
        "both).\n"
    )
    header = (
        f"{'set':<9} {'n':>5}  {'statistic':<13}  {'against the doubles':>19}  "
        f"{'against the decimals':>20}"
    )
    print(header)
    print(f"{'':<30}{'raw':>9}  {'monitor':>8}  {'raw':>9}  {'monitor':>8}")
    print("-" * len(header))
    # set: the LRE of the monitor's windowed variance less that of the all-time variance, the
    # module's and the monitor's, against the doubles and against the decimals
    gaps: dict[str, list[float]] = {}
    notes = []
    for name, (data, mean, std) in SETS.items():
        note = certified_note(name, data, mean, std)
        if note is not None:
            notes.append(note)
        values = [float(x) for x in data]
        of_doubles = exact_figures([Fraction(x) for x in values])
        of_decimals = exact_figures([Fraction(x) for x in data])
        figures = measured(values)
        digits = {
            stat: [
                lre(x, exact[stat]) for exact in (of_doubles, of_decimals) for x in figures[stat]
            ]
            for stat in STATISTICS
        }
        for i, stat in enumerate(STATISTICS):
            label = f"{name:<9} {len(values):>5}" if i == 0 else ""
            print(
                f"{label:<15}  {stat:<13}"
                + "".join(
                    f"{d:>{w}.1f}" for d, w in zip(digits[stat], (9, 10, 11, 10), strict=True)
                )
            )
        gaps[name] = [
            min(digits["rolling_std²"][i + 1], digits["time_std²"][i + 1]) - welford
            for i in (0, 2)
            for welford in digits["variance"][i : i + 2]
        ]
    print(
        "\ncertified mean and sample std reproduced by the generated data: "
        f"{'no:' if notes else 'yes'}"
    )
    for note in notes:
        print(f"  {note}")
    print(
        "\nthe monitor's windowed variance (the lesser of rolling_std² and time_std²): its "
        "LRE less that of the\nall-time variance, the module's (Welford, raw) and the "
        "monitor's"
    )
    print(f"{'':<12}{'against the doubles':>21}  {'against the decimals':>21}")
    print(f"{'':<12}{'raw':>10} {'monitor':>10}  {'raw':>10} {'monitor':>10}")
    for name, gap in gaps.items():
        print(
            f"  {name:<9}"
            + "".join(f"{d:>+{w}.1f}" for d, w in zip(gap, (11, 11, 12, 11), strict=True))
        )
    met = all(gap[0] >= -1 for gap in gaps.values())
    print(
        "within one digit of the module's all-time variance on every set, against the "
        f"doubles: {'yes' if met else 'no'}"
    )
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
