"""Exhausted memory: storage that cannot be had ends the call in MemoryError and changes nothing,
and the object works on once memory is there again.

Each check runs in a fresh interpreter under a memory limit. Normally that limit is on the
child's address space (RLIMIT_AS), set to its current size plus BUDGET. Under AddressSanitizer,
whose shadow memory rules out an address-space limit, the sanitizer's own limit on a single
allocation (max_allocation_size_mb = BUDGET) stands in for it; that one is in force from the
child's start and cannot be lifted while it runs.
"""

import json
import os
import textwrap

import pytest
from conftest import QUERIES, UNDER_ASAN, run_python

MiB = 2**20
# The storage one call may still obtain under the limit. A time window of 2^18 entries (16 bytes
# each, 4 MiB) fits; its doubling (8 MiB) does not.
BUDGET = 6 * MiB
FILLED = 2**18


ASAN = UNDER_ASAN


def _asan_options(*options):
    inherited = [o for o in os.environ.get("ASAN_OPTIONS", "").split(":") if o]
    return ":".join(inherited + list(options))


PRELUDE = f"""
import json, resource
from quillometer import Quillometer

QUERIES = {QUERIES!r}
ASAN = {ASAN!r}
BUDGET = {BUDGET}
SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)


def bits(x):
    return "nan" if x != x else x.hex()


def stats(q, names):
    return {{n: {{m: bits(getattr(q, m)(n)) for m in QUERIES}} for n in names}}


def attempt(f):
    try:
        f()
    except MemoryError:
        return "MemoryError"
    except BaseException as exc:
        return type(exc).__name__ + ": " + str(exc)
    return "ok"


def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024


def limit():
    # The address space may grow by BUDGET from here on (under the sanitizer the limit is per
    # allocation and already in force).
    if not ASAN:
        soft = vm_size() + BUDGET
        if HARD != resource.RLIM_INFINITY:
            soft = min(soft, HARD)
        resource.setrlimit(resource.RLIMIT_AS, (soft, HARD))


def lift():
    if not ASAN:
        resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))
"""


def run_limited(body, **env):
    if ASAN:
        env.setdefault(
            "ASAN_OPTIONS",
            _asan_options("allocator_may_return_null=1", f"max_allocation_size_mb={BUDGET // MiB}"),
        )
    proc = run_python(PRELUDE + textwrap.dedent(body), **env)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


def _address_space_limit_applies():
    """False under qemu-user (the aarch64 wheel's test run), which does not apply RLIMIT_AS to the
    program it emulates: a child limited to its size plus 64 MiB still gets 256 MiB."""
    if ASAN:
        return True
    proc = run_python(
        """
        import resource
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        if hard != resource.RLIM_INFINITY:
            size = min(size, hard - 64 * 2**20)
        resource.setrlimit(resource.RLIMIT_AS, (size + 64 * 2**20, hard))
        try:
            block = bytearray(256 * 2**20)
        except MemoryError:
            print("applied")
        """
    )
    return proc.stdout.strip() == "applied"


needs_address_space_limit = pytest.mark.skipif(
    not _address_space_limit_applies(),
    reason="the address-space limit (RLIMIT_AS) is not applied here (qemu-user ignores it)",
)


@needs_address_space_limit
def test_count_window_over_the_limit_is_a_memory_error():
    got = run_limited(
        """
        import itertools

        class Endless:
            # A sequence that yields one name for ever.
            def __getitem__(self, i):
                return "ab"

            def __iter__(self):
                return itertools.repeat("ab")

        got = {}
        limit()
        for label, names, size in [
            ("over", ["a"], 2 * BUDGET // 8),
            ("over, two names", ["a", "b"], 2 * BUDGET // 8),
            ("within", ["a"], BUDGET // 2 // 8),
            ("two of three quarters", ["a", "b"], 3 * BUDGET // 4 // 8),
            ("one of three quarters", ["a"], 3 * BUDGET // 4 // 8),
            # A name given again replaces its column: the table holds one entry, not 32,768
            # (of about 200 bytes each), however many times the name comes.
            ("one name 32,768 times", ["a"] * 2**15, 2),
        ]:
            got[label] = attempt(lambda: Quillometer(names, size, 0.5, 10))
        if not ASAN:  # the list of names grows by operator new, which ASan makes abort
            got["endless names"] = attempt(lambda: Quillometer(Endless(), 2, 0.5, 10))
        q = Quillometer(["a"], 2, 0.5, 10)
        q.append({"a": 2.5}, 0)
        got["usable under the limit"] = q.mean("a")
        lift()
        got["over, lifted"] = attempt(lambda: Quillometer(["a"], 2 * BUDGET // 8, 0.5, 10))
        print(json.dumps(got))
        """
    )
    expected = {
        "over": "MemoryError",
        "over, two names": "MemoryError",
        "within": "ok",
        # The address space holds one window of three quarters but not two; the first one's
        # storage is given back when the second fails, so one window fits right after.
        # Under the sanitizer each window is a separate allocation within the limit.
        "two of three quarters": "ok" if ASAN else "MemoryError",
        "one of three quarters": "ok",
        "one name 32,768 times": "ok",
        "usable under the limit": 2.5,
        "over, lifted": "MemoryError" if ASAN else "ok",
    }
    if not ASAN:
        expected["endless names"] = "MemoryError"
    assert got == expected


