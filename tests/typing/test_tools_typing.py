"""The companion package quillometer_tools, as installed, passes mypy --strict against the
module's stubs and matplotlib's own type hints (the monitor extra)."""

import subprocess
import sys

import pytest


def test_companion_package_passes_mypy_strict(tmp_path):
    pytest.importorskip("matplotlib", reason="the chart's types come with the monitor extra")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "-p", "quillometer_tools"],
        cwd=tmp_path, capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "no issues found in" in result.stdout
