"""The companion package quillometer_tools, as installed, passes mypy --strict against the
module's stubs, matplotlib's own type hints (the monitor extra) and Ray's (the ray extra)."""

import subprocess
import sys

import pytest


def test_companion_package_passes_mypy_strict(tmp_path):
    pytest.importorskip("matplotlib", reason="the chart's types come with the monitor extra")
    pytest.importorskip("ray", reason="the Ray layer's types come with the ray extra")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "-p", "quillometer_tools"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "no issues found in" in result.stdout
