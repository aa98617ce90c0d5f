"""Entry point of the `quillometer-ray` command. The command is installed with the package,
Ray only with its `ray` extra: without Ray it says so in one line instead of a traceback."""

from __future__ import annotations

import sys
from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    try:
        from quillometer_tools.ray.cli import main as ray_main
    except ModuleNotFoundError as error:
        if error.name != "ray" and not (error.name or "").startswith("ray."):
            raise
        print("quillometer-ray: Ray is not installed: pip install 'quillometer[ray]'",
              file=sys.stderr)
        return 1
    return ray_main(argv)
