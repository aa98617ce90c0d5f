"""The FMA guard (scripts/check-no-fma) sees fused multiply-adds on both shipped architectures: a
deliberately contracted build of a*b+c is caught, and the same source built with
-ffp-contract=off, as the module is, passes. Compiled with zig (pinned by scripts/build-wheels)."""

import subprocess
import sys
from pathlib import Path

import pytest

CHECK = Path(__file__).resolve().parents[2] / "scripts" / "check-no-fma"
SOURCE = """
double fused(double a, double b, double c) { return a * b + c; }
void fused_loop(double* __restrict x, const double* y, const double* z, int n) {
  for (int i = 0; i < n; ++i) x[i] = x[i] * y[i] + z[i];
}
"""
TARGETS = {"aarch64": [], "x86_64": ["-mfma"]}  # FMA is in aarch64's base ISA


def check(tmp_path, arch, contract):
    source = tmp_path / "fused.cpp"
    source.write_text(SOURCE)
    obj = tmp_path / f"fused-{arch}-{contract}.o"
    subprocess.run(
        [sys.executable, "-m", "ziglang", "c++", "-target", f"{arch}-linux-gnu", "-O2",
         f"-ffp-contract={contract}", *TARGETS[arch], "-c", str(source), "-o", str(obj)],
        check=True,
    )  # fmt: skip
    return subprocess.run(["bash", str(CHECK), str(obj)], capture_output=True, text=True)


@pytest.mark.parametrize("arch", sorted(TARGETS))
def test_a_fused_build_is_caught(tmp_path, arch):
    fused = check(tmp_path, arch, "fast")
    assert fused.returncode == 1, fused.stdout + fused.stderr
    expected = ("fmadd", "fmla") if arch == "aarch64" else ("vfmadd",)
    assert any(name in fused.stderr for name in expected), fused.stderr
    unfused = check(tmp_path, arch, "off")
    assert unfused.returncode == 0, unfused.stderr
