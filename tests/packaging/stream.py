"""A seeded stream through every query, with hostile magnitudes, written out as raw bits.

Run by test_bit_identity.py under each build of the module (the native build, and each wheel,
aarch64 under qemu): every line must match bit for bit. Needs only the module and the stdlib.
Usage: stream.py [--perturb]   (--perturb moves one input by one ulp, to show the output sees it)
"""

import hashlib
import math
import platform
import random
import struct
import sys

import quillometer
from quillometer import Quillometer

QUERIES = ("mean", "variance", "last", "rolling_mean", "rolling_std", "zscore", "time_mean",
           "time_std", "rate", "ewma")  # fmt: skip


def bits(x):
    return struct.pack("<d", x).hex()


def hostile(rng, column, i):
    """One value of a column's magnitude class."""
    sign = rng.choice((-1.0, 1.0))
    if column == "huge":  # squares near the top of the range
        return sign * rng.uniform(1e140, 1e150)
    if column == "tiny":  # squares underflow
        return sign * rng.uniform(1e-310, 1e-200)
    if column == "subnormal":
        return sign * 5e-324 * rng.randrange(1, 2**40)
    if column == "offset":  # cancellation: small spread near a large offset
        return 1e15 + rng.choice((0.125, -0.25, 1.0, 3.0)) * rng.randrange(-8, 9)
    if column == "near":  # spread at the last bits of a large value
        return math.ldexp(1.0, 60) * (1.0 + rng.randrange(-4, 5) * 2.0**-52)
    # mixed: every class at once (overflow to inf and nan included), zeros of both signs, ints
    return rng.choice((
        sign * 1e308, sign * 1e-308, 5e-324, -0.0, 0.0, rng.randrange(-(2**62), 2**62),
        rng.gauss(0.0, 1.0), sign * rng.uniform(1e-12, 1e12), 1e16 + rng.randrange(4),
    ))  # fmt: skip


def run(perturb):
    rng = random.Random(20261209)
    columns = ["huge", "tiny", "subnormal", "offset", "near", "mixed"]
    meters = [
        Quillometer(columns, 1, 0.5, 0),
        Quillometer(columns, 7, 0.1, 25),
        Quillometer(columns, 64, 1.0 / 3.0, 1000),
        Quillometer(columns, 500, 0.999, 10**6),
    ]
    print("build", platform.machine(), quillometer.__file__)
    digest = hashlib.sha256()
    ts = -(2**40)
    for i in range(1500):
        ts += rng.choice((0, 1, 1, 2, 7, 300))
        row = {c: hostile(rng, c, i) for c in columns}
        if perturb and i == 750:
            row["offset"] = math.nextafter(row["offset"], math.inf)
        for q in meters:
            q.append(row, ts)
            line = " ".join(bits(getattr(q, name)(c)) for c in columns for name in QUERIES)
            digest.update(line.encode() + b"\n")
            if i % 250 == 0 or i == 1499:
                print(i, line)
    print("sha256", digest.hexdigest())


if __name__ == "__main__":
    run("--perturb" in sys.argv[1:])
