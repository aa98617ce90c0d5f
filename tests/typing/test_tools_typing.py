"""The companion package quillometer_tools is checked by mypy --strict, against the installed
module's stubs and matplotlib's own type hints."""

import subprocess
import sys
from pathlib import Path

PACKAGE = Path(__file__).parents[2] / "src" / "quillometer_tools"


def test_companion_package_passes_mypy_strict():
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(PACKAGE)],
        cwd=PACKAGE.parents[1], capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