def test_a_tebibyte_or_more_is_refused_without_any_limit():
    # No limit at all. Under the sanitizer, its allocator is not allowed to return null here and
    # would abort on any of these sizes: the ring must refuse them without asking.
    got = run_limited(
        """
        got = {}
        for size in (2**37, 2**37 + 1, 2**40, 2**59, 2**60 - 1, 2**60):
            for names in (["a"], ["a", "b"]):
                got[f"{size} {len(names)}"] = attempt(lambda: Quillometer(names, size, 0.5, 10))
        print(json.dumps(got))
        """,
        ASAN_OPTIONS=_asan_options("allocator_may_return_null=0"),
    )
    refused = (2**37, 2**37 + 1, 2**40, 2**59, 2**60 - 1)  # 2^37 values of 8 bytes: 1 TiB
    assert got == {
        **{f"{size} {n}": "MemoryError" for size in refused for n in (1, 2)},
        # The size check made before any storage is asked for stays as it was.
        f"{2**60} 1": "PanicException: capacity overflow",
        f"{2**60} 2": "PanicException: capacity overflow",
    }


# Column "a" fills its time window to FILLED - 1 entries (nothing leaves a window of 2^62) and
# "b" its own to 4, both full once "a" takes one more; "c" stays empty. The reference object
# takes the same rows, those the object under the limit applied included.
TIME_WINDOW_RUN = """
FILLED = {filled}
NAMES = ["a", "b", "c"]


def value(i):
    return (i * 0.37) % 11.0 - 3.1


def filled():
    q = Quillometer(NAMES, 3, 0.5, 2**62)
    for i in range(FILLED - 1):
        q.append({{"a": value(i)}}, i)
    for i in range(4):
        q.append({{"b": -value(i)}}, i)
    return q


q = filled()
applied = []
steps = []


def step(label, row, ts):
    before = stats(q, NAMES)
    outcome = attempt(lambda: q.append(row, ts))
    if outcome == "ok":
        applied.append((row, ts))
    steps.append([label, outcome, before, stats(q, NAMES)])


limit()
step("a fills its window", {{"a": 0.125}}, FILLED)
step("a must double", {{"a": 1.5}}, FILLED + 1)
step("b grows, a must double", {{"b": 2.5, "a": 1.5}}, FILLED + 1)
step("a must double, then b", {{"a": 1.5, "b": 2.5}}, FILLED + 1)
step("b, a, then an unknown name", {{"b": 2.5, "a": 1.5, "zz": 0.0}}, FILLED + 1)
step("b alone", {{"b": 3.5}}, FILLED + 2)
step("c alone", {{"c": 4.5}}, FILLED + 2)
step("a must double, again", {{"a": 1.5}}, FILLED + 3)
# Entries leave a window by the values its storage holds: those must have survived the growth.
step("b evicts its oldest", {{"b": 8.5}}, 2**62 + 2)
lift()
if not ASAN:
    step("a after the limit is lifted", {{"a": 1.5}}, FILLED + 4)
    step("b and a after the limit is lifted", {{"b": 5.5, "a": 6.5}}, FILLED + 5)
    step("a evicts half its window", {{"a": -0.25}}, 2**62 + FILLED // 2)

reference = filled()
for row, ts in applied:
    reference.append(row, ts)
print(json.dumps({{"steps": steps, "final": stats(q, NAMES), "reference": stats(reference, NAMES)}}))
"""


@needs_address_space_limit
def test_time_window_growth_that_cannot_be_had():
    got = run_limited(TIME_WINDOW_RUN.format(filled=FILLED))
    outcomes = {label: outcome for label, outcome, _, _ in got["steps"]}
    expected = {
        "a fills its window": "ok",
        "a must double": "MemoryError",
        # b's storage doubles, then a's cannot: neither column takes the row.
        "b grows, a must double": "MemoryError",
        "a must double, then b": "MemoryError",
        # Exhausted memory is reported before the name that is not a column.
        "b, a, then an unknown name": "MemoryError",
        "b alone": "ok",
        "c alone": "ok",
        "a must double, again": "MemoryError",
        "b evicts its oldest": "ok",
    }
    if not ASAN:
        expected.update(
            {
                "a after the limit is lifted": "ok",
                "b and a after the limit is lifted": "ok",
                "a evicts half its window": "ok",
            }
        )
    assert outcomes == expected

    for label, outcome, before, after in got["steps"]:
        if outcome == "MemoryError":
            assert after == before, f"{label}: a column changed"
        else:
            assert after != before, f"{label}: nothing changed"
    # Every column goes on exactly as one that never met the limit.
    assert got["final"] == got["reference"]
