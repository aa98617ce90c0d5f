"""The same seeded stream gives the same bits on every build: the native build (the module in
this interpreter) and each other build named in QUILLOMETER_BUILD_PYTHONS ("name=interpreter ...":
scripts/check-wheel gives the x86_64 wheel's environment and the aarch64 wheel under qemu,
scripts/check-compilers the g++-11 and clang-16 builds)."""

import os
import platform
import subprocess
import sys
from pathlib import Path

import pytest

STREAM = Path(__file__).with_name("stream.py")
BUILDS = dict(
    item.split("=", 1) for item in os.environ.get("QUILLOMETER_BUILD_PYTHONS", "").split()
)


def run_stream(python, *args):
    proc = subprocess.run(
        [python, str(STREAM), *args], cwd="/", capture_output=True, text=True, timeout=600
    )
    assert proc.returncode == 0, proc.stderr
    header, *lines = proc.stdout.splitlines()
    _, machine, module = header.split(" ", 2)
    assert lines[-1].startswith("sha256 ") and len(lines) > 20, proc.stdout[-500:]
    return machine, module, lines


@pytest.fixture(scope="module")
def native():
    return run_stream(sys.executable)


def test_a_one_ulp_change_in_the_input_shows(native):
    assert run_stream(sys.executable, "--perturb")[2][-1] != native[2][-1]


@pytest.mark.skipif(not BUILDS, reason="no other builds given in QUILLOMETER_BUILD_PYTHONS")
@pytest.mark.parametrize("name", sorted(BUILDS))
def test_build_matches_the_native_build_bit_for_bit(native, name):
    machine, module, lines = run_stream(BUILDS[name])
    assert module != native[1], f"{name}'s interpreter imported the native build"
    if "aarch64" in name:
        assert machine == "aarch64" != platform.machine(), machine
    mismatch = next(
        (pair for pair in zip(native[2], lines, strict=False) if pair[0] != pair[1]), None
    )
    assert mismatch is None, (
        f"first differing output:\nnative: {mismatch[0]}\n{name}: {mismatch[1]}"
    )
    assert len(lines) == len(native[2])
